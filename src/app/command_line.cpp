// Command-line parsing.
#include "app/command_line.hpp"

#include <charconv>
#include <stdexcept>

#include "session/formats/render_job.hpp"

namespace solvera {

namespace {

RenderCommandLine parseRender(const std::vector<std::string>& args, std::size_t first) {
  RenderCommandLine r;
  std::vector<std::string> positional;
  for (std::size_t i = first; i < args.size(); ++i) {
    std::string arg = args[i];
    std::optional<std::string> inlineValue;
    if (auto eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
      inlineValue = arg.substr(eq + 1);
      arg.resize(eq);
    }
    auto value = [&]() -> std::string {
      if (inlineValue) return *inlineValue;
      if (i + 1 >= args.size()) throw std::invalid_argument(arg + " needs a value");
      return args[++i];
    };
    auto time = [&](const std::string& text) {
      auto seconds = session::parseRenderTime(text);
      if (!seconds) {
        std::string message = arg;
        message += " needs a time as mm:ss or h:mm:ss, not \"";
        message += text;
        message += "\"";
        throw std::invalid_argument(message);
      }
      return *seconds;
    };
    if (arg == "--rate") {
      const std::string text = value();
      int rate = 0;
      auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), rate);
      if (ec != std::errc() || end != text.data() + text.size() || rate < 8000 || rate > 192000) {
        throw std::invalid_argument("--rate needs a sample rate from 8000 to 192000, not \"" + text + "\"");
      }
      r.rate = rate;
    } else if (arg == "--bits") {
      const std::string text = value();
      if (text != "16" && text != "24") throw std::invalid_argument("--bits is 16 or 24, not \"" + text + "\"");
      r.bits = text == "24" ? 24 : 16;
    } else if (arg == "--from") {
      r.fromS = time(value());
    } else if (arg == "--to") {
      r.toS = time(value());
    } else if (arg == "--no-music") {
      r.noMusic = true;
    } else if (arg == "--no-noise") {
      r.noNoise = true;
    } else if (arg.starts_with("--")) {
      throw std::invalid_argument("unknown render option \"" + args[i] + "\"");
    } else {
      positional.push_back(args[i]);
    }
  }
  if (positional.size() != 2) throw std::invalid_argument("render needs a SESSION and an OUTPUT file");
  r.session = positional[0];
  r.output = positional[1];
  if (r.fromS && r.toS && *r.toS <= *r.fromS) throw std::invalid_argument("--to must lie after --from");
  return r;
}

bool parseUnsigned(const std::string& text, unsigned max, unsigned& out) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size() && out <= max;
}

}  // namespace

LightOutputOption parseLightOutput(const std::string& text) {
  const auto colon = text.find(':');
  const std::string kind = text.substr(0, colon);
  const std::string rest = colon == std::string::npos ? "" : text.substr(colon + 1);
  LightOutputOption out;
  if (kind == "none" && colon == std::string::npos) {
    out.mode = "none";
    return out;
  }
  if (kind == "artnet" && !rest.empty()) {
    out.mode = "artnet";
    const auto second = rest.find(':');
    out.targetIp = rest.substr(0, second);
    if (second != std::string::npos) {
      unsigned universe = 0;
      if (!parseUnsigned(rest.substr(second + 1), 32767, universe)) {
        throw std::invalid_argument("--output artnet:IP:UNIVERSE needs a universe from 0 to 32767");
      }
      out.universe = static_cast<int>(universe);
    }
    if (!out.targetIp.empty()) return out;
  }
  if ((kind == "enttec" || kind == "opendmx") && !rest.empty()) {
    out.mode = kind == "enttec" ? "enttec-usb-pro" : "open-dmx-ftdi";
    out.serialPort = rest;
    return out;
  }
  throw std::invalid_argument("--output needs artnet:IP[:UNIVERSE], enttec:PORT, opendmx:PORT or none, not \"" +
                              text + "\"");
}

CommandLine parseCommandLine(const std::vector<std::string>& args) {
  CommandLine cl;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "render") {
      cl.render = parseRender(args, i + 1);
      return cl;
    }
    std::string arg = args[i];
    std::optional<std::string> inlineValue;
    if (auto eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
      inlineValue = arg.substr(eq + 1);
      arg.resize(eq);
    }
    auto value = [&]() -> std::string {
      if (inlineValue) return *inlineValue;
      if (i + 1 >= args.size()) throw std::invalid_argument(arg + " needs a value");
      return args[++i];
    };
    if (arg == "--headless") {
      cl.headless = true;
    } else if (arg == "--help" || arg == "-h") {
      cl.help = true;
    } else if (arg == "--version") {
      cl.version = true;
    } else if (arg == "--resources") {
      std::string dir = value();
      if (dir.empty()) throw std::invalid_argument("--resources needs a folder");
      cl.resources = dir;
    } else if (arg == "--port") {
      std::string text = value();
      unsigned port = 0;
      auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
      if (ec != std::errc() || end != text.data() + text.size() || port == 0 || port > 65535) {
        throw std::invalid_argument("--port needs a number from 1 to 65535, not \"" + text + "\"");
      }
      cl.port = static_cast<std::uint16_t>(port);
    } else if (arg == "--play") {
      std::string session = value();
      if (session.empty()) throw std::invalid_argument("--play needs a session id or file");
      cl.play = session;
    } else if (arg == "--output") {
      cl.output = parseLightOutput(value());
    } else if (arg == "--accept-photosensitivity-warning") {
      cl.acceptPhotosensitivityWarning = true;
    } else {
      throw std::invalid_argument("unknown option \"" + args[i] + "\"");
    }
  }
  if (!cl.play && (cl.output || cl.acceptPhotosensitivityWarning)) {
    throw std::invalid_argument("--output and --accept-photosensitivity-warning go with --play");
  }
  // A played session needs no window.
  if (cl.play) cl.headless = true;
  return cl;
}

std::string usageText() {
  return "Usage: solvera-pro [--headless] [--resources DIR] [--port N]\n"
         "       solvera-pro [--resources DIR] render SESSION OUTPUT [--rate N] [--bits 16|24]\n"
         "                   [--from TIME] [--to TIME] [--no-music] [--no-noise]\n"
         "       solvera-pro --headless --play SESSION [--output OUTPUT]\n"
         "                   [--accept-photosensitivity-warning]\n"
         "\n"
         "  --headless       run without a window; open the printed address in a browser\n"
         "  --resources DIR  use DIR as the resource folder (Info.json, public/)\n"
         "  --port N         preferred port of the local server (default 8765)\n"
         "  --play SESSION   play one session from start to end and exit: a library id, one\n"
         "                   of your own sessions, or a .svpsession file\n"
         "  --output OUTPUT  the lamps for --play, instead of the saved settings:\n"
         "                   artnet:IP[:UNIVERSE], enttec:PORT, opendmx:PORT or none\n"
         "  --accept-photosensitivity-warning\n"
         "                   the person has read the photosensitivity warning: --play lights\n"
         "                   the lamps (without it the session plays sound only)\n"
         "  --help           show this text\n"
         "  --version        show the version\n"
         "\n"
         "render: SESSION is a library session id or a .svpsession, .sbg or .gnaural file;\n"
         "OUTPUT's extension picks the format: .wav, .flac, .ogg (Vorbis), .opus (48000 Hz), .mp3.\n"
         "  --rate N         sample rate (default 44100)\n"
         "  --bits 16|24     WAV and FLAC sample size (default 16)\n"
         "  --from, --to     the span to render, as mm:ss or h:mm:ss\n"
         "  --no-music       without music\n"
         "  --no-noise       without noise\n";
}

}  // namespace solvera
