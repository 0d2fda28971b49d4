// The session loop seen from outside: the real binary on pipes.
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_core.h"
#include "mcp_process.h"

namespace {

using namespace std::chrono_literals;

const std::string kNoCore = "/nonexistent/core.sock";
const std::string kInitialize =
    R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-03-26",)"
    R"("capabilities":{},"clientInfo":{"name":"test","version":"1"}}})";
const std::string kInitializeAnswer =
    R"({"id":1,"jsonrpc":"2.0","result":{"capabilities":{"tools":{}},)"
    R"("protocolVersion":"2025-03-26","serverInfo":{"name":"trelvo","version":"0.1.0"}}})";

void expect_parse_error(const std::optional<std::string>& line) {
  ASSERT_TRUE(line);
  EXPECT_TRUE(line->starts_with(R"({"error":{"code":-32700,"message":"parse error: )") &&
              line->ends_with(R"("},"id":null,"jsonrpc":"2.0"})"))
      << *line;
}

TEST(SessionTest, WithoutACoreRequestsAreAnsweredByteExactInOrderAndToolCallsReportIt) {
  auto start = std::chrono::steady_clock::now();
  McpProcess mcp(kNoCore);
  // Written all at once, starting before initialize.
  mcp.send(R"({"jsonrpc":"2.0","id":9,"method":"tools/list"})"
           "\n" +
           kInitialize + "\n" + ping(2) + "\nnot json\n" + status_call(3) + "\n" + ping(4) + "\n" +
           status_call(5) + "\n" + kInitialize + "\n");
  auto tools = mcp.read_line();
  ASSERT_TRUE(tools);
  EXPECT_TRUE(tools->starts_with(R"({"id":9,"jsonrpc":"2.0","result":{"tools":[{)")) << *tools;
  EXPECT_EQ(mcp.read_line(), kInitializeAnswer);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_EQ(mcp.read_line(), pong(2));
  expect_parse_error(mcp.read_line());
  // Each tool call tries the core again, and the session goes on.
  EXPECT_EQ(mcp.read_line(), tool_result(3, kNotRunningText, true));
  EXPECT_EQ(mcp.read_line(), pong(4));
  EXPECT_EQ(mcp.read_line(), tool_result(5, kNotRunningText, true));
  EXPECT_EQ(mcp.read_line(), kInitializeAnswer);
  EXPECT_EQ(mcp.finish(), "exit 0");
}

TEST(SessionTest, WhiteSpaceAndLineEndsAroundMessages) {
  McpProcess mcp(kNoCore);
  const char* silent[] = {
      "",
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
  mcp.send("  " + ping(1) + " \t\n" + ping(2) + "\r\n" + "\t" + ping(3) + "  \r\n");
  mcp.send_line("\xC2\xA0" + ping(4));
  mcp.send_line(ping(5) + "\f");
  mcp.send_line(R"({"jsonrpc":"2.0","id":6,"method":"ping","params":{"pad":")" +
                std::string(1 << 20, 'x') + "\"}}");
  mcp.send(ping(7));  // the last line, without a line feed
  mcp.close_stdin();
  for (int id : {1, 2, 3}) EXPECT_EQ(mcp.read_line(), pong(id));
  expect_parse_error(mcp.read_line());
  expect_parse_error(mcp.read_line());
  EXPECT_EQ(mcp.read_line(), pong(6));
  EXPECT_EQ(mcp.read_line(), pong(7));
  EXPECT_EQ(mcp.finish(), "exit 0");
}

TEST(SessionTest, InvalidUtf8EndsTheSessionWithoutAnswer) {
  McpProcess mcp(kNoCore);
  // Everything at once: the lines after the bad one must never be read.
  mcp.send(ping(1) + "\n" + R"({"jsonrpc":"2.0","id":2,"method":"p)" + "\xFF" + "ing\"}\n" +
           ping(3) + "\n");
  EXPECT_EQ(mcp.read_line(), pong(1));
  // Standard input stays open: the bad line alone ends the session.
  EXPECT_EQ(mcp.read_rest() + mcp.wait_exit(), "exit 0");
}

TEST(SessionTest, EmptyInputOrStdinClosedAtStartExitsZeroWithoutOutput) {
  for (bool stdin_closed : {false, true}) {
    SCOPED_TRACE(stdin_closed ? "stdin closed at start" : "empty input");
    // The core speaks first after the hello. Were the socket to land on the
    // unopened descriptor 0, the session would read this line as a request.
    FakeCore core({FakeCore::after_hello([](FakeCore::Conn& conn) {
      conn.send(ping(9) + "\n");
      conn.wait_closed();
    })});
    McpProcess mcp(core.path(), {.stdin_closed = stdin_closed});
    EXPECT_EQ(mcp.finish(), "exit 0");
  }
}

TEST(SessionTest, StartedWithStdoutClosedRunsUntilInputEnds) {
  FakeCore core({FakeCore::answering("{}")});
  McpProcess mcp(core.path(), {.stdout_closed = true});
  // Each tool call reaching the core shows that the answers before it were
  // written (and discarded) without ending the session.
  mcp.send(kInitialize + "\n" + status_call(2) + "\n");
  ASSERT_TRUE(core.wait_for_lines(2));
  mcp.send(ping(3) + "\n" + status_call(4) + "\n");
  ASSERT_TRUE(core.wait_for_lines(3));
  EXPECT_EQ(mcp.finish(), "exit 0");
  // Nothing but requests went to the core.
  EXPECT_EQ(core.lines_by_connection(),
            (std::vector<std::vector<std::string>>{{hello(1), R"({"id":2,"method":"mcp.status"})",
                                                    R"({"id":3,"method":"mcp.status"})"}}));
}

TEST(SessionTest, APersonAtATerminalIsAnsweredAndAHostSeesNothingNew) {
  // --help and --version answer at once, reading nothing of the open input.
  for (const char* arg : {"--help", "-h", "--version"}) {
    McpProcess mcp(kNoCore, {.args = {"--serve", arg}});
    std::string out = mcp.read_rest();
    EXPECT_EQ(mcp.wait_exit(), "exit 0") << arg;
    if (std::string_view(arg) == "--version") {
      EXPECT_EQ(out, "trelvo-mcp 0.1.0\n");
    } else {
      for (const char* named : {"usage: trelvo-mcp", "TRELVO_MCP_SOCKET", "HOME",
                                "\"Registering it in an MCP host\""}) {
        EXPECT_NE(out.find(named), std::string::npos) << named << " in\n" << out;
      }
    }
  }
  // A host's own arguments change nothing it sees, standard error included.
  {
    McpProcess mcp(kNoCore, {.args = {"--verbose", "stdio"}});
    mcp.send_line(ping(1));
    EXPECT_EQ(mcp.read_line(), pong(1));
    EXPECT_EQ(mcp.finish(), "exit 0");
  }
  // At a terminal, standard error says once what the server waits for.
  McpProcess mcp(kNoCore, {.stdin_terminal = true, .args = {"--verbose"}});
  mcp.send_line(ping(1));
  EXPECT_EQ(mcp.read_line(), pong(1));
  mcp.send_line(ping(2));
  EXPECT_EQ(mcp.read_line(), pong(2));
  mcp.send("\x04");  // Ctrl-D: the end of input
  EXPECT_EQ(mcp.read_rest() + mcp.wait_exit(),
            "exit 0; stderr: trelvo-mcp: waiting for MCP messages from a host on standard input "
            "(see trelvo-mcp --help); ignoring --verbose\n");
}

TEST(SessionTest, ClosedReadingEndOfStdoutEndsTheProcessWithStatusZero) {
  McpProcess mcp(kNoCore);
  mcp.send_line(ping(1));
  ASSERT_EQ(mcp.read_line(), pong(1));
  mcp.close_stdout_reader();
  mcp.send_line(ping(2));
  // Standard input stays open: only the failed write may end the session.
  EXPECT_EQ(mcp.wait_exit(), "exit 0");
}

}  // namespace
