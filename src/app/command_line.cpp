// Command-line parsing.
#include "app/command_line.hpp"

#include <charconv>
#include <stdexcept>

namespace solvera {

CommandLine parseCommandLine(const std::vector<std::string>& args) {
  CommandLine cl;
  for (std::size_t i = 0; i < args.size(); ++i) {
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
         "\n"
         "  --headless       run without a window; open the printed address in a browser\n"
         "  --resources DIR  use DIR as the resource folder (Info.json, public/)\n"
         "  --port N         preferred port of the local server (default 8765)\n"
         "  --help           show this text\n"
         "  --version        show the version\n";
}

}  // namespace solvera
