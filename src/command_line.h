// What trelvo-mcp makes of its command line. Hosts start it without
// arguments, or with arguments of their own that it ignores; --help and
// --version are for a person at a terminal.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace command_line {

struct Reading {
  enum class Asked { Serve, Help, Version } asked = Asked::Serve;
  std::vector<std::string_view> ignored;  // arguments it does not know
};
Reading read(int argc, char** argv);

// Standard output's text for --help and --version.
std::string help();
std::string version();
// Standard error's one notice when a person starts the server at a terminal:
// it waits for a host's messages, and ignores the arguments it was given.
std::string terminal_notice(const std::vector<std::string_view>& ignored);

}  // namespace command_line
