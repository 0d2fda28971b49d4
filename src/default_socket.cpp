#include "default_socket.h"

#include <cstdlib>
#include <string_view>

#include "json.h"

namespace {

constexpr std::string_view kSocketUnderHome = "Library/Application Support/Trelvo/run/core.sock";

// HOME when set and valid UTF-8, else empty.
std::string home() {
  const char* home = std::getenv("HOME");
  return (home != nullptr && json::is_utf8(home)) ? home : "";
}

// HOME followed by `rest`, with one "/" where both bring one.
std::string under_home(std::string_view rest) {
  std::string path = home();
  if (path.ends_with('/') && rest.starts_with('/')) rest.remove_prefix(1);
  return path.append(rest);
}

}  // namespace

std::string socket_path() {
  const char* explicit_path = std::getenv("TRELVO_MCP_SOCKET");
  if (explicit_path != nullptr && json::is_utf8(explicit_path)) {
    // A desktop host may hand over a setting's default as written, with its
    // variables unexpanded. No real socket path begins with either form.
    std::string_view path = explicit_path;
    if (path.starts_with("${HOME}")) return under_home(path.substr(7));
    if (path.starts_with("~/")) return under_home(path.substr(1));
    return explicit_path;
  }
  std::string base = home();
  if (!base.empty() && base.back() != '/') base += '/';
  return base.append(kSocketUnderHome);
}
