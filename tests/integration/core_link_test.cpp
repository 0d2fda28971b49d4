// The core link: Upstream driven in-process against a scripted fake core, and
// a few roads through the real binary.
#include "upstream.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_core.h"
#include "mcp_process.h"

namespace {

using namespace std::chrono_literals;
using Kind = UpstreamError::Kind;
using Conn = FakeCore::Conn;
using Clock = std::chrono::steady_clock;

const std::string kHelloLine =
    R"({"id":1,"method":"hello","params":{"clientKind":"mcp","protocolVersion":1}})";
const std::string kUnderHome = "Library/Application Support/Trelvo/run/core.sock";

std::string hello_line(std::uint64_t id) {
  return R"({"id":)" + std::to_string(id) +
         R"(,"method":"hello","params":{"clientKind":"mcp","protocolVersion":1}})";
}

std::string with_id(std::string_view pattern, std::uint64_t id) {
  std::string text(pattern);
  for (auto at = text.find("{ID}"); at != std::string::npos; at = text.find("{ID}")) {
    text.replace(at, 4, std::to_string(id));
  }
  return text;
}

const char* kind_name(Kind kind) {
  switch (kind) {
    case Kind::NotRunning:
      return "NotRunning";
    case Kind::ProtocolMismatch:
      return "ProtocolMismatch";
    case Kind::CoreError:
      return "CoreError";
    case Kind::Transport:
      return "Transport";
    case Kind::DeadlineExceeded:
      return "DeadlineExceeded";
  }
  return "?";
}

template <class T>
std::string describe(const Result<T, UpstreamError>& result) {
  if (result) return "success";
  const auto& e = result.error();
  return std::string(kind_name(e.kind)) + " code=\"" + e.code + "\" message=\"" + e.message + "\"";
}

template <class T>
void expect_failure(const Result<T, UpstreamError>& result, Kind kind, std::string code = "",
                    std::string message = "") {
  ASSERT_FALSE(result) << "expected " << kind_name(kind) << ", got success";
  EXPECT_EQ(result.error().kind, kind) << describe(result);
  EXPECT_EQ(result.error().code, code) << describe(result);
  EXPECT_EQ(result.error().message, message) << describe(result);
}

Json parse(std::string_view text) {
  return Json::parse(text);
}

// ---- Where the socket is ------------------------------------------------------

// Sets or unsets one environment variable for a scope, then restores it.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(SocketPathTest, FollowsTheEnvironment) {
  const struct {
    const char* name;
    const char* socket;  // nullptr: unset
    const char* home;
    std::string expected;
  } cases[] = {
      {"explicit path wins", "/tmp/x/core.sock", "/Users/user", "/tmp/x/core.sock"},
      {"explicit path unchanged", "rel/a b//c", "/Users/user", "rel/a b//c"},
      {"explicit empty path", "", "/Users/user", ""},
      {"home", nullptr, "/Users/user", "/Users/user/" + kUnderHome},
      {"home with trailing slash", nullptr, "/Users/user/", "/Users/user/" + kUnderHome},
      {"root home", nullptr, "/", "/" + kUnderHome},
      {"empty home", nullptr, "", kUnderHome},
      {"both unset", nullptr, nullptr, kUnderHome},
      {"explicit path not UTF-8", "/tmp/\xFF.sock", "/Users/user", "/Users/user/" + kUnderHome},
      {"home not UTF-8", nullptr, "/Users/\xFF", kUnderHome},
  };
  for (const auto& c : cases) {
    ScopedEnv socket("TRELVO_MCP_SOCKET", c.socket);
    ScopedEnv home("HOME", c.home);
    EXPECT_EQ(socket_path(), c.expected) << c.name;
  }
}

TEST(SocketPathTest, EmptyPathMeansNotRunning) {
  Upstream upstream("");
  expect_failure(upstream.ensure_connected(), Kind::NotRunning);
  EXPECT_FALSE(upstream.connected());
}

// ---- Connecting and the hello -------------------------------------------------

TEST(CoreLinkTest, NoSocketMeansNotRunningAndConsumesNoId) {
  char dir[] = "/tmp/tlinkXXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  std::string file = std::string(dir) + "/file";
  ::close(::creat(file.c_str(), 0600));
  const std::string paths[] = {
      std::string(dir) + "/absent.sock",  // nothing there
      file,                               // not a socket
      dir,                                // a directory
      "/tmp/" + std::string(300, 'a'),    // longer than a socket address holds
      std::string(200, 'b'),
  };
  for (const auto& path : paths) {
    Upstream upstream(path);
    expect_failure(upstream.ensure_connected(), Kind::NotRunning);
    expect_failure(upstream.call("mcp.status", nullptr), Kind::NotRunning);
    expect_failure(upstream.raw_call("mcp.status", nullptr), Kind::NotRunning);
    EXPECT_FALSE(upstream.connected()) << path;
    EXPECT_EQ(upstream.next_id(), 1u) << path;
  }
  ::unlink(file.c_str());
  ::rmdir(dir);
}

TEST(CoreLinkTest, HelloIsId1AndTheFirstRequestId2) {
  FakeCore core({FakeCore::answering(parse(R"({"ok":true})"))});
  Upstream upstream(core.path());
  EXPECT_EQ(upstream.path(), core.path());
  EXPECT_FALSE(upstream.connected());

  auto first = upstream.call("mcp.status", nullptr);
  ASSERT_TRUE(first) << describe(first);
  EXPECT_EQ(first.value(), parse(R"({"ok":true})"));
  EXPECT_TRUE(upstream.connected());
  EXPECT_EQ(upstream.next_id(), 3u);

  auto second = upstream.call("flow.list", Json::object());
  ASSERT_TRUE(second) << describe(second);
  auto third = upstream.call("wir.evaluate",
                             parse(R"({"pageHandle":"p","expression":"a\n\"b\"\u0001\u00e9"})"));
  ASSERT_TRUE(third) << describe(third);

  EXPECT_EQ(core.lines(), (std::vector<std::string>{
                              kHelloLine,
                              R"({"id":2,"method":"mcp.status"})",
                              R"({"id":3,"method":"flow.list","params":{}})",
                              "{\"id\":4,\"method\":\"wir.evaluate\",\"params\":{\"expression\":"
                              "\"a\\n\\\"b\\\"\\u0001\xC3\xA9\",\"pageHandle\":\"p\"}}",
                          }));
  EXPECT_EQ(core.connections(), 1u);
}

TEST(CoreLinkTest, HelloAcceptanceRules) {
  const struct {
    const char* name;
    std::string reply;  // {ID} becomes the hello's id
    bool accepted;
  } cases[] = {
      {"standard", R"({"id":{ID},"result":{"protocolVersion":1,"acceptedClientKind":"mcp"}})",
       true},
      {"extra members",
       R"({"id":{ID},"result":{"protocolVersion":1,"acceptedClientKind":"mcp","x":[1]},"y":2})",
       true},
      {"version 2", R"({"id":{ID},"result":{"protocolVersion":2,"acceptedClientKind":"mcp"}})",
       false},
      {"version 1.0", R"({"id":{ID},"result":{"protocolVersion":1.0,"acceptedClientKind":"mcp"}})",
       false},
      {"version 1e0", R"({"id":{ID},"result":{"protocolVersion":1e0,"acceptedClientKind":"mcp"}})",
       false},
      {"version \"1\"",
       R"({"id":{ID},"result":{"protocolVersion":"1","acceptedClientKind":"mcp"}})", false},
      {"version -1", R"({"id":{ID},"result":{"protocolVersion":-1,"acceptedClientKind":"mcp"}})",
       false},
      {"no version", R"({"id":{ID},"result":{"acceptedClientKind":"mcp"}})", false},
      {"no client kind", R"({"id":{ID},"result":{"protocolVersion":1}})", false},
      {"client kind MCP",
       R"({"id":{ID},"result":{"protocolVersion":1,"acceptedClientKind":"MCP"}})", false},
      {"client kind with space",
       R"({"id":{ID},"result":{"protocolVersion":1,"acceptedClientKind":"mcp "}})", false},
      {"no result", R"({"id":{ID}})", false},
      {"null result", R"({"id":{ID},"result":null})", false},
      {"array result", R"({"id":{ID},"result":[1,"mcp"]})", false},
  };
  for (const auto& c : cases) {
    std::string reply = c.reply;
    FakeCore core({[reply](Conn& conn) {
      auto hello = conn.next_request();
      if (hello) conn.send_line(with_id(reply, hello->id));
      conn.wait_closed(30s);
    }});
    Upstream upstream(core.path());
    auto outcome = upstream.connect();
    if (c.accepted) {
      EXPECT_TRUE(outcome) << c.name << ": " << describe(outcome);
      EXPECT_TRUE(upstream.connected()) << c.name;
    } else {
      expect_failure(outcome, Kind::ProtocolMismatch);
      EXPECT_FALSE(upstream.connected()) << c.name;
      // The rejected connection is closed at once, not left to the destructor.
      EXPECT_TRUE(core.wait_for_finished(1)) << c.name;
    }
    EXPECT_EQ(core.lines(), std::vector<std::string>{kHelloLine}) << c.name;
  }
}

TEST(CoreLinkTest, HelloErrorReplies) {
  const struct {
    const char* name;
    std::string reply;
    Kind kind;
    std::string code;
    std::string message;
  } cases[] = {
      {"version mismatch", R"({"id":{ID},"error":{"code":"version_mismatch","message":"need 2"}})",
       Kind::ProtocolMismatch, "", ""},
      {"disabled without message", R"({"id":{ID},"error":{"code":"MCP_DISABLED"}})",
       Kind::CoreError, "MCP_DISABLED", ""},
      {"other code", R"({"id":{ID},"error":{"code":"busy","message":"later"}})", Kind::CoreError,
       "busy", "later"},
      {"version mismatch in other case", R"({"id":{ID},"error":{"code":"VERSION_MISMATCH"}})",
       Kind::CoreError, "VERSION_MISMATCH", ""},
      {"error wins over an accepting result",
       R"({"id":{ID},"error":{"code":"version_mismatch"},)"
       R"("result":{"protocolVersion":1,"acceptedClientKind":"mcp"}})",
       Kind::ProtocolMismatch, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string reply = c.reply;
    FakeCore core({[reply](Conn& conn) {
      auto hello = conn.next_request();
      if (hello) conn.send_line(with_id(reply, hello->id));
      conn.wait_closed(30s);
    }});
    Upstream upstream(core.path());
    expect_failure(upstream.connect(), c.kind, c.code, c.message);
    EXPECT_FALSE(upstream.connected());
    EXPECT_TRUE(core.wait_for_finished(1));
  }
}

TEST(CoreLinkTest, CoreThatClosesBeforeAnsweringTheHelloIsATransportFailure) {
  FakeCore core({[](Conn& conn) { conn.read_line(); }});
  Upstream upstream(core.path());
  // The failure happens inside the connection check, so there is no retry.
  expect_failure(upstream.call("mcp.status", nullptr), Kind::Transport, "",
                 "core closed connection");
  EXPECT_FALSE(upstream.connected());
  EXPECT_EQ(core.connections(), 1u);
  EXPECT_EQ(core.lines(), std::vector<std::string>{kHelloLine});
}

TEST(CoreLinkTest, EnsureConnectedOnAConnectedObjectDoesNoIo) {
  // The core accepts the hello and then goes away.
  FakeCore core({FakeCore::after_hello([](Conn& conn) { conn.close(); })});
  Upstream upstream(core.path());
  ASSERT_TRUE(upstream.ensure_connected());
  ASSERT_TRUE(core.wait_for_finished(1));
  auto again = upstream.ensure_connected();
  EXPECT_TRUE(again) << describe(again);
  EXPECT_TRUE(upstream.connected());
  EXPECT_EQ(upstream.next_id(), 2u);
  EXPECT_EQ(core.connections(), 1u);
  EXPECT_EQ(core.lines().size(), 1u);
}

TEST(CoreLinkTest, ConnectReplacesAPresentConnection) {
  FakeCore core({FakeCore::answering(Json::object()), FakeCore::answering(Json::object())});
  Upstream upstream(core.path());
  ASSERT_TRUE(upstream.connect());
  ASSERT_TRUE(upstream.connect());
  // The first connection was closed when the second replaced it.
  EXPECT_TRUE(core.wait_for_finished(1));
  EXPECT_EQ(core.lines_by_connection(),
            (std::vector<std::vector<std::string>>{{kHelloLine}, {hello_line(2)}}));
}

// ---- Reading the reply --------------------------------------------------------

// A core that accepts the hello and answers the request after it with `lines`
// ({ID} becomes the request's id), then waits for the client to close.
FakeCore::Script answering_with(std::vector<std::string> lines) {
  return FakeCore::after_hello([lines](Conn& conn) {
    auto request = conn.next_request();
    if (!request) return;
    std::string batch;
    for (const auto& line : lines) batch += with_id(line, request->id) + "\n";
    conn.send(batch);
    conn.wait_closed();
  });
}

TEST(CoreLinkTest, UnmatchedLinesBeforeTheReplyAreSkipped) {
  FakeCore core({answering_with({
      R"({"event":"flow.added","params":{"id":{ID}}})",  // a notification
      R"({"id":"{ID}","result":"string id"})",
      R"({"id":{ID}.0,"result":"fractional id"})",
      R"({"id":-{ID},"result":"negative id"})",
      R"({"id":1,"result":"stale reply"})",
      R"({"id":null,"result":"null id"})",
      "",
      "not json",
      R"({"id":{ID},"result":"first"} {"id":{ID}})",  // two values on one line
      R"([{"id":{ID},"result":"in an array"}])",
      R"(  {"id":{ID},"result":{"b":1,"a":2}}  )",
  })});
  Upstream upstream(core.path());
  auto result = upstream.call("mcp.status", nullptr);
  ASSERT_TRUE(result) << describe(result);
  EXPECT_EQ(result.value(), parse(R"({"a":2,"b":1})"));
  EXPECT_EQ(core.lines().size(), 2u);
}

TEST(CoreLinkTest, SixtyThreeUnmatchedLinesThenTheReplySucceed) {
  std::vector<std::string> lines(63, R"({"note":"x"})");
  lines.push_back(R"({"id":{ID},"result":63})");
  FakeCore core({answering_with(lines)});
  Upstream upstream(core.path());
  ASSERT_TRUE(upstream.connect());
  auto result = upstream.raw_call("mcp.status", nullptr);
  ASSERT_TRUE(result) << describe(result);
  EXPECT_EQ(result.value(), Json(63));
}

TEST(CoreLinkTest, SixtyFourUnmatchedLinesFailWithoutReadingTheNext) {
  std::vector<std::string> lines(64, R"({"note":"x"})");
  lines[10] = "";
  lines[20] = "garbage";
  lines.push_back(R"({"id":{ID},"result":"one too late"})");
  FakeCore core({answering_with(lines)});
  Upstream upstream(core.path());
  ASSERT_TRUE(upstream.connect());
  expect_failure(upstream.raw_call("mcp.status", nullptr), Kind::Transport, "",
                 "no matching response within 64 lines");
  // A failed exchange alone does not drop the connection.
  EXPECT_TRUE(upstream.connected());
}

TEST(CoreLinkTest, ReplyShapes) {
  const struct {
    const char* name;
    std::string reply;
    std::optional<Json> result;  // nullopt: a CoreError is expected
    std::string code;
    std::string message;
  } cases[] = {
      {"null error", R"({"id":{ID},"error":null})", std::nullopt, "unknown", ""},
      {"numeric code", R"({"id":{ID},"error":{"code":42,"message":"boom"}})", std::nullopt,
       "unknown", "boom"},
      {"string code and message", R"({"id":{ID},"error":{"code":"not_found","message":"gone"}})",
       std::nullopt, "not_found", "gone"},
      {"numeric message", R"({"id":{ID},"error":{"code":"x","message":7}})", std::nullopt, "x", ""},
      {"error is a string", R"({"id":{ID},"error":"oops"})", std::nullopt, "unknown", ""},
      {"empty error object", R"({"id":{ID},"error":{}})", std::nullopt, "unknown", ""},
      {"error wins over result", R"({"result":1,"error":{"code":"c","message":"m"},"id":{ID}})",
       std::nullopt, "c", "m"},
      {"no result", R"({"id":{ID}})", Json(), "", ""},
      {"null result", R"({"id":{ID},"result":null})", Json(), "", ""},
      {"array result", R"({"id":{ID},"result":[1,"a"]})", parse(R"([1,"a"])"), "", ""},
      {"extra members", R"({"id":{ID},"result":true,"jsonrpc":"2.0","seq":9})", Json(true), "", ""},
  };
  std::vector<std::string> replies;
  for (const auto& c : cases) replies.push_back(c.reply);
  FakeCore core({FakeCore::after_hello([replies](Conn& conn) {
    for (const auto& reply : replies) {
      auto request = conn.next_request();
      if (!request || !conn.send_line(with_id(reply, request->id))) return;
    }
    conn.wait_closed();
  })});
  Upstream upstream(core.path());
  for (const auto& c : cases) {
    auto outcome = upstream.call("m", nullptr);
    if (c.result) {
      ASSERT_TRUE(outcome) << c.name << ": " << describe(outcome);
      EXPECT_EQ(outcome.value(), *c.result) << c.name;
    } else {
      SCOPED_TRACE(c.name);
      expect_failure(outcome, Kind::CoreError, c.code, c.message);
    }
    // A core error is an answer: the connection stays and nothing is retried.
    EXPECT_TRUE(upstream.connected()) << c.name;
  }
  EXPECT_EQ(core.connections(), 1u);
  EXPECT_EQ(core.lines().size(), 1 + std::size(cases));
}

TEST(CoreLinkTest, BytesAfterTheReplyAreKeptForTheNextExchange) {
  // The core sends the reply to request 2 and, in the same write, a
  // notification and the reply to request 3 before that request is made.
  FakeCore core({FakeCore::after_hello([](Conn& conn) {
    if (!conn.next_request()) return;
    conn.send("{\"id\":2,\"result\":\"two\"}\n{\"event\":1}\n{\"id\":3,\"result\":\"three\"}\n");
    conn.wait_closed();
  })});
  Upstream upstream(core.path());
  auto two = upstream.call("a", nullptr);
  ASSERT_TRUE(two) << describe(two);
  EXPECT_EQ(two.value(), Json("two"));
  auto three = upstream.call("b", nullptr);
  ASSERT_TRUE(three) << describe(three);
  EXPECT_EQ(three.value(), Json("three"));
}

TEST(CoreLinkTest, LastLineWithoutLineFeedBeforeTheCoreClosesIsRead) {
  FakeCore core({FakeCore::after_hello([](Conn& conn) {
    auto request = conn.next_request();
    if (request) conn.send(with_id(R"({"id":{ID},"result":"tail"})", request->id));
  })});
  Upstream upstream(core.path());
  ASSERT_TRUE(upstream.connect());
  auto result = upstream.raw_call("mcp.status", nullptr);
  ASSERT_TRUE(result) << describe(result);
  EXPECT_EQ(result.value(), Json("tail"));
}

TEST(CoreLinkTest, ReplyOfSeveralMegabytesIsRead) {
  const std::size_t size = 6u << 20;
  FakeCore core({FakeCore::after_hello([size](Conn& conn) {
    auto request = conn.next_request();
    if (!request) return;
    conn.send_line(R"({"id":)" + std::to_string(request->id) + R"(,"result":")" +
                   std::string(size, 'x') + "\"}");
    conn.wait_closed();
  })});
  Upstream upstream(core.path());
  auto result = upstream.call("flow.getDetail", parse(R"({"flowId":"f1"})"));
  ASSERT_TRUE(result) << describe(result);
  ASSERT_TRUE(result.value().is_string());
  EXPECT_EQ(result.value().get_ref<const std::string&>().size(), size);
}

TEST(CoreLinkTest, ReplyThatIsNotUtf8IsATransportFailure) {
  FakeCore core({answering_with({"{\"id\":{ID},\"result\":\"\xC0\xAF\"}"})});
  Upstream upstream(core.path());
  ASSERT_TRUE(upstream.connect());
  auto result = upstream.raw_call("mcp.status", nullptr);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind, Kind::Transport) << describe(result);
  EXPECT_FALSE(result.error().message.empty());
}

// ---- Reconnect and retry ------------------------------------------------------

// Accepts the hello, reads one request and closes.
FakeCore::Script closing_after_request() {
  return FakeCore::after_hello([](Conn& conn) { conn.read_line(); });
}

TEST(CoreLinkTest, CoreClosingAfterARequestIsRetriedOnceOnANewConnection) {
  FakeCore core({closing_after_request(), FakeCore::answering(parse(R"({"again":1})"))});
  Upstream upstream(core.path());
  auto result = upstream.call("flow.list", parse(R"({"limit":5,"newestFirst":true})"));
  ASSERT_TRUE(result) << describe(result);
  EXPECT_EQ(result.value(), parse(R"({"again":1})"));
  EXPECT_TRUE(upstream.connected());
  EXPECT_EQ(upstream.next_id(), 5u);
  EXPECT_EQ(
      core.lines_by_connection(),
      (std::vector<std::vector<std::string>>{
          {kHelloLine, R"({"id":2,"method":"flow.list","params":{"limit":5,"newestFirst":true}})"},
          {hello_line(3),
           R"({"id":4,"method":"flow.list","params":{"limit":5,"newestFirst":true}})"},
      }));
}

TEST(CoreLinkTest, SecondTransportFailureIsReturnedAndTheNextCallReconnects) {
  FakeCore core(
      {closing_after_request(), closing_after_request(), FakeCore::answering(Json("third time"))});
  Upstream upstream(core.path());
  expect_failure(upstream.call("mcp.status", nullptr), Kind::Transport, "",
                 "core closed connection");
  // Left as the reconnect left it; the breakage is found by the next call.
  EXPECT_TRUE(upstream.connected());
  auto next = upstream.call("mcp.status", nullptr);
  ASSERT_TRUE(next) << describe(next);
  EXPECT_EQ(next.value(), Json("third time"));
  // The broken second connection took request 5 and failed it; the retry
  // went out on a third connection.
  EXPECT_EQ(upstream.next_id(), 8u);
  EXPECT_EQ(core.lines_by_connection(), (std::vector<std::vector<std::string>>{
                                            {kHelloLine, R"({"id":2,"method":"mcp.status"})"},
                                            {hello_line(3), R"({"id":4,"method":"mcp.status"})"},
                                            {hello_line(6), R"({"id":7,"method":"mcp.status"})"},
                                        }));
}

TEST(CoreLinkTest, FailedReconnectReturnsTheReconnectError) {
  FakeCore core({closing_after_request(), [](Conn& conn) {
                   auto hello = conn.next_request();
                   if (hello) conn.reply_error(hello->id, "version_mismatch", "");
                   conn.wait_closed();
                 }});
  Upstream upstream(core.path());
  expect_failure(upstream.call("mcp.status", nullptr), Kind::ProtocolMismatch);
  EXPECT_FALSE(upstream.connected());
  EXPECT_EQ(core.connections(), 2u);
}

TEST(CoreLinkTest, CoreErrorIsNeverRetried) {
  FakeCore core({FakeCore::after_hello([](Conn& conn) {
    auto request = conn.next_request();
    if (request) conn.reply_error(request->id, "MCP_DISABLED", "off");
    conn.wait_closed();
  })});
  Upstream upstream(core.path());
  expect_failure(upstream.call("mcp.status", nullptr), Kind::CoreError, "MCP_DISABLED", "off");
  EXPECT_TRUE(upstream.connected());
  EXPECT_EQ(upstream.next_id(), 3u);
  EXPECT_EQ(core.connections(), 1u);
}

// ---- Through the binary -------------------------------------------------------

class CoreLinkBinaryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/thomeXXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    home_ = dir;
  }
  void TearDown() override { ::rmdir(home_.c_str()); }

  McpProcess::Options options(const FakeCore& core) const {
    McpProcess::Options options;
    options.env = {{"TRELVO_MCP_SOCKET", core.path()}, {"HOME", home_}};
    return options;
  }
  static std::string status_call(int id) {
    return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
           R"(,"method":"tools/call","params":{"name":"get_capture_status","arguments":{}}})";
  }
  static std::string tool_result(int id, std::string_view escaped_text, bool is_error) {
    return R"({"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0","result":{"content":[{"text":")" +
           std::string(escaped_text) + R"(","type":"text"}],"isError":)" +
           (is_error ? "true" : "false") + "}}";
  }
  static void expect_clean_end(McpProcess& mcp) {
    mcp.close_stdin();
    EXPECT_EQ(mcp.read_rest(), "");
    auto status = mcp.wait_exit();
    EXPECT_TRUE(status.exited);
    EXPECT_EQ(status.code, 0);
    EXPECT_EQ(mcp.stderr_text(), "");
  }

  std::string home_;
};

const std::string kEmptyStatusText =
    R"({\n  \"decrypt_allowlist\": [],\n  \"flow_count\": 0,\n  \"oldest_flow_time\": null,\n)"
    R"(  \"paused\": null,\n  \"proxy_port\": null\n})";

TEST_F(CoreLinkBinaryTest, StartupHelloIsId1AndTheFirstToolRequestId2) {
  FakeCore core({FakeCore::answering(Json::object())});
  McpProcess mcp(options(core));
  // The hello goes out before any input is read.
  ASSERT_TRUE(core.wait_for_lines(1));
  EXPECT_EQ(core.lines(), std::vector<std::string>{kHelloLine});
  mcp.send_line(status_call(7));
  EXPECT_EQ(mcp.read_line(), tool_result(7, kEmptyStatusText, false));
  mcp.send_line(status_call(8));
  EXPECT_EQ(mcp.read_line(), tool_result(8, kEmptyStatusText, false));
  EXPECT_EQ(core.lines(), (std::vector<std::string>{kHelloLine, R"({"id":2,"method":"mcp.status"})",
                                                    R"({"id":3,"method":"mcp.status"})"}));
  expect_clean_end(mcp);
}

TEST_F(CoreLinkBinaryTest, CoreRestartBetweenCallsIsBridgedWithTheIdSequenceContinued) {
  FakeCore core({FakeCore::after_hello([](Conn& conn) {
                   auto request = conn.next_request();
                   if (request) conn.reply(request->id, Json::object());
                 }),
                 FakeCore::answering(Json::object())});
  McpProcess mcp(options(core));
  mcp.send_line(status_call(1));
  EXPECT_EQ(mcp.read_line(), tool_result(1, kEmptyStatusText, false));
  ASSERT_TRUE(core.wait_for_finished(1));
  mcp.send_line(status_call(2));
  EXPECT_EQ(mcp.read_line(), tool_result(2, kEmptyStatusText, false));
  auto by_connection = core.lines_by_connection();
  ASSERT_EQ(by_connection.size(), 2u);
  EXPECT_EQ(by_connection[1],
            (std::vector<std::string>{hello_line(4), R"({"id":5,"method":"mcp.status"})"}));
  expect_clean_end(mcp);
}

TEST_F(CoreLinkBinaryTest, CoreErrorBecomesAnErrorResultAndTheSessionGoesOn) {
  FakeCore core({FakeCore::after_hello([](Conn& conn) {
    auto request = conn.next_request();
    if (request) conn.reply_error(request->id, "MCP_DISABLED", "ignored");
    conn.wait_closed();
  })});
  McpProcess mcp(options(core));
  mcp.send_line(status_call(1));
  EXPECT_EQ(mcp.read_line(),
            tool_result(1,
                        "MCP access is disabled. Enable it in Trelvo \xE2\x86\x92 Settings "
                        "\xE2\x86\x92 AI Agents.",
                        true));
  mcp.send_line(R"({"jsonrpc":"2.0","id":2,"method":"ping"})");
  EXPECT_EQ(mcp.read_line(), R"({"id":2,"jsonrpc":"2.0","result":{}})");
  expect_clean_end(mcp);
}

// ---- The real time limits (slow) ----------------------------------------------

// Reads the hello and never answers it.
FakeCore::Script silent_after_hello_request() {
  return [](Conn& conn) {
    conn.read_line();
    conn.wait_closed(60s);
  };
}

TEST(CoreLinkTimersTest, SilentCoreFailsTheHelloAfterTheLineReadLimit) {
  FakeCore core({silent_after_hello_request()});
  Upstream upstream(core.path());
  auto start = Clock::now();
  expect_failure(upstream.call("mcp.status", nullptr), Kind::Transport, "", "read timeout");
  auto took = Clock::now() - start;
  EXPECT_GE(took, 9500ms);
  EXPECT_LT(took, 13s);
  EXPECT_FALSE(upstream.connected());
  // No reconnect: the failure happened in the connection check.
  EXPECT_EQ(core.connections(), 1u);
  EXPECT_EQ(core.lines(), std::vector<std::string>{kHelloLine});
}

TEST(CoreLinkTimersTest, SilentCoreDelaysTheFirstAnswerOfTheBinaryByTheLineReadLimit) {
  FakeCore core({silent_after_hello_request()});
  char home[] = "/tmp/thomeXXXXXX";
  ASSERT_NE(::mkdtemp(home), nullptr);
  McpProcess::Options options;
  options.env = {{"TRELVO_MCP_SOCKET", core.path()}, {"HOME", home}};
  auto start = Clock::now();
  McpProcess mcp(options);
  mcp.send_line(R"({"jsonrpc":"2.0","id":1,"method":"ping"})");
  EXPECT_EQ(mcp.read_line(20s), R"({"id":1,"jsonrpc":"2.0","result":{}})");
  auto took = Clock::now() - start;
  EXPECT_GE(took, 9500ms);
  EXPECT_LT(took, 14s);
  // Later requests are answered at once.
  auto again = Clock::now();
  mcp.send_line(R"({"jsonrpc":"2.0","id":2,"method":"ping"})");
  EXPECT_EQ(mcp.read_line(), R"({"id":2,"jsonrpc":"2.0","result":{}})");
  EXPECT_LT(Clock::now() - again, 2s);
  mcp.close_stdin();
  auto status = mcp.wait_exit();
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(status.code, 0);
  EXPECT_EQ(mcp.stderr_text(), "");
  ::rmdir(home);
}

TEST(CoreLinkTimersTest, SlowCoreEndsTheCallAtTheDeadlineAndLeavesNoConnection) {
  // Every request is answered after 12 s, on every connection.
  auto slow = FakeCore::after_hello([](Conn& conn) {
    while (auto request = conn.next_request(60s)) {
      if (conn.wait_closed(12s)) return;
      conn.reply(request->id, Json("late"));
    }
  });
  FakeCore core({slow}, slow);
  Upstream upstream(core.path());
  auto start = Clock::now();
  expect_failure(upstream.call("mcp.status", nullptr), Kind::DeadlineExceeded);
  auto took = Clock::now() - start;
  EXPECT_GE(took, 14500ms);
  EXPECT_LT(took, 18s);
  EXPECT_FALSE(upstream.connected());
  // First attempt, line-read timeout at 10 s, reconnect, retry, cut at 15 s.
  EXPECT_EQ(core.lines(),
            (std::vector<std::string>{kHelloLine, R"({"id":2,"method":"mcp.status"})",
                                      hello_line(3), R"({"id":4,"method":"mcp.status"})"}));
}

}  // namespace
