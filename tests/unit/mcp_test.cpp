#include "mcp.h"

#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace {

constexpr const char* kNoReply = "<no reply>";
constexpr const char* kToolRequest = "<tool request>";

// What the session would write for `line`: the reply text, or a marker.
std::string outcome(std::string_view line) {
  auto classified = mcp::classify(line);
  if (auto* reply = std::get_if<mcp::Reply>(&classified)) return reply->text;
  if (std::holds_alternative<mcp::NoReply>(classified)) return kNoReply;
  return kToolRequest;
}

std::string err(std::string_view id, int code, std::string_view message) {
  return R"({"error":{"code":)" + std::to_string(code) + R"(,"message":")" + std::string(message) +
         R"("},"id":)" + std::string(id) + R"(,"jsonrpc":"2.0"})";
}

std::string init_result(std::string_view id, std::string_view version) {
  return R"({"id":)" + std::string(id) +
         R"(,"jsonrpc":"2.0","result":{"capabilities":{"tools":{}},"protocolVersion":")" +
         std::string(version) + R"(","serverInfo":{"name":"trelvo","version":"0.1.0"}}})";
}

const std::string kBadId = err("null", -32600, "invalid request: id must be a string or number");
const std::string kPing1 = R"({"id":1,"jsonrpc":"2.0","result":{}})";

struct Case {
  const char* name;
  std::string line;
  std::string expected;
};

void check_all(const Case* begin, const Case* end) {
  for (const Case* c = begin; c != end; ++c) {
    EXPECT_EQ(outcome(c->line), c->expected) << c->name << "\n  line: " << c->line;
  }
}

template <std::size_t N>
void check_all(const Case (&cases)[N]) {
  check_all(cases, cases + N);
}

// ---- Parse errors -----------------------------------------------------------

TEST(ClassifyTest, TextThatIsNotOneJsonValueIsAParseErrorWithNullId) {
  const char* lines[] = {
      "hello",
      "{} {}",
      R"({"jsonrpc":"2.0","id":1,"method":"ping"} {"jsonrpc":"2.0","id":2,"method":"ping"})",
      R"({"jsonrpc":"2.0","id":1,"method":"ping")",
      "\xC2\xA0{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}",
      "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\f",
      "\xEF\xBB\xBF{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}",
      "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\v",
  };
  const std::string prefix = R"({"error":{"code":-32700,"message":"parse error: )";
  const std::string suffix = R"("},"id":null,"jsonrpc":"2.0"})";
  for (const char* line : lines) {
    std::string text = outcome(line);
    EXPECT_TRUE(text.starts_with(prefix)) << line << "\n  -> " << text;
    EXPECT_TRUE(text.ends_with(suffix)) << line << "\n  -> " << text;
    EXPECT_GT(text.size(), prefix.size() + suffix.size()) << "empty description for " << line;
    EXPECT_EQ(text.find('\n'), std::string::npos) << line;
  }
}

TEST(ClassifyTest, NestingOf127IsReadAnd128IsAParseError) {
  EXPECT_EQ(outcome(std::string(127, '[') + std::string(127, ']')), kNoReply);
  std::string deep = outcome(std::string(128, '[') + std::string(128, ']'));
  EXPECT_TRUE(deep.starts_with(R"({"error":{"code":-32700,"message":"parse error: )")) << deep;
  EXPECT_TRUE(deep.ends_with(R"("id":null,"jsonrpc":"2.0"})")) << deep;
}

TEST(ClassifyTest, WhiteSpaceAndCarriageReturnAroundTheMessageAreAccepted) {
  check_all({
      {"spaces", R"(  {"jsonrpc":"2.0","id":1,"method":"ping"}  )", kPing1},
      {"tabs", "\t{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\t", kPing1},
      {"trailing CR", "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\r", kPing1},
      {"spaces inside", R"({ "jsonrpc" : "2.0" , "id" : 1 , "method" : "ping" })", kPing1},
  });
}

TEST(ClassifyTest, InvalidUtf8InsideALineStillGivesAValidUtf8ParseError) {
  std::string text = outcome("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"p\xFFing\"}");
  EXPECT_TRUE(text.starts_with(R"({"error":{"code":-32700,"message":"parse error: )")) << text;
  EXPECT_TRUE(json::is_utf8(text));
}

// ---- Messages without an id -------------------------------------------------

TEST(ClassifyTest, AnythingWithoutAnIdGetsNoReply) {
  check_all({
      {"notification", R"({"jsonrpc":"2.0","method":"notifications/initialized"})", kNoReply},
      {"cancellation",
       R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":1}})",
       kNoReply},
      {"unknown method without id", R"({"jsonrpc":"2.0","method":"nonsense"})", kNoReply},
      {"no jsonrpc", R"({"method":"ping"})", kNoReply},
      {"empty object", "{}", kNoReply},
      {"batch holding a valid ping", R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])", kNoReply},
      {"empty array", "[]", kNoReply},
      {"bare string", R"("ping")", kNoReply},
      {"bare number", "5", kNoReply},
      {"null", "null", kNoReply},
      {"true", "true", kNoReply},
      {"id in params only", R"({"jsonrpc":"2.0","method":"ping","params":{"id":1}})", kNoReply},
  });
}

// ---- Invalid requests -------------------------------------------------------

TEST(ClassifyTest, IdThatIsNotAStringOrNumberIsRejectedWithNullId) {
  check_all({
      {"null id", R"({"jsonrpc":"2.0","id":null,"method":"ping"})", kBadId},
      {"true id", R"({"jsonrpc":"2.0","id":true,"method":"ping"})", kBadId},
      {"false id", R"({"jsonrpc":"2.0","id":false,"method":"ping"})", kBadId},
      {"array id", R"({"jsonrpc":"2.0","id":[1],"method":"ping"})", kBadId},
      {"object id", R"({"jsonrpc":"2.0","id":{"a":1},"method":"ping"})", kBadId},
      {"checked before jsonrpc", R"({"id":null})", kBadId},
      {"checked before method", R"({"jsonrpc":"1.0","id":[]})", kBadId},
      {"tool method too", R"({"jsonrpc":"2.0","id":null,"method":"tools/call"})", kBadId},
  });
}

TEST(ClassifyTest, JsonrpcMustBeExactlyTheString20) {
  const std::string missing = err("1", -32600, R"(invalid request: missing jsonrpc \"2.0\")");
  check_all({
      {"absent", R"({"id":1,"method":"ping"})", missing},
      {"number 2.0", R"({"jsonrpc":2.0,"id":1,"method":"ping"})", missing},
      {"number 2", R"({"jsonrpc":2,"id":1,"method":"ping"})", missing},
      {"trailing space", R"({"jsonrpc":"2.0 ","id":1,"method":"ping"})", missing},
      {"leading space", R"({"jsonrpc":" 2.0","id":1,"method":"ping"})", missing},
      {"1.0", R"({"jsonrpc":"1.0","id":1,"method":"ping"})", missing},
      {"2", R"({"jsonrpc":"2","id":1,"method":"ping"})", missing},
      {"null", R"({"jsonrpc":null,"id":1,"method":"ping"})", missing},
      {"checked before method", R"({"id":1})", missing},
      {"tool method too", R"({"id":1,"method":"tools/list"})", missing},
  });
  // The message is 38 characters with its quotation marks.
  EXPECT_EQ(std::string_view("invalid request: missing jsonrpc \"2.0\"").size(), 38u);
}

TEST(ClassifyTest, MethodMustBeAString) {
  const std::string missing = err("1", -32600, "invalid request: missing method");
  check_all({
      {"absent", R"({"jsonrpc":"2.0","id":1})", missing},
      {"a client's answer", R"({"jsonrpc":"2.0","id":1,"result":{}})", missing},
      {"a client's error", R"({"jsonrpc":"2.0","id":1,"error":{"code":1,"message":"x"}})", missing},
      {"number", R"({"jsonrpc":"2.0","id":1,"method":5})", missing},
      {"null", R"({"jsonrpc":"2.0","id":1,"method":null})", missing},
      {"array", R"({"jsonrpc":"2.0","id":1,"method":["ping"]})", missing},
  });
}

TEST(ClassifyTest, NotificationWithIdIsRejected) {
  const std::string rejected =
      err("5", -32600, "invalid request: notifications must not carry an id");
  check_all({
      {"initialized", R"({"jsonrpc":"2.0","id":5,"method":"notifications/initialized"})", rejected},
      {"bare prefix", R"({"jsonrpc":"2.0","id":5,"method":"notifications/"})", rejected},
      {"prefix without slash is a method", R"({"jsonrpc":"2.0","id":5,"method":"notifications"})",
       err("5", -32601, "method not found: notifications")},
      {"prefix is case-sensitive", R"({"jsonrpc":"2.0","id":5,"method":"Notifications/x"})",
       err("5", -32601, "method not found: Notifications/x")},
      {"prefix must start the method", R"({"jsonrpc":"2.0","id":5,"method":"x/notifications/"})",
       err("5", -32601, "method not found: x/notifications/")},
  });
}

// ---- Lifecycle and unknown methods ------------------------------------------

TEST(ClassifyTest, PingAnswersAnEmptyObjectWhateverItsParams) {
  check_all({
      {"no params", R"({"jsonrpc":"2.0","id":1,"method":"ping"})", kPing1},
      {"object params", R"({"jsonrpc":"2.0","id":1,"method":"ping","params":{"a":1}})", kPing1},
      {"array params", R"({"jsonrpc":"2.0","id":1,"method":"ping","params":[1]})", kPing1},
      {"string params", R"({"jsonrpc":"2.0","id":1,"method":"ping","params":"x"})", kPing1},
      {"null params", R"({"jsonrpc":"2.0","id":1,"method":"ping","params":null})", kPing1},
      {"extra members", R"({"jsonrpc":"2.0","id":1,"method":"ping","extra":true})", kPing1},
  });
}

TEST(ClassifyTest, InitializeNegotiatesTheProtocolVersion) {
  auto init = [](std::string params) {
    return R"({"jsonrpc":"2.0","id":1,"method":"initialize")" + params + "}";
  };
  check_all({
      {"newest", init(R"(,"params":{"protocolVersion":"2025-11-25"})"),
       init_result("1", "2025-11-25")},
      {"2025-06-18", init(R"(,"params":{"protocolVersion":"2025-06-18"})"),
       init_result("1", "2025-06-18")},
      {"2025-03-26", init(R"(,"params":{"protocolVersion":"2025-03-26"})"),
       init_result("1", "2025-03-26")},
      {"oldest", init(R"(,"params":{"protocolVersion":"2024-11-05"})"),
       init_result("1", "2024-11-05")},
      {"unlisted date", init(R"(,"params":{"protocolVersion":"2024-10-07"})"),
       init_result("1", "2025-11-25")},
      {"future date", init(R"(,"params":{"protocolVersion":"2030-01-01"})"),
       init_result("1", "2025-11-25")},
      {"empty string", init(R"(,"params":{"protocolVersion":""})"), init_result("1", "2025-11-25")},
      {"listed with a trailing space", init(R"(,"params":{"protocolVersion":"2025-03-26 "})"),
       init_result("1", "2025-11-25")},
      {"long string", init(R"(,"params":{"protocolVersion":")" + std::string(5000, 'x') + "\"}"),
       init_result("1", "2025-11-25")},
      {"no params", init(""), init_result("1", "2025-06-18")},
      {"null params", init(R"(,"params":null)"), init_result("1", "2025-06-18")},
      {"array params", init(R"(,"params":["2025-03-26"])"), init_result("1", "2025-06-18")},
      {"string params", init(R"(,"params":"2025-03-26")"), init_result("1", "2025-06-18")},
      {"no version member", init(R"(,"params":{"capabilities":{}})"),
       init_result("1", "2025-06-18")},
      {"numeric version", init(R"(,"params":{"protocolVersion":20250326})"),
       init_result("1", "2025-06-18")},
      {"null version", init(R"(,"params":{"protocolVersion":null})"),
       init_result("1", "2025-06-18")},
      {"client details ignored",
       init(R"(,"params":{"protocolVersion":"2025-03-26","capabilities":{"roots":{}},)"
            R"("clientInfo":{"name":"c","version":"1"}})"),
       init_result("1", "2025-03-26")},
  });
}

TEST(ClassifyTest, InitializeTwiceIsAnsweredTheSameWay) {
  const std::string line =
      R"({"jsonrpc":"2.0","id":"x","method":"initialize","params":{"protocolVersion":"2025-03-26"}})";
  EXPECT_EQ(outcome(line), init_result(R"("x")", "2025-03-26"));
  EXPECT_EQ(outcome(line), outcome(line));
}

TEST(ClassifyTest, UnknownMethodsAreNotFound) {
  check_all({
      {"capital L", R"({"jsonrpc":"2.0","id":1,"method":"tools/List"})",
       err("1", -32601, "method not found: tools/List")},
      {"capital P", R"({"jsonrpc":"2.0","id":1,"method":"Ping"})",
       err("1", -32601, "method not found: Ping")},
      {"resources", R"({"jsonrpc":"2.0","id":1,"method":"resources/list"})",
       err("1", -32601, "method not found: resources/list")},
      {"empty method", R"({"jsonrpc":"2.0","id":1,"method":""})",
       err("1", -32601, "method not found: ")},
      {"tools/call with a space", R"({"jsonrpc":"2.0","id":1,"method":"tools/call "})",
       err("1", -32601, "method not found: tools/call ")},
      {"escapes are decoded", R"({"jsonrpc":"2.0","id":1,"method":"p\u0069ng\u00e9"})",
       err("1", -32601, "method not found: ping\xC3\xA9")},
      {"quote and control re-escaped", R"({"jsonrpc":"2.0","id":1,"method":"a\"b\u0001c"})",
       err("1", -32601, R"(method not found: a\"b\u0001c)")},
  });
}

// ---- Id echo ----------------------------------------------------------------

TEST(ClassifyTest, IdIsEchoedAsAParsedValue) {
  auto ping = [](std::string id) {
    return R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"ping"})";
  };
  auto pong = [](std::string id) { return R"({"id":)" + id + R"(,"jsonrpc":"2.0","result":{}})"; };
  check_all({
      {"string", ping(R"("abc")"), pong(R"("abc")")},
      {"empty string", ping(R"("")"), pong(R"("")")},
      {"escaped capital A", ping(R"("\u0041")"), pong(R"("A")")},
      {"escaped non-ASCII", ping(R"("\u00e9")"), pong("\"\xC3\xA9\"")},
      {"escaped quote kept escaped", ping(R"("a\"b")"), pong(R"("a\"b")")},
      {"zero", ping("0"), pong("0")},
      {"negative", ping("-7"), pong("-7")},
      {"max unsigned", ping("18446744073709551615"), pong("18446744073709551615")},
      {"min signed", ping("-9223372036854775808"), pong("-9223372036854775808")},
      {"exponent", ping("1e3"), pong("1000.0")},
      {"fraction", ping("1.5"), pong("1.5")},
      {"fraction with zero", ping("2.0"), pong("2.0")},
  });
  // Errors after the id check carry the id too.
  EXPECT_EQ(outcome(R"({"id":1e3})"),
            err("1000.0", -32600, R"(invalid request: missing jsonrpc \"2.0\")"));
}

// ---- Tool requests ----------------------------------------------------------

TEST(ClassifyTest, ToolMethodsBecomeToolRequestsWithParamsUnchanged) {
  const struct {
    const char* name;
    std::string line;
    std::string method;
    Json id;
    Json params;
  } cases[] = {
      {"list without params", R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})", "tools/list",
       Json::parse("1"), Json()},
      {"list with cursor", R"({"jsonrpc":"2.0","id":"a","method":"tools/list","params":{"c":1}})",
       "tools/list", Json("a"), Json::parse(R"({"c":1})")},
      {"call without params", R"({"jsonrpc":"2.0","id":2,"method":"tools/call"})", "tools/call",
       Json::parse("2"), Json()},
      {"call with string params", R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":"s"})",
       "tools/call", Json::parse("3"), Json("s")},
      {"call with explicit null params",
       R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":null})", "tools/call",
       Json::parse("3"), Json()},
      {"call with arguments",
       R"({"jsonrpc":"2.0","id":4.5,"method":"tools/call",)"
       R"("params":{"name":"list_flows","arguments":{"limit":5}}})",
       "tools/call", Json::parse("4.5"),
       Json::parse(R"({"name":"list_flows","arguments":{"limit":5}})")},
  };
  for (const auto& c : cases) {
    auto classified = mcp::classify(c.line);
    auto* request = std::get_if<mcp::ToolRequest>(&classified);
    ASSERT_NE(request, nullptr) << c.name << ": " << outcome(c.line);
    EXPECT_EQ(request->method, c.method) << c.name;
    EXPECT_EQ(json::compact(request->id), json::compact(c.id)) << c.name;
    EXPECT_EQ(json::compact(request->params), json::compact(c.params)) << c.name;
  }
}

TEST(ClassifyTest, ToolRequestKeepsTheIdKind) {
  auto classified = mcp::classify(R"({"jsonrpc":"2.0","id":7,"method":"tools/list"})");
  auto* request = std::get_if<mcp::ToolRequest>(&classified);
  ASSERT_NE(request, nullptr);
  EXPECT_TRUE(json::is_uint(request->id));
}

// ---- Response builders ------------------------------------------------------

TEST(ResponseTest, ErrorResponseListsMembersInByteOrder) {
  EXPECT_EQ(mcp::error_response(Json::parse("5"), -32602, "unknown tool: x"),
            R"({"error":{"code":-32602,"message":"unknown tool: x"},"id":5,"jsonrpc":"2.0"})");
  EXPECT_EQ(mcp::error_response(nullptr, -32700, "parse error: x"),
            R"({"error":{"code":-32700,"message":"parse error: x"},"id":null,"jsonrpc":"2.0"})");
  EXPECT_EQ(mcp::error_response(Json("s"), 0, ""),
            R"({"error":{"code":0,"message":""},"id":"s","jsonrpc":"2.0"})");
}

TEST(ResponseTest, ErrorMessageIsEscapedOnlyWhereJsonRequires) {
  EXPECT_EQ(mcp::error_response(Json::parse("1"), -32602, "a\"b\\c\n\x01/\xE2\x80\x94"),
            "{\"error\":{\"code\":-32602,\"message\":\"a\\\"b\\\\c\\n\\u0001/\xE2\x80\x94\"},"
            "\"id\":1,\"jsonrpc\":\"2.0\"}");
}

TEST(ResponseTest, ResultResponseSortsTheResultKeys) {
  EXPECT_EQ(mcp::result_response(Json("a"), Json::parse(R"({"b":1,"a":[{"y":1,"x":2}]})")),
            R"({"id":"a","jsonrpc":"2.0","result":{"a":[{"x":2,"y":1}],"b":1}})");
  EXPECT_EQ(mcp::result_response(Json::parse("1"), nullptr),
            R"({"id":1,"jsonrpc":"2.0","result":null})");
}

TEST(ResponseTest, ProtocolResponseServesPingInitializeAndNothingElse) {
  const Json one = Json::parse("1");
  EXPECT_EQ(mcp::protocol_response(one, "ping", std::nullopt), kPing1);
  EXPECT_EQ(mcp::protocol_response(one, "ping", Json::parse("[1]")), kPing1);
  EXPECT_EQ(mcp::protocol_response(one, "initialize", std::nullopt),
            init_result("1", "2025-06-18"));
  EXPECT_EQ(mcp::protocol_response(one, "initialize", Json()), init_result("1", "2025-06-18"));
  EXPECT_EQ(
      mcp::protocol_response(one, "initialize", Json::parse(R"({"protocolVersion":"2024-11-05"})")),
      init_result("1", "2024-11-05"));
  EXPECT_EQ(
      mcp::protocol_response(one, "initialize", Json::parse(R"({"protocolVersion":"1999-01-01"})")),
      init_result("1", "2025-11-25"));
  EXPECT_EQ(mcp::protocol_response(one, "tools/list", std::nullopt),
            err("1", -32601, "method not found: tools/list"));
  EXPECT_EQ(mcp::protocol_response(one, "", std::nullopt), err("1", -32601, "method not found: "));
}

TEST(ResponseTest, ServerIdentity) {
  EXPECT_STREQ(mcp::kServerName, "trelvo");
  EXPECT_STREQ(mcp::kServerVersion, "0.1.0");
}

}  // namespace
