// trelvo-demo-core: a stand-in for the Trelvo core, so that trelvo-mcp can be
// run and tried on any POSIX machine. It serves a built-in sample capture (or
// what a HAR file recorded) over the core's socket protocol.
#include <signal.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "chaos.h"
#include "default_socket.h"
#include "har.h"
#include "protocol.h"
#include "sample_data.h"
#include "server.h"
#include "socket_claim.h"

namespace {

constexpr const char* kUsage =
    "usage: trelvo-demo-core [--socket PATH] [--har FILE] [--live]\n"
    "                        [--disable mcp|eval|console|inspection]...\n"
    "                        [--chaos SEED [--chaos-log FILE]] | --help | --version\n"
    "\n"
    "A stand-in for the Trelvo core, so that trelvo-mcp can be tried on any\n"
    "machine: it serves a built-in sample capture, or a HAR file, over the core's\n"
    "socket protocol until stopped (Ctrl-C or SIGTERM), then removes its socket.\n"
    "\n"
    "  --socket PATH   listen here (default: TRELVO_MCP_SOCKET, else\n"
    "                  $HOME/Library/Application Support/Trelvo/run/core.sock)\n"
    "  --har FILE      serve an HTTP Archive 1.2 file instead: its entries as\n"
    "                  flows, its pages as pages, the capture status from them\n"
    "  --live          add a new flow and a console message every second (not\n"
    "                  with --har)\n"
    "  --disable WHAT  answer as if the user turned WHAT off: mcp (the hello\n"
    "                  fails), eval, console or inspection (all page methods)\n"
    "  --chaos SEED    misbehave at random, repeatably for a given SEED (an\n"
    "                  unsigned integer): about 4 requests in 10 (the hello\n"
    "                  included) get noise lines before the reply, a slow or\n"
    "                  split reply, a connection closed before, during or after\n"
    "                  it, no reply at all, or a refused hello; now and then the\n"
    "                  core vanishes and comes back\n"
    "  --chaos-log FILE  write each connection, request and fault to FILE as\n"
    "                  one JSON line (each fault before it happens)\n"
    "  --help, -h      this text\n"
    "  --version       the name and version\n";

struct Options {
  std::string socket;
  std::string har;
  bool live = false;
  demo::Switches switches;
  std::optional<demo::ChaosOptions> chaos;
  std::string chaos_log;
};

// Exit status for bad arguments and unreadable or invalid input files.
constexpr int kBadInput = 2;

[[noreturn]] void fail(const std::string& message) {
  std::cerr << "trelvo-demo-core: " << message << std::endl;
  std::exit(kBadInput);
}

void disable(demo::Switches& s, const std::string& what) {
  if (what == "mcp") {
    s.mcp_disabled = true;
  } else if (what == "eval") {
    s.eval_disabled = true;
  } else if (what == "console") {
    s.console_disabled = true;
  } else if (what == "inspection") {
    s.inspection_disabled = true;
  } else {
    fail("--disable takes mcp, eval, console or inspection, not \"" + what + "\"");
  }
}

std::uint64_t parse_seed(const std::string& text) {
  std::uint64_t seed = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seed);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    fail("--chaos takes an unsigned integer seed, not \"" + text + "\"");
  }
  return seed;
}

Options parse_args(int argc, char** argv) {
  Options o;
  std::vector<std::string> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) fail(a + " needs a value (see --help)");
      return args[++i];
    };
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      std::exit(0);
    } else if (a == "--version") {
      std::cout << "trelvo-demo-core " TRELVO_VERSION "\n";
      std::exit(0);
    } else if (a == "--socket") {
      o.socket = value();
    } else if (a == "--har") {
      o.har = value();
    } else if (a == "--disable") {
      disable(o.switches, value());
    } else if (a == "--live") {
      o.live = true;
    } else if (a == "--chaos") {
      o.chaos = demo::ChaosOptions{parse_seed(value()), {}};
    } else if (a == "--chaos-log") {
      o.chaos_log = value();
    } else {
      fail("unknown argument \"" + a + "\" (see --help)");
    }
  }
  if (!o.chaos_log.empty()) {
    if (!o.chaos) fail("--chaos-log needs --chaos");
    o.chaos->log_path = o.chaos_log;
  }
  // Chaos answers from data that stays put, so that a client can compare.
  if (o.chaos && o.live) fail("--chaos and --live cannot be combined");
  // Live activity is the built-in app's; an archive's answers stay its own.
  if (!o.har.empty() && o.live) fail("--har and --live cannot be combined");
  return o;
}

std::uint64_t now_ms() {
  using namespace std::chrono;
  return static_cast<std::uint64_t>(
      duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

demo::Capture load_capture(const Options& o) {
  if (o.har.empty()) return demo::sample_capture(now_ms());
  auto file = demo::read_file(o.har);
  if (!file) fail("cannot read " + o.har);
  auto har = demo::read_har(file->text(), now_ms());
  if (!har) fail(o.har + " is not an HTTP Archive: " + har.error());
  return demo::har_capture(std::move(har.value()), now_ms(),
                           std::filesystem::path(o.har).filename().string());
}

// SIGINT and SIGTERM wake the loop through this pipe, so it can remove the
// socket file on the way out.
int g_stop_pipe[2] = {-1, -1};

void on_stop_signal(int) {
  char byte = 1;
  ssize_t ignored = write(g_stop_pipe[1], &byte, 1);
  (void)ignored;
}

void install_signals() {
  if (pipe(g_stop_pipe) != 0) fail("cannot create a pipe");
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

// Listens on `path` and serves until stopped; the socket file and its lock
// go when it returns. An error is one line for standard error.
Result<Done, std::string> listen_and_serve(const std::string& path, const Options& options,
                                           demo::Capture& capture) {
  auto claim = demo::SocketClaim::take(path);
  if (!claim) return Err{claim.error()};
  auto listener = claim.value().listen();
  if (!listener) return Err{listener.error()};
  std::cerr << "trelvo-demo-core: listening on " << path << std::endl;
  if (options.chaos) {
    return demo::serve_chaos(listener.value(), claim.value(), g_stop_pipe[0], capture,
                             options.switches, *options.chaos);
  }
  demo::serve(listener.value(), g_stop_pipe[0], capture, options.switches, options.live);
  close(listener.value());
  return Done{};
}

}  // namespace

int main(int argc, char** argv) {
  Options options = parse_args(argc, argv);
  demo::Capture capture = load_capture(options);
  install_signals();
  auto served =
      listen_and_serve(options.socket.empty() ? socket_path() : options.socket, options, capture);
  if (!served) fail(served.error());
  return 0;
}
