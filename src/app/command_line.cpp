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

}  // namespace

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
    } else {
      throw std::invalid_argument("unknown option \"" + args[i] + "\"");
    }
  }
  return cl;
}

std::string usageText() {
  return "Usage: solvera-pro [--headless] [--resources DIR] [--port N]\n"
         "       solvera-pro [--resources DIR] render SESSION OUTPUT [--rate N] [--bits 16|24]\n"
         "                   [--from TIME] [--to TIME] [--no-music] [--no-noise]\n"
         "\n"
         "  --headless       run without a window; open the printed address in a browser\n"
         "  --resources DIR  use DIR as the resource folder (Info.json, public/)\n"
         "  --port N         preferred port of the local server (default 8765)\n"
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
