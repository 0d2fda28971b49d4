// The upstream: Upstream driven in-process against a scripted fake core, its
// time limits on a clock that moves only when told, and its roads through the
// real binary.
#include "upstream.h"
#include "default_socket.h"
#include "platform.h"
#include "process_memory.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fake_clock.h"
#include "fake_core.h"
#include "mcp_process.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Conn = FakeCore::Conn;
using Lines = std::vector<std::string>;
using LinesByConnection = std::vector<Lines>;

const std::string kStatus = R"({"id":{ID},"method":"mcp.status"})";

// "=" and the compact result, "success" for a connection, or the failure as
// "<kind>|<code>|<message>".
template <class T>
std::string outcome(const Result<T, UpstreamError>& result) {
  if (result) {
    if constexpr (std::is_same_v<T, Answer>) {
      const Answer& answer = result.value();
      return "=" + json::compact(answer.node() == json::Tape::kNone
                                     ? Json()
                                     : json::value_of(answer.tape(), answer.node()));
    }
    return "success";
  }
  static const char* const kKinds[] = {"NotRunning", "ProtocolMismatch", "CoreError",
                                       "Transport",  "DeadlineExceeded", "Interrupted",
                                       "TooLarge"};
  const auto& e = result.error();
  return std::string(kKinds[static_cast<int>(e.kind)]) + "|" + e.code + "|" + e.message;
}

// Sets `name` to `value`, or unsets it for nullptr.
void set_env(const char* name, const char* value) {
  if (value) ::setenv(name, value, 1);
  if (!value) ::unsetenv(name);
}

TEST(SocketPathTest, FollowsTheEnvironment) {
  const std::string under_home = "Library/Application Support/Trelvo/run/core.sock";
  const struct {
    const char* name;
    const char* socket;  // nullptr: unset
    const char* home;
    std::string expected;
  } cases[] = {
      {"explicit path unchanged", "rel/a b//c", "/Users/user", "rel/a b//c"},
      {"explicit empty path", "", "/Users/user", ""},
      {"home", nullptr, "/Users/user", "/Users/user/" + under_home},
      {"home with trailing slash", nullptr, "/Users/user/", "/Users/user/" + under_home},
      {"empty home", nullptr, "", under_home},
      {"both unset", nullptr, nullptr, under_home},
      {"explicit path not UTF-8", "/tmp/\xFF.sock", "/Users/user", "/Users/user/" + under_home},
      {"home not UTF-8", nullptr, "/Users/\xFF", under_home},
      // A host that hands over a setting's default unexpanded.
      {"${HOME} unexpanded", "${HOME}/Library/x.sock", "/Users/user", "/Users/user/Library/x.sock"},
      {"${HOME} with trailing slash", "${HOME}/x.sock", "/Users/user/", "/Users/user/x.sock"},
      {"~/ unexpanded", "~/x.sock", "/Users/user", "/Users/user/x.sock"},
      {"${HOME} without HOME", "${HOME}/x.sock", nullptr, "/x.sock"},
      {"~user is not ours to expand", "~user/x.sock", "/Users/user", "~user/x.sock"},
      {"${HOME} not at the start", "/a/${HOME}/x.sock", "/Users/user", "/a/${HOME}/x.sock"},
  };
  const std::string old_home = std::getenv("HOME") ? std::getenv("HOME") : "";
  for (const auto& c : cases) {
    set_env("TRELVO_MCP_SOCKET", c.socket);
    set_env("HOME", c.home);
    EXPECT_EQ(socket_path(), c.expected) << c.name;
  }
  // The other tests give their children an environment of their own.
  set_env("TRELVO_MCP_SOCKET", nullptr);
  set_env("HOME", old_home.c_str());
}

TEST(UpstreamTest, NoSocketMeansNotRunning) {
  char dir[] = "/tmp/tlinkXXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  std::string file = std::string(dir) + "/file";
  ::close(::creat(file.c_str(), 0600));
  const std::string paths[] = {
      "",                                 // no path at all
      std::string(dir) + "/absent.sock",  // nothing there
      file,                               // not a socket
      dir,                                // a directory
      "/tmp/" + std::string(300, 'a'),    // longer than a socket address holds
      std::string(200, 'b'),
  };
  for (const auto& path : paths) {
    SCOPED_TRACE(path);
    Upstream upstream(path);
    EXPECT_EQ(outcome(upstream.connect()), "NotRunning||");
    EXPECT_EQ(outcome(upstream.call("mcp.status", nullptr)), "NotRunning||");
    EXPECT_FALSE(upstream.connected());
  }
  ::unlink(file.c_str());
  ::rmdir(dir);
}

TEST(UpstreamTest, ConnectReplacesTheConnectionAndACallKeepsIt) {
  FakeCore core(
      {FakeCore::after_hello(nullptr), FakeCore::after_hello(nullptr), FakeCore::answering("{}")});
  Upstream upstream(core.path());
  ASSERT_EQ(outcome(upstream.connect()), "success");
  ASSERT_EQ(outcome(upstream.connect()), "success");
  // The first connection was closed when the second replaced it.
  EXPECT_TRUE(core.wait_for_finished(1));
  ASSERT_EQ(outcome(upstream.connect()), "success");
  EXPECT_EQ(outcome(upstream.call("mcp.status", nullptr)), "={}");
  EXPECT_TRUE(upstream.connected());
  EXPECT_EQ(core.lines_by_connection(),
            (LinesByConnection{{hello(1)}, {hello(2)}, {hello(3), with_id(kStatus, 4)}}));
}

TEST(UpstreamTest, TheAnswerToTheHelloDecidesTheConnection) {
  // Each reply to the hello is {"id":<its id> and the text given; an empty one
  // means that the core closes instead.
  const struct {
    std::string reply;
    std::string expected;
  } cases[] = {
      {R"(,"result":{"protocolVersion":1,"acceptedClientKind":"mcp"}})", "success"},
      {R"(,"result":{"protocolVersion":1,"acceptedClientKind":"mcp","x":[1]},"y":2})", "success"},
      {R"(,"result":{"protocolVersion":2,"acceptedClientKind":"mcp"}})", "ProtocolMismatch||"},
      {R"(,"result":{"protocolVersion":1.0,"acceptedClientKind":"mcp"}})", "ProtocolMismatch||"},
      {R"(,"result":{"acceptedClientKind":"mcp"}})", "ProtocolMismatch||"},
      {R"(,"result":{"protocolVersion":1}})", "ProtocolMismatch||"},
      {R"(,"result":{"protocolVersion":1,"acceptedClientKind":"MCP"}})", "ProtocolMismatch||"},
      {"}", "ProtocolMismatch||"},
      {R"(,"result":null})", "ProtocolMismatch||"},
      {R"(,"error":{"code":"version_mismatch","message":"need 2"}})", "ProtocolMismatch||"},
      {R"(,"error":{"code":"MCP_DISABLED"}})", "CoreError|MCP_DISABLED|"},
      {R"(,"error":{"code":"VERSION_MISMATCH"}})", "CoreError|VERSION_MISMATCH|"},
      {R"(,"error":{"code":"version_mismatch"},)"
       R"("result":{"protocolVersion":1,"acceptedClientKind":"mcp"}})",
       "ProtocolMismatch||"},
      {"", "Transport||core closed connection"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    FakeCore core({[&c](Conn& conn) {
      if (c.reply.empty()) return (void)conn.read_line();
      conn.answer(R"({"id":{ID})" + c.reply);
      conn.answer(R"({"id":{ID},"result":"ok"})");
      conn.wait_closed(30s);
    }});
    Upstream upstream(core.path());
    bool accepted = c.expected == "success";
    EXPECT_EQ(outcome(upstream.call("mcp.status", nullptr)), accepted ? R"(="ok")" : c.expected);
    EXPECT_EQ(upstream.connected(), accepted);
    // A refused connection is closed at once and, found in the connection
    // check, never retried.
    EXPECT_TRUE(accepted || core.wait_for_finished(1));
    EXPECT_EQ(
        core.lines_by_connection(),
        (LinesByConnection{accepted ? Lines{hello(1), with_id(kStatus, 2)} : Lines{hello(1)}}));
  }
}

TEST(UpstreamTest, RepliesAreReadLineByLineUntilTheOneWithTheRequestId) {
  Lines sixty_three(63, R"({"note":"x"})");
  sixty_three[10] = "";
  sixty_three[20] = "garbage";
  sixty_three.push_back(R"({"id":{ID},"result":63})");
  const std::string big(6u << 20, 'x');
  const struct {
    Lines lines;  // sent after the request; the last case's without line feed, then the core closes
    std::string expected;
  } cases[] = {
      {{R"({"event":"flow.added","params":{"id":{ID}}})", R"({"id":"{ID}","result":"string id"})",
        R"({"id":{ID}.0,"result":"fractional id"})", R"({"id":-{ID},"result":"negative id"})",
        R"({"id":1,"result":"stale reply"})", R"({"id":null,"result":"null id"})", "", "not json",
        R"({"id":{ID},"result":"first"} {"id":{ID}})",  // two values on one line
        R"([{"id":{ID},"result":"in an array"}])", R"(  {"id":{ID},"result":{"b":1,"a":2}}  )"},
       R"(={"a":2,"b":1})"},
      {sixty_three, "=63"},
      {{R"({"id":{ID},"error":null})"}, "CoreError|unknown|"},
      {{R"({"id":{ID},"error":{"code":42,"message":"boom"}})"}, "CoreError|unknown|boom"},
      {{R"({"id":{ID},"error":{"code":"not_found","message":"gone"}})"},
       "CoreError|not_found|gone"},
      {{R"({"id":{ID},"error":{"code":"x","message":7}})"}, "CoreError|x|"},
      {{R"({"id":{ID},"error":"oops"})"}, "CoreError|unknown|"},
      {{R"({"result":1,"error":{"code":"c","message":"m"},"id":{ID}})"}, "CoreError|c|m"},
      {{R"({"id":{ID}})"}, "=null"},
      {{R"({"id":{ID},"result":null})"}, "=null"},
      {{R"({"id":{ID},"result":true,"jsonrpc":"2.0","seq":9})"}, "=true"},
      // Bytes after the reply are kept for the next exchange.
      {{R"({"id":{ID},"result":"two"})", R"({"event":1})", R"({"id":{NEXT},"result":"three"})"},
       R"(="two")"},
      {{}, R"(="three")"},
      {{R"({"id":{ID},"result":")" + big + "\"}"}, "=\"" + big + "\""},
      {{R"({"id":{ID},"result":"tail"})"}, R"(="tail")"},
  };
  FakeCore core({FakeCore::after_hello([&cases](Conn& conn) {
    for (const auto& c : cases) {
      auto id = conn.next_id();
      std::string batch;
      for (const auto& line : c.lines) batch += with_id(line, id.value_or(0)) + "\n";
      if (&c == std::end(cases) - 1) batch.pop_back();
      if (!id || !conn.send(batch)) return;
    }
  })});
  Upstream upstream(core.path());
  ASSERT_EQ(outcome(upstream.connect()), "success");
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    EXPECT_EQ(outcome(upstream.call("mcp.status", nullptr)), c.expected);
  }
  EXPECT_EQ(core.lines_by_connection().at(0).size(), 1 + std::size(cases));
}

TEST(UpstreamTest, TransportFailureIsRetriedOnceOnANewConnectionWithTheIdsContinuing) {
  auto closing_after_request = FakeCore::after_hello([](Conn& conn) { conn.read_line(); });
  FakeCore core(
      {closing_after_request, closing_after_request, FakeCore::answering(R"("third time")")});
  Upstream upstream(core.path());
  EXPECT_EQ(outcome(upstream.call("flow.list", Json::parse(R"({"limit":5,"newestFirst":true})"))),
            "Transport||core closed connection");
  // Left as the reconnect left it; the breakage is found by the next call.
  EXPECT_TRUE(upstream.connected());
  EXPECT_EQ(outcome(upstream.call("flow.list", Json::object())), R"(="third time")");
  // The broken second connection took request 5 and failed it.
  const std::string list =
      R"({"id":{ID},"method":"flow.list","params":{"limit":5,"newestFirst":true}})";
  EXPECT_EQ(core.lines_by_connection(),
            (LinesByConnection{{hello(1), with_id(list, 2)},
                               {hello(3), with_id(list, 4)},
                               {hello(6), R"({"id":7,"method":"flow.list","params":{}})"}}));
}

TEST(UpstreamTest, ARequestNotToBeResentIsResentOnlyWhenItNeverReachedTheCore) {
  // The first connection closes after one reply; the second after reading the
  // expression, or after 64 lines of noise, or after a line that is not UTF-8.
  std::string noise;
  for (int i = 0; i < 64; ++i) noise += "{}\n";
  const std::pair<std::string, std::string> endings[] = {
      {"", "core closed connection"},
      {noise, "no matching response within 64 lines"},
      {"\xC0\xAF\n", "stream did not contain valid UTF-8"},  // an overlong "/"
  };
  for (const auto& [words, failure] : endings) {
    const std::string& last_words = words;  // a lambda captures no binding
    FakeCore core(
        {FakeCore::after_hello([](Conn& conn) { conn.answer(R"({"id":{ID},"result":{}})"); }),
         FakeCore::after_hello([&](Conn& conn) {
           conn.read_line();
           conn.send(last_words);
         }),
         FakeCore::answering(R"("Shop")")});
    Upstream upstream(core.path());
    const Json expression = Json::object({{"pageHandle", "p"}, {"expression", "document.title"}});
    EXPECT_EQ(outcome(upstream.call("mcp.status", nullptr)), "={}");
    ASSERT_TRUE(core.wait_for_finished(1));
    // Found closed before anything was written: reconnected and sent; lost
    // after it was written: not sent again.
    EXPECT_EQ(outcome(upstream.call("wir.evaluate", expression, Resend::Never)),
              "Interrupted||" + failure);
    EXPECT_FALSE(upstream.connected());
    EXPECT_EQ(outcome(upstream.call("wir.evaluate", expression, Resend::Never)), R"(="Shop")");
    const std::string evaluate =
        R"({"id":{ID},"method":"wir.evaluate","params":{"expression":"document.title","pageHandle":"p"}})";
    EXPECT_EQ(core.lines_by_connection(), (LinesByConnection{{hello(1), with_id(kStatus, 2)},
                                                             {hello(3), with_id(evaluate, 4)},
                                                             {hello(5), with_id(evaluate, 6)}}));
  }
}

TEST(UpstreamTest, CoreErrorIsNeverRetriedAndAFailedReconnectIsReturned) {
  // The first core answers one request with a core error and closes after
  // reading the next; the second refuses the hello.
  FakeCore core({FakeCore::after_hello([](Conn& conn) {
                   conn.answer(R"({"id":{ID},"error":{"code":"MCP_DISABLED","message":"off"}})");
                   conn.read_line();
                 }),
                 [](Conn& conn) {
                   conn.answer(R"({"id":{ID},"error":{"code":"version_mismatch"}})");
                   conn.wait_closed();
                 }});
  Upstream upstream(core.path());
  EXPECT_EQ(outcome(upstream.call("mcp.status", nullptr)), "CoreError|MCP_DISABLED|off");
  EXPECT_TRUE(upstream.connected());
  EXPECT_EQ(outcome(upstream.call("mcp.status", nullptr)), "ProtocolMismatch||");
  EXPECT_FALSE(upstream.connected());
  EXPECT_EQ(core.lines_by_connection(),
            (LinesByConnection{{hello(1), with_id(kStatus, 2), with_id(kStatus, 3)}, {hello(4)}}));
}

// A get_flow reply whose response body is `encoded` (base64).
std::string body_reply(std::size_t encoded_size) {
  std::string encoded = "eHh4";  // "xxx"
  while (encoded.size() < encoded_size) encoded += encoded;
  return R"({"id":{ID},"result":{"respBodyB64":")" + encoded + R"(","respBodyMeta":{"total":1}}})";
}

TEST(UpstreamBinaryTest, MemoryComesBackAfterAnOutsizedCallAtOnceAndAfterALargeOneWhenIdle) {
  // A body past what is kept between calls, then one that is kept until the
  // session goes quiet.
  const std::string outsized = body_reply(48u << 20);
  const std::string large = body_reply(16u << 20);
  const std::string small = R"({"id":{ID},"result":{}})";
  FakeCore core({FakeCore::after_hello([&](Conn& conn) {
    conn.answer(small) && conn.answer(outsized) && conn.answer(small) && conn.answer(large);
    conn.wait_closed(60s);
  })});
  McpProcess mcp(core.path());
  const std::string get_flow =
      R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"get_flow","arguments":)"
      R"({"flow_id":1,"include_bodies":true,"max_body_bytes":100000000}}})";
  mcp.send_line(status_call(1));
  ASSERT_TRUE(mcp.read_line());
  const long before = process::resident_kib(mcp.pid());
  if (before < 0) GTEST_SKIP() << "this system does not tell a process's memory";
  if (kAddressSanitizer) GTEST_SKIP() << "the sanitizer holds on to freed memory";
  mcp.send_line(get_flow);
  auto response = mcp.read_line(30s);
  ASSERT_TRUE(response);
  EXPECT_GT(response->size(), (48u << 20) / 4 * 3);
  mcp.send_line(status_call(3));
  ASSERT_TRUE(mcp.read_line(30s));
  EXPECT_LT(process::resident_kib(mcp.pid()), before + 8 * 1024);

  mcp.send_line(get_flow);
  ASSERT_TRUE(mcp.read_line(30s));
  // No more input: after a quiet moment the warm buffers go back too.
  long now = process::resident_kib(mcp.pid());
  for (auto end = Clock::now() + 10s; now >= before + 8 * 1024 && Clock::now() < end;) {
    std::this_thread::sleep_for(50ms);
    now = process::resident_kib(mcp.pid());
  }
  EXPECT_LT(now, before + 8 * 1024);
  EXPECT_EQ(mcp.finish(), "exit 0");
}

constexpr rlim_t kAddressSpace = 256u << 20;

TEST(UpstreamBinaryTest, WhatIsTooLargeForMemoryFailsAloneAndTheSessionGoesOn) {
  if (!process::kAddressSpaceLimit) GTEST_SKIP() << "this system ignores address space limits";
  if (kAddressSanitizer) GTEST_SKIP() << "the sanitizer reserves more address space than the limit";
  // 6 MB of empty flows: an answer of some 600 MB, from a reply that fits.
  std::string flows = "{}";
  for (int i = 1; i < 2'000'000; ++i) flows += ",{}";
  const std::string huge = R"({"id":{ID},"result":{"flows":[)" + flows + "]}}";
  // Memory runs out long before the call's time on a quiet machine; on a busy
  // one time may run out first. The answer is the same, and the connection
  // the call leaves, or a new one, serves the next call.
  FakeCore core({FakeCore::after_hello([&](Conn& conn) {
                  conn.answer(huge) && conn.answer(R"({"id":{ID},"result":{}})");
                  conn.wait_closed(60s);
                })},
                FakeCore::answering("{}"));
  rlimit old{};
  ::getrlimit(RLIMIT_AS, &old);
  const rlimit limited{kAddressSpace, old.rlim_max};
  ::setrlimit(RLIMIT_AS, &limited);  // inherited by the child, for good
  McpProcess mcp(core.path());
  ::setrlimit(RLIMIT_AS, &old);
  mcp.send_line(R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"list_flows"}})");
  EXPECT_EQ(
      mcp.read_line(30s),
      tool_result(
          1, "Trelvo did not respond in time. Retry, or restart Trelvo if this keeps happening.",
          true));
  mcp.send_line(status_call(2));
  EXPECT_NE(mcp.read_line(30s).value_or("").find(R"("isError":false)"), std::string::npos);
  // A request line longer than memory holds is dropped; the next is answered.
  mcp.send(std::string(320u << 20, ' ') + "\n" + ping(3) + "\n");
  EXPECT_EQ(mcp.read_line(30s),
            R"({"error":{"code":-32700,"message":"parse error: line too long to hold in memory"},)"
            R"("id":null,"jsonrpc":"2.0"})");
  EXPECT_EQ(mcp.read_line(30s), pong(3));
  EXPECT_EQ(mcp.finish(), "exit 0");
}

TEST(UpstreamBinaryTest, HelloAtStartThenACoreRestartIsBridgedWithTheIdsContinuing) {
  // The first core answers one request and closes; the second answers with a
  // core error.
  FakeCore core(
      {FakeCore::after_hello([](Conn& conn) { conn.answer(R"({"id":{ID},"result":{}})"); }),
       FakeCore::after_hello([](Conn& conn) {
         conn.answer(R"({"id":{ID},"error":{"code":"MCP_DISABLED","message":"x"}})");
         conn.wait_closed();
       })});
  McpProcess mcp(core.path());
  // The hello goes out before any input is read.
  ASSERT_TRUE(core.wait_for_lines(1));
  mcp.send_line(status_call(7));
  EXPECT_NE(mcp.read_line().value_or("").find(R"("isError":false)"), std::string::npos);
  ASSERT_TRUE(core.wait_for_finished(1));
  mcp.send_line(status_call(8));
  EXPECT_EQ(mcp.read_line(),
            tool_result(8,
                        "MCP access is disabled. Enable it in Trelvo \xE2\x86\x92 Settings "
                        "\xE2\x86\x92 AI Agents.",
                        true));
  mcp.send_line(ping(9));
  EXPECT_EQ(mcp.read_line(), pong(9));
  EXPECT_EQ(mcp.finish(), "exit 0");
  // Request 3 went to the closed connection and was retried as 5; the core
  // error was not retried.
  EXPECT_EQ(core.lines_by_connection(),
            (LinesByConnection{{hello(1), with_id(kStatus, 2)}, {hello(4), with_id(kStatus, 5)}}));
}

// ---- The time limits, on a clock that moves only when told --------------------

// A socket bound at `path` and listening with the shortest queue.
int listen_at(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 0) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

TEST(UpstreamTimeLimitsTest, ABusyCoreIsWaitedForUpToTheConnectLimitAndAStaleSocketIsNotRunning) {
  char dir[] = "/tmp/tbusyXXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/core.sock";
  int listener = listen_at(path);
  ASSERT_GE(listener, 0);
  // Connections nobody accepts, until the system refuses one more: the
  // queue is full whenever the upstream tries.
  int full = 0;
  std::vector<int> queued = fill_listen_queue(path, &full);
  // A refusal that says busy is retried up to the connect limit; one that
  // may also mean that nobody listens (macOS) for a short while only.
  const bool says_busy = platform::connect_refused(full) == platform::Refused::Busy;
  FakeClock clock;
  Upstream upstream(path, clock);
  auto start = clock.now();
  EXPECT_EQ(outcome(upstream.connect()), says_busy ? "Transport||connect timeout" : "NotRunning||");
  EXPECT_EQ(clock.now() - start, says_busy ? limits::kConnect : limits::kMaybeBusyRetry);

  // 200 ms into the next connect the core takes the queued connections, then
  // the upstream's, and answers its hello.
  std::thread core;
  start = clock.now();
  clock.after_lapse = [&] {
    if (core.joinable() || clock.now() - start < 200ms) return;
    for (std::size_t i = 0; i < queued.size(); ++i) ::close(::accept(listener, nullptr, nullptr));
    core = std::thread([listener] {
      int conn = ::accept(listener, nullptr, nullptr);
      char request[256];
      (void)::recv(conn, request, sizeof request, 0);
      const std::string hello =
          R"({"id":1,"result":{"acceptedClientKind":"mcp","protocolVersion":1}})"
          "\n";
      (void)::send(conn, hello.data(), hello.size(), 0);
      ::close(conn);
    });
  };
  EXPECT_EQ(outcome(upstream.connect()), "success");
  EXPECT_EQ(clock.now() - start, 200ms);
  clock.after_lapse = nullptr;
  core.join();
  for (int fd : queued) ::close(fd);

  // The core is gone, its socket file left behind: not running at once, or
  // where a refusal may be a busy core, after that short while.
  ::close(listener);
  start = clock.now();
  EXPECT_EQ(outcome(upstream.connect()), "NotRunning||");
  const bool maybe_busy = platform::connect_refused(ECONNREFUSED) == platform::Refused::MaybeBusy;
  EXPECT_EQ(clock.now() - start, maybe_busy ? limits::kMaybeBusyRetry : 0ms);
  ::unlink(path.c_str());
  ::rmdir(dir);
}

TEST(UpstreamTimeLimitsTest, EachWaitEndsAtItsLimitOrTheDeadlineAndOnlyATimedOutOneIsRetried) {
  // Scripts for every connection. Where the core does not answer, it lets the
  // upstream's wait run out and then reads on until the upstream closes.
  using Script = std::function<void(Conn&, FakeClock&)>;
  const FakeCore::Script answer_hello = FakeCore::after_hello(nullptr);
  const Script ignore_line = [](Conn& conn, FakeClock& clock) {
    conn.read_line();
    clock.pass();
    conn.wait_closed();
  };
  const Script read_nothing = [&](Conn& conn, FakeClock& clock) {
    answer_hello(conn);
    clock.pass();
    conn.wait_closed();
  };
  const Script ignore_request = [&](Conn& conn, FakeClock& clock) {
    answer_hello(conn);
    ignore_line(conn, clock);
  };
  const Script line_at_9s = [&](Conn& conn, FakeClock& clock) {
    answer_hello(conn);
    conn.read_line();
    if (clock.pass(9s) && conn.send("{\"event\":1}\n")) clock.pass();
    conn.wait_closed();
  };
  const Script answer_late = [&](Conn& conn, FakeClock& clock) {
    answer_hello(conn);
    auto id = conn.next_id();
    if (id && clock.pass(1s)) {
      clock.advance(10s);  // the reply is there when the upstream wakes, too late
      conn.send(with_id(R"({"id":{ID},"result":"late"})", *id) + "\n");
    }
    conn.wait_closed();
  };
  const Json big = {{"pad", std::string(1u << 20, 'x')}};
  const std::string status2 = with_id(kStatus, 2), status4 = with_id(kStatus, 4);
  const LinesByConnection asked_twice = {{hello(1), status2}, {hello(3), status4}};
  const struct {
    Script script;
    Json params;
    std::string expected;
    std::vector<FakeClock::Span> lapses;
    LinesByConnection lines;
  } cases[] = {
      // The hello is never answered: the connection check fails at the line-read
      // limit, and is not retried.
      {ignore_line, nullptr, "Transport||read timeout", {10s}, {{hello(1)}}},
      // The request is never read: the write limit; written again once, cut at the deadline.
      {read_nothing, big, "DeadlineExceeded||", {10s, 5s}, {{hello(1)}, {hello(3)}}},
      // The reply never comes: the line-read limit; asked again once, cut at the deadline.
      {ignore_request, nullptr, "DeadlineExceeded||", {10s, 5s}, asked_twice},
      // A line 9 s after the request starts a limit of its own, which the
      // deadline cuts: not asked again.
      {line_at_9s, nullptr, "DeadlineExceeded||", {9s, 6s}, {{hello(1), status2}}},
      // A reply read after its line's limit, or after the deadline, is not taken.
      {answer_late, nullptr, "DeadlineExceeded||", {1s, 1s}, asked_twice},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    FakeClock clock;
    FakeCore core({}, [&](Conn& conn) { c.script(conn, clock); });
    Upstream upstream(core.path(), clock);
    EXPECT_EQ(outcome(upstream.call("mcp.status", c.params)), c.expected);
    EXPECT_EQ(clock.lapses(), c.lapses);
    EXPECT_FALSE(upstream.connected());
    EXPECT_EQ(core.lines_by_connection(), c.lines);
  }
}

TEST(UpstreamTimeLimitsTest, PastDeadlineTellsWhetherTheLastCallsDeadlineHasGoneBy) {
  FakeCore core({FakeCore::answering("{}")});
  FakeClock clock;
  Upstream upstream(core.path(), clock);
  EXPECT_FALSE(upstream.past_deadline());
  for (int call = 0; call < 2; ++call) {
    ASSERT_EQ(outcome(upstream.call("mcp.status", nullptr)), "={}");
    // Shaping the answer takes time after the call.
    clock.advance(limits::kCallDeadline);
    EXPECT_FALSE(upstream.past_deadline());
    clock.advance(1ns);
    EXPECT_TRUE(upstream.past_deadline());
  }
}

// ---- On the real clock --------------------------------------------------------

TEST(UpstreamRealTimeTest, SilentCoreDelaysTheBinaryByTheLineReadLimitThenToolCallsReportIt) {
  // The binary keeps its limits on the real clock. The core reads the hello
  // and never answers it; later connections are closed at once.
  FakeCore core({[](Conn& conn) {
    conn.read_line();
    conn.wait_closed(60s);
  }});
  auto start = Clock::now();
  McpProcess mcp(core.path());
  mcp.send_line(ping(1));
  EXPECT_EQ(mcp.read_line(20s), pong(1));
  EXPECT_GE(Clock::now() - start, 9500ms);
  EXPECT_LT(Clock::now() - start, 13s);
  auto again = Clock::now();
  mcp.send_line(status_call(2));
  EXPECT_EQ(mcp.read_line(), tool_result(2, kNotRunningText, true));
  EXPECT_LT(Clock::now() - again, 2s);
  EXPECT_EQ(mcp.finish(), "exit 0");
  // The failed hello was not retried; the tool call connected once more.
  EXPECT_EQ(core.lines_by_connection(), (LinesByConnection{{hello(1)}, {}}));
}

}  // namespace
