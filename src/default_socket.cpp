#include "default_socket.h"

#include <cstdlib>
#include <string_view>

#include "json.h"

namespace {

constexpr std::string_view kSocketUnderHome = "Library/Application Support/Trelvo/run/core.sock";

}  // namespace

std::string socket_path() {
  const char* explicit_path = std::getenv("TRELVO_MCP_SOCKET");
  if (explicit_path != nullptr && json::is_utf8(explicit_path)) return explicit_path;
  const char* home = std::getenv("HOME");
  std::string path = (home != nullptr && json::is_utf8(home)) ? home : "";
  if (!path.empty() && path.back() != '/') path += '/';
  path += kSocketUnderHome;
  return path;
}
