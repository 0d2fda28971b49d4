// trelvo-mcp: serves MCP on standard input and output, one JSON-RPC message
// per line, and asks the Trelvo core for everything it reports.
//
// One thread does everything, strictly one request at a time (session.h).
// Nothing else ever writes to standard output, and nothing writes to standard
// error once running.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "command_line.h"
#include "default_socket.h"
#include "platform.h"
#include "session.h"
#include "upstream.h"

namespace {

[[noreturn]] void fail_to_start(int err) {
  std::fprintf(stderr, "Failed building the Runtime: %s\n", std::strerror(err));
  std::_Exit(101);
}

// A closed standard stream would let the next file we open take its number,
// and a response could end up on the core socket. Park it on /dev/null.
void reopen_closed_std_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int opened = ::open("/dev/null", O_RDWR);
    if (opened < 0) fail_to_start(errno);
    if (opened != fd) {
      if (::dup2(opened, fd) < 0) fail_to_start(errno);
      ::close(opened);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  // So that the memory of an outsized call can be returned to the system.
  platform::tune_allocator();
  reopen_closed_std_streams();
  if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) fail_to_start(errno);
  const command_line::Reading args = command_line::read(argc, argv);
  if (args.asked != command_line::Reading::Asked::Serve) {
    const std::string text = args.asked == command_line::Reading::Asked::Help
                                 ? command_line::help()
                                 : command_line::version();
    std::fputs(text.c_str(), stdout);
    return 0;
  }
  // A host never starts us on a terminal; a person who does is told why
  // nothing happens.
  if (::isatty(STDIN_FILENO))
    std::fputs(command_line::terminal_notice(args.ignored).c_str(), stderr);

  Upstream upstream(socket_path());
  // A core that is not running yet is not an error; tool calls connect later.
  (void)upstream.connect();
  Session(STDIN_FILENO, STDOUT_FILENO, upstream).run();
  return 0;
}
