// Where the core listens, for the server and the demo core alike.
#pragma once

#include <string>

// TRELVO_MCP_SOCKET when set (and valid UTF-8), else
// $HOME/Library/Application Support/Trelvo/run/core.sock. A TRELVO_MCP_SOCKET
// that begins with "${HOME}" or "~/" is read with HOME in its place.
std::string socket_path();
