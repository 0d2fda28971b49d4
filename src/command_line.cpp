#include "command_line.h"

#include "mcp.h"

namespace command_line {

Reading read(int argc, char** argv) {
  Reading reading;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      reading.asked = Reading::Asked::Help;
    } else if (arg == "--version") {
      if (reading.asked == Reading::Asked::Serve) reading.asked = Reading::Asked::Version;
    } else {
      reading.ignored.push_back(arg);
    }
  }
  return reading;
}

std::string help() {
  return "usage: trelvo-mcp [--help | --version]\n"
         "\n"
         "An MCP server that lets an AI agent look into what the Trelvo app on this\n"
         "Mac has captured: HTTP(S) flows, capture status, findings, and web pages on\n"
         "connected iOS devices. An MCP host starts it and speaks MCP to it on standard\n"
         "input and output, one JSON-RPC message per line; register it in the host\n"
         "rather than running it by hand. Entries for each kind of host are in the\n"
         "README, under \"Registering it in an MCP host\".\n"
         "\n"
         "  --help, -h   this text\n"
         "  --version    the name and version\n"
         "\n"
         "environment:\n"
         "  TRELVO_MCP_SOCKET  the Trelvo core's socket (default: the Trelvo app's,\n"
         "                     $HOME/Library/Application Support/Trelvo/run/core.sock)\n"
         "  HOME               the base of that default path\n";
}

std::string version() {
  return std::string("trelvo-mcp ") + mcp::kServerVersion + "\n";
}

std::string terminal_notice(const std::vector<std::string_view>& ignored) {
  std::string notice =
      "trelvo-mcp: waiting for MCP messages from a host on standard input (see "
      "trelvo-mcp --help)";
  if (!ignored.empty()) {
    notice += "; ignoring";
    for (std::string_view arg : ignored) notice.append(" ").append(arg);
  }
  return notice + "\n";
}

}  // namespace command_line
