#include "mcp.h"

#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr const char* kNoReply = "<no reply>";

// What the session would write for `line`: the reply text, or a marker.
std::string outcome(std::string_view line) {
  auto classified = mcp::classify(line);
  if (auto* reply = std::get_if<mcp::Reply>(&classified)) return reply->text;
  if (std::holds_alternative<mcp::NoReply>(classified)) return kNoReply;
  return "<tool request>";
}

std::string err(std::string_view id, int code, std::string_view message) {
  return R"({"error":{"code":)" + std::to_string(code) + R"(,"message":")" + std::string(message) +
         R"("},"id":)" + std::string(id) + R"(,"jsonrpc":"2.0"})";
}

// A request line with `id` and `rest` (method and params members).
std::string req(std::string_view id, std::string_view rest) {
  return R"({"jsonrpc":"2.0","id":)" + std::string(id) + "," + std::string(rest) + "}";
}

std::string init_result(std::string_view version, std::string_view id = "1") {
  return R"({"id":)" + std::string(id) +
         R"(,"jsonrpc":"2.0","result":{"capabilities":{"tools":{}},"protocolVersion":")" +
         std::string(version) + R"(","serverInfo":{"name":"trelvo","version":"0.1.0"}}})";
}

std::string pong(std::string_view id) {
  return R"({"id":)" + std::string(id) + R"(,"jsonrpc":"2.0","result":{}})";
}

const std::string kPing1 = pong("1");

struct Case {
  std::string line;
  std::string expected;
};

void check_all(const std::vector<Case>& cases) {
  for (const Case& c : cases) EXPECT_EQ(outcome(c.line), c.expected) << c.line;
}

TEST(ClassifyTest, AnythingWithoutAnIdGetsNoReply) {
  check_all({
      {std::string(127, '[') + std::string(127, ']'), kNoReply},
      {R"({"jsonrpc":"2.0","method":"notifications/initialized"})", kNoReply},
      {R"({"jsonrpc":"2.0","method":"nonsense"})", kNoReply},
      {R"({"method":"ping"})", kNoReply},
      {"{}", kNoReply},
      {R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])", kNoReply},
      {R"("ping")", kNoReply},
      {"null", kNoReply},
      {R"({"jsonrpc":"2.0","method":"ping","params":{"id":1}})", kNoReply},
  });
}

TEST(ClassifyTest, InvalidRequestsAreCheckedIdFirstThenJsonrpcThenMethod) {
  const std::string bad_id = err("null", -32600, "invalid request: id must be a string or number");
  const std::string no_jsonrpc = err("1", -32600, R"(invalid request: missing jsonrpc \"2.0\")");
  const std::string no_method = err("1", -32600, "invalid request: missing method");
  const std::string with_id =
      err("5", -32600, "invalid request: notifications must not carry an id");
  check_all({
      {req("null", R"("method":"ping")"), bad_id},
      {req("[1]", R"("method":"ping")"), bad_id},
      {R"({"id":null})", bad_id},
      {R"({"id":1,"method":"tools/list"})", no_jsonrpc},
      {R"({"jsonrpc":2.0,"id":1,"method":"ping"})", no_jsonrpc},
      {R"({"jsonrpc":"2.0 ","id":1,"method":"ping"})", no_jsonrpc},
      {R"({"id":1})", no_jsonrpc},
      {R"({"id":1e3})", err("1000.0", -32600, R"(invalid request: missing jsonrpc \"2.0\")")},
      {req("1", "\"x\":0"), no_method},
      {req("1", R"("method":5)"), no_method},
      {req("5", R"("method":"notifications/initialized")"), with_id},
      {req("5", R"("method":"notifications/")"), with_id},
      {req("5", R"("method":"notifications")"),
       err("5", -32601, "method not found: notifications")},
      {req("5", R"("method":"Notifications/x")"),
       err("5", -32601, "method not found: Notifications/x")},
      {req("5", R"("method":"x/notifications/")"),
       err("5", -32601, "method not found: x/notifications/")},
  });
}

TEST(ClassifyTest, UnknownMethodsAreNotFoundWithTheDecodedNameReEscaped) {
  check_all({
      {req("1", R"("method":"tools/List")"), err("1", -32601, "method not found: tools/List")},
      {req("1", R"("method":"")"), err("1", -32601, "method not found: ")},
      {req("1", R"("method":"tools/call ")"), err("1", -32601, "method not found: tools/call ")},
      {req("1", R"("method":"p\u0069ng\u00e9")"),
       err("1", -32601, "method not found: ping\xC3\xA9")},
      {req("1", R"("method":"a\"b\u0001c")"), err("1", -32601, R"(method not found: a\"b\u0001c)")},
  });
}

TEST(ClassifyTest, PingAnswersAnEmptyObjectWhateverItsParamsAndEchoesTheParsedId) {
  check_all({
      {R"(  { "jsonrpc" : "2.0" , "id" : 1 , "method" : "ping" }  )", kPing1},
      {"\t{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\r", kPing1},
      {req("1", R"("method":"ping","params":[1])"), kPing1},
      {req("1", R"("method":"ping","params":null,"extra":true)"), kPing1},
      {req(R"("abc")", R"("method":"ping")"), pong(R"("abc")")},
      {req(R"("\u0041")", R"("method":"ping")"), pong(R"("A")")},
      {req(R"("a\"b")", R"("method":"ping")"), pong(R"("a\"b")")},
      {req("18446744073709551615", R"("method":"ping")"), pong("18446744073709551615")},
      {req("-9223372036854775808", R"("method":"ping")"), pong("-9223372036854775808")},
      {req("1e3", R"("method":"ping")"), pong("1000.0")},
  });
}

TEST(ClassifyTest, InitializeNegotiatesTheProtocolVersion) {
  auto init = [](std::string params) { return req("1", R"("method":"initialize")" + params); };
  auto version = [&](std::string v) { return init(R"(,"params":{"protocolVersion":)" + v + "}"); };
  check_all({
      {version(R"("2025-11-25")"), init_result("2025-11-25")},
      {req(R"("x")", R"("method":"initialize","params":{"protocolVersion":"2025-03-26",)"
                     R"("capabilities":{},"clientInfo":{"name":"c"}})"),
       init_result("2025-03-26", R"("x")")},
      {version(R"("2024-11-05")"), init_result("2024-11-05")},
      {version(R"("2024-10-07")"), init_result("2025-11-25")},
      {version(R"("2025-03-26 ")"), init_result("2025-11-25")},
      {version("20250326"), init_result("2025-06-18")},
      {init(""), init_result("2025-06-18")},
      {init(R"(,"params":["2025-03-26"])"), init_result("2025-06-18")},
      {init(R"(,"params":{"capabilities":{}})"), init_result("2025-06-18")},
  });
}

TEST(ClassifyTest, ToolMethodsBecomeToolRequestsWithIdAndParamsUnchanged) {
  const struct {
    std::string line;
    std::string method;
    Json id;
    Json params;
  } cases[] = {
      {req("1", R"("method":"tools/list")"), "tools/list", Json::parse("1"), Json()},
      {req(R"("a")", R"("method":"tools/list","params":{"c":1})"), "tools/list", Json("a"),
       Json::parse(R"({"c":1})")},
      {req("3", R"("method":"tools/call","params":"s")"), "tools/call", Json::parse("3"),
       Json("s")},
      {req("-3", R"("method":"tools/call","params":null)"), "tools/call", Json::parse("-3"),
       Json()},
      {req("4.5", R"("method":"tools/call","params":{"name":"x","arguments":{"limit":5}})"),
       "tools/call", Json::parse("4.5"), Json::parse(R"({"name":"x","arguments":{"limit":5}})")},
  };
  for (const auto& c : cases) {
    auto classified = mcp::classify(c.line);
    auto* request = std::get_if<mcp::ToolRequest>(&classified);
    ASSERT_NE(request, nullptr) << c.line << ": " << outcome(c.line);
    EXPECT_EQ(request->method, c.method) << c.line;
    EXPECT_EQ(json::compact(request->id), json::compact(c.id)) << c.line;
    EXPECT_EQ(request->id.is_number_unsigned(), c.id.is_number_unsigned()) << c.line;
    EXPECT_EQ(json::compact(request->params), json::compact(c.params)) << c.line;
  }
}

TEST(ResponseTest, BuildersListMembersInByteOrder) {
  EXPECT_EQ(mcp::error_response(Json("s"), 0, "a\"b\\c\n\x01/\xE2\x80\x94"),
            "{\"error\":{\"code\":0,\"message\":\"a\\\"b\\\\c\\n\\u0001/\xE2\x80\x94\"},"
            "\"id\":\"s\",\"jsonrpc\":\"2.0\"}");
}

}  // namespace
