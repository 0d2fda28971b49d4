// Where the core listens, for the server and the demo core alike.
#pragma once

#include <string>

// TRELVO_MCP_SOCKET when set (and valid UTF-8), else
// $HOME/Library/Application Support/Trelvo/run/core.sock.
std::string socket_path();
