// The session loop seen from outside: the real binary on pipes.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "fake_core.h"
#include "mcp_process.h"

namespace {

using namespace std::chrono_literals;

std::string ping(int id) {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"ping"})";
}
std::string pong(int id) {
  return R"({"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0","result":{}})";
}
std::string status_call(int id) {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
         R"(,"method":"tools/call","params":{"name":"get_capture_status","arguments":{}}})";
}

const std::string kInitialize =
    R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-03-26",)"
    R"("capabilities":{},"clientInfo":{"name":"test","version":"1"}}})";
const std::string kInitializeAnswer =
    R"({"id":1,"jsonrpc":"2.0","result":{"capabilities":{"tools":{}},)"
    R"("protocolVersion":"2025-03-26","serverInfo":{"name":"trelvo","version":"0.1.0"}}})";
const std::string kParseErrorStart = R"({"error":{"code":-32700,"message":"parse error: )";
const std::string kParseErrorEnd = R"("},"id":null,"jsonrpc":"2.0"})";

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/tsessXXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    dir_ = dir;
  }
  void TearDown() override { ::rmdir(dir_.c_str()); }

  // No core: the socket path names nothing.
  McpProcess::Options without_core() const {
    McpProcess::Options options;
    options.env = {{"TRELVO_MCP_SOCKET", dir_ + "/absent.sock"}, {"HOME", dir_}};
    return options;
  }
  McpProcess::Options with_core(const FakeCore& core) const {
    McpProcess::Options options;
    options.env = {{"TRELVO_MCP_SOCKET", core.path()}, {"HOME", dir_}};
    return options;
  }

  // Ends the input and checks that nothing more is written, that the process
  // exits with status 0 and that standard error stayed empty.
  static void expect_clean_end(McpProcess& process) {
    process.close_stdin();
    EXPECT_EQ(process.read_rest(), "");
    expect_exit_zero(process);
  }
  static void expect_exit_zero(McpProcess& process) {
    auto status = process.wait_exit();
    EXPECT_TRUE(status.exited);
    EXPECT_EQ(status.code, 0);
    EXPECT_EQ(status.signal, 0);
    EXPECT_EQ(process.stderr_text(), "");
  }

  std::string dir_;
};

TEST_F(SessionTest, InitializeAndPingAreAnsweredByteExact) {
  McpProcess mcp(without_core());
  ASSERT_TRUE(mcp.started());
  mcp.send_line(kInitialize);
  EXPECT_EQ(mcp.read_line(), kInitializeAnswer);
  mcp.send_line(ping(2));
  EXPECT_EQ(mcp.read_line(), pong(2));
  mcp.send_line(kInitialize);
  EXPECT_EQ(mcp.read_line(), kInitializeAnswer);
  expect_clean_end(mcp);
}

TEST_F(SessionTest, RequestsWrittenTogetherAreAnsweredInOrder) {
  McpProcess mcp(without_core());
  mcp.send(kInitialize + "\n" + ping(2) + "\n" + "not json\n" + ping(3) + "\n");
  EXPECT_EQ(mcp.read_line(), kInitializeAnswer);
  EXPECT_EQ(mcp.read_line(), pong(2));
  auto error = mcp.read_line();
  ASSERT_TRUE(error);
  EXPECT_TRUE(error->starts_with(kParseErrorStart)) << *error;
  EXPECT_TRUE(error->ends_with(kParseErrorEnd)) << *error;
  EXPECT_EQ(mcp.read_line(), pong(3));
  expect_clean_end(mcp);
}

TEST_F(SessionTest, LinesThatNeedNoAnswerProduceNoOutput) {
  McpProcess mcp(without_core());
  const char* silent[] = {
      "",
      "   ",
      " \t \t",
      "\r",
      "\xC2\xA0",                 // no-break space only
      "\xC2\xA0 \xE2\x80\x83\t",  // mixed Unicode white space
      "\x0B\x0C",                 // vertical tab and form feed only
      "\xE3\x80\x80",             // ideographic space
      R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
      R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])",
  };
  for (const char* line : silent) mcp.send_line(line);
  mcp.send_line(ping(7));
  EXPECT_EQ(mcp.read_line(), pong(7));
  expect_clean_end(mcp);
}

TEST_F(SessionTest, SurroundingSpacesAndCrlfAreHandledAsTheBareText) {
  McpProcess mcp(without_core());
  mcp.send("  " + ping(1) + " \t\n");
  mcp.send(ping(2) + "\r\n");
  mcp.send("\t" + ping(3) + "  \r\n");
  EXPECT_EQ(mcp.read_line(), pong(1));
  EXPECT_EQ(mcp.read_line(), pong(2));
  EXPECT_EQ(mcp.read_line(), pong(3));
  expect_clean_end(mcp);
}

TEST_F(SessionTest, NoBreakSpaceOrFormFeedAroundAMessageIsAParseError) {
  McpProcess mcp(without_core());
  mcp.send_line("\xC2\xA0" + ping(1));
  mcp.send_line(ping(2) + "\f");
  for (int i = 0; i < 2; ++i) {
    auto line = mcp.read_line();
    ASSERT_TRUE(line);
    EXPECT_TRUE(line->starts_with(kParseErrorStart)) << *line;
    EXPECT_TRUE(line->ends_with(kParseErrorEnd)) << *line;
  }
  mcp.send_line(ping(3));
  EXPECT_EQ(mcp.read_line(), pong(3));
  expect_clean_end(mcp);
}

TEST_F(SessionTest, LastLineWithoutLineFeedIsAnswered) {
  McpProcess mcp(without_core());
  mcp.send(ping(4) + "\r\n" + ping(5));
  mcp.close_stdin();
  EXPECT_EQ(mcp.read_line(), pong(4));
  EXPECT_EQ(mcp.read_line(), pong(5));
  EXPECT_EQ(mcp.read_rest(), "");
  expect_exit_zero(mcp);
}

TEST_F(SessionTest, VeryLongLineIsAnswered) {
  McpProcess mcp(without_core());
  std::string line = R"({"jsonrpc":"2.0","id":1,"method":"ping","params":{"pad":")" +
                     std::string(1 << 20, 'x') + "\"}}";
  mcp.send_line(line);
  EXPECT_EQ(mcp.read_line(), pong(1));
  expect_clean_end(mcp);
}

TEST_F(SessionTest, InvalidUtf8EndsTheSessionWithoutAnswer) {
  McpProcess mcp(without_core());
  // Everything at once: the lines after the bad one must never be read.
  mcp.send(ping(1) + "\n" + R"({"jsonrpc":"2.0","id":2,"method":"p)" + "\xFF" + "ing\"}\n" +
           ping(3) + "\n");
  EXPECT_EQ(mcp.read_line(), pong(1));
  // Standard input stays open: the bad line alone ends the session.
  EXPECT_EQ(mcp.read_rest(), "");
  EXPECT_TRUE(mcp.stdout_ended());
  expect_exit_zero(mcp);
}

TEST_F(SessionTest, EmptyInputExitsZeroWithoutOutput) {
  McpProcess mcp(without_core());
  expect_clean_end(mcp);
}

TEST_F(SessionTest, StartedWithStdinClosedBehavesAsEmptyInput) {
  // The core speaks first after the hello. Were the socket to land on the
  // unopened descriptor 0, the session would read this line as a request.
  FakeCore core({FakeCore::after_hello([](FakeCore::Conn& conn) {
    conn.send_line(ping(9));
    conn.wait_closed();
  })});
  auto options = with_core(core);
  options.stdin_closed = true;
  McpProcess mcp(options);
  ASSERT_TRUE(mcp.started());
  EXPECT_EQ(mcp.read_rest(), "");
  expect_exit_zero(mcp);
}

TEST_F(SessionTest, StartedWithStdoutClosedRunsUntilInputEnds) {
  FakeCore core({FakeCore::answering(Json::object())});
  auto options = with_core(core);
  options.stdout_closed = true;
  McpProcess mcp(options);
  ASSERT_TRUE(mcp.started());
  // Each tool call reaching the core shows that the answers before it were
  // written (and discarded) without ending the session.
  mcp.send_line(kInitialize);
  mcp.send_line(status_call(2));
  ASSERT_TRUE(core.wait_for_lines(2));
  mcp.send_line(ping(3));
  mcp.send_line(status_call(4));
  ASSERT_TRUE(core.wait_for_lines(3));
  mcp.close_stdin();
  expect_exit_zero(mcp);
  // Nothing but requests went to the core.
  auto lines = core.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], R"({"id":2,"method":"mcp.status"})");
  EXPECT_EQ(lines[2], R"({"id":3,"method":"mcp.status"})");
}

TEST_F(SessionTest, ClosedReadingEndOfStdoutEndsTheProcessWithStatusZero) {
  McpProcess mcp(without_core());
  mcp.send_line(ping(1));
  ASSERT_EQ(mcp.read_line(), pong(1));
  mcp.close_stdout_reader();
  mcp.send_line(ping(2));
  // Standard input stays open: only the failed write may end the session.
  expect_exit_zero(mcp);
}

TEST_F(SessionTest, ToolsListBeforeInitializeIsServed) {
  McpProcess mcp(without_core());
  mcp.send_line(R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})");
  auto line = mcp.read_line();
  ASSERT_TRUE(line);
  EXPECT_TRUE(line->starts_with(R"({"id":1,"jsonrpc":"2.0","result":{"tools":[{)")) << *line;
  auto parsed = json::parse(*line);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed.value()["result"]["tools"].size(), 7u);
  expect_clean_end(mcp);
}

TEST_F(SessionTest, WithoutACoreInitializeIsAnsweredAtOnceAndToolCallsReportIt) {
  auto start = std::chrono::steady_clock::now();
  McpProcess mcp(without_core());
  mcp.send_line(kInitialize);
  EXPECT_EQ(mcp.read_line(), kInitializeAnswer);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);

  const std::string not_running =
      R"({"id":2,"jsonrpc":"2.0","result":{"content":[{"text":"Trelvo is not running. )"
      R"(Launch Trelvo to start capturing.","type":"text"}],"isError":true}})";
  mcp.send_line(status_call(2));
  EXPECT_EQ(mcp.read_line(), not_running);
  // The session goes on, and a second call tries again with the same result.
  mcp.send_line(ping(3));
  EXPECT_EQ(mcp.read_line(), pong(3));
  mcp.send_line(status_call(2));
  EXPECT_EQ(mcp.read_line(), not_running);
  expect_clean_end(mcp);
}

}  // namespace
