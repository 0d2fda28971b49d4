// list_flows and get_flow through tools::dispatch, and the body rules of get_flow.
#include <gtest/gtest.h>

#include <string>

#include "tool_run.h"
#include "tools/bodies.h"

namespace {

constexpr const char* kOmitted =
    "omitted by default \u2014 pass include_bodies: true to include (bodies are never masked)";
constexpr const char* kOff = R"("include_bodies": false)";

TEST(ListFlowsTest, LimitIsCappedAt200AndPresentFiltersAreForwardedUnderCoreNames) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"limit": 0})", R"({"limit":0,"newestFirst":true})"},
      {R"({"limit": 200})", R"({"limit":200,"newestFirst":true})"},
      {R"({"limit": 201})", R"({"limit":200,"newestFirst":true})"},
      {R"({"limit": 18446744073709551615})", R"({"limit":200,"newestFirst":true})"},
      {R"({"host": "A.test", "path_contains": "/Login", "method": "post", "status": "4xx",
           "since_seq": 0, "other": 1})",
       R"({"host":"A.test","limit":50,"method":"post","newestFirst":true,)"
       R"("pathContains":"/Login","sinceSeq":0,"status":"4xx"})"},
  };
  for (const auto& [args, params] : cases)
    EXPECT_EQ(run_tool("list_flows", args).core_params, params);
}

TEST(ListFlowsTest, FlowSummariesCopyEachMemberUnderItsFixedKey) {
  const Json value = run_tool("list_flows", "{}", R"({"flows": [
    {"flowId": 7, "seq": 12, "ts": 1700000000123, "method": "GET", "scheme": "https",
     "host": "api.example.test", "path": "/v1/items?q=1", "status": "101", "durationMs": 3.5,
     "respSize": 2048, "contentType": "application/json", "completed": "yes",
     "error": {"kind": "reset"}, "extra": 1},
    {"host": "h", "path": "/p", "scheme": 5}, 5], "matchedTotal": 3})")
                         .value;
  EXPECT_EQ(json::compact(value),
            R"({"flows":[{"completed":null,"content_type":null,"duration_ms":null,"error":null,)"
            R"("id":null,"method":null,"resp_size":null,"seq":null,"status":null,"time":"",)"
            R"("url":"://"},{"completed":null,"content_type":null,"duration_ms":null,)"
            R"("error":null,"id":null,"method":null,"resp_size":null,"seq":null,"status":null,)"
            R"("time":"","url":"://h/p"},{"completed":"yes","content_type":"application/json",)"
            R"("duration_ms":3.5,"error":{"kind":"reset"},"id":7,"method":"GET","resp_size":2048,)"
            R"("seq":12,"status":"101","time":"2023-11-14T22:13:20.123Z",)"
            R"("url":"https://api.example.test/v1/items?q=1"}],"total_in_store":3,)"
            R"("truncated":false})");
}

TEST(ListFlowsTest, TimeNeedsANonNegativeIntegerTimestamp) {
  const std::pair<std::string, std::string> cases[] = {
      {"0", "1970-01-01T00:00:00.000Z"}, {"-1", ""}, {"5.0", ""}, {"\"1700000000123\"", ""}};
  for (const auto& [ts, time] : cases) {
    const Json value = run_tool("list_flows", "{}", R"({"flows": [{"ts": )" + ts + "}]}").value;
    EXPECT_EQ(value["flows"][0]["time"], time) << ts;
  }
}

TEST(ListFlowsTest, NewestComeFirstAndTheMatchedTotalCountsOnlyAsANonNegativeInteger) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"flows": [{"seq": 1}, {"seq": 2}, {"seq": 3}], "matchedTotal": 10})",
       "3,2,1, of 10 truncated"},
      {R"({"flows": [{"seq": 1}, {"seq": 2}, {"seq": 3}], "matchedTotal": 2})", "3,2,1, of 2"},
      {R"({"flows": [{"seq": 1}, {"seq": 2}], "matchedTotal": null})", "2,1, of 2"},
      {R"({"flows": [{"seq": 1}, {"seq": 2}], "matchedTotal": -1})", "2,1, of 2"},
      {R"({"flows": [{"seq": 1}, {"seq": 2}], "matchedTotal": 10.0})", "2,1, of 2"},
      {R"({"flows": [{"seq": 1}, {"seq": 2}], "matchedTotal": "10"})", "2,1, of 2"},
      {"null", " of 0"},
      {"[]", " of 0"},
      {R"({"flows": {"a": 1}, "matchedTotal": 4})", " of 4 truncated"},
  };
  for (const auto& [answer, listing] : cases) {
    const Json value = run_tool("list_flows", "{}", answer).value;
    std::string text;
    for (const Json& flow : value.at("flows")) text += json::compact(flow.at("seq")) + ",";
    text += " of " + json::compact(value.at("total_in_store"));
    if (value.at("truncated") == true) text += " truncated";
    EXPECT_EQ(text, listing) << answer;
  }
}

TEST(GetFlowTest, SendsOnlyTheFlowIdAndShapesBothSidesAndTheSummary) {
  const std::string detail = R"({
    "summary": {"flowId": 4, "scheme": "http", "host": "h", "path": "/"},
    "reqHeaders": [["Content-Type", "text/plain"]], "respHeaders": [["content-type", "image/png"]],
    "reqBodyB64": "aMOpbGxv", "reqBodyMeta": {"total": 6},
    "respBodyB64": "iVBORw==", "respBodyMeta": {"total": 4}})";
  const std::string summary =
      R"("summary":{"completed":null,"content_type":null,"duration_ms":null,"error":null,"id":4,)"
      R"("method":null,"resp_size":null,"seq":null,"status":null,"time":"","url":"http://h/"}})";
  const std::string omitted = std::string(R"({"body":{"note":")") + kOmitted + "\",";
  const struct {
    std::string args;
    std::string answer;
    std::string value;
  } cases[] = {
      {R"({"flow_id": 4})", detail,
       R"({"request":)" + omitted + R"("size":6},"headers":[["Content-Type","text/plain"]]},)" +
           R"("response":)" + omitted + R"("size":4},"headers":[["content-type","image/png"]]},)" +
           summary},
      {R"({"flow_id": 4, "include_bodies": true, "max_body_bytes": 3})", detail,
       R"({"request":{"body":{"original_size":6,"text":"h\u00e9","truncated":true},)"
       R"("headers":[["Content-Type","text/plain"]]},"response":{"body":{"content_type":)"
       R"("image/png","note":"binary body omitted","size":4,"truncated":false},)"
       R"("headers":[["content-type","image/png"]]},)" +
           summary},
      {R"({"flow_id": 1})", "{}",
       R"({"request":)" + omitted + R"("size":0},"headers":[]},"response":)" + omitted +
           R"("size":0},"headers":[]},"summary":null})"},
      {R"({"flow_id": 1, "include_bodies": true})", R"("not an object")",
       R"({"request":{"body":{"size":0},"headers":[]},"response":{"body":{"size":0},)"
       R"("headers":[]},"summary":null})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    EXPECT_EQ(json::compact(run_tool("get_flow", c.args, c.answer).value),
              json::compact(Json::parse(c.value)));
  }
  EXPECT_EQ(run_tool("get_flow", R"({"flow_id": 18446744073709551615, "include_bodies": true})")
                .core_params,
            R"({"flowId":18446744073709551615})");
}

// The response body record of get_flow for one body `b64` with `meta` and `headers`.
std::string body(const std::string& b64, const std::string& meta, std::string headers = "[]",
                 const std::string& args = R"("include_bodies": true, "max_body_bytes": 100)") {
  const std::string answer = R"({"respBodyB64": )" + b64 + R"(, "respBodyMeta": )" + meta +
                             R"(, "respHeaders": )" + headers + "}";
  return json::compact(
      run_tool("get_flow", R"({"flow_id": 1, )" + args + "}", answer).value["response"]["body"]);
}

TEST(GetFlowTest, BodyRecordsAreOmittedDroppedEmptyTextOrBinary) {
  const std::string no_content_type =
      R"({"content_type":"","note":"binary body omitted","size":0,"truncated":false})";
  const std::string empty = R"({"size":0})";
  const std::string total = R"({"total": 5000, "truncated": true})";
  // Omitted bodies show the core's total whatever its type, 0 without metadata.
  for (const auto& [meta, size] :
       {std::pair{R"({"total": "12"})", R"("12")"}, {R"({"total": null})", "null"}, {"3", "0"}}) {
    EXPECT_EQ(body("\"aGk=\"", meta, "[]", kOff),
              std::string(R"({"note":")") + kOmitted + R"(","size":)" + size + "}");
  }
  EXPECT_EQ(body("\"aGk=\"", R"({"dropped": true, "total": 9})"),
            R"({"note":"dropped by memory budget","size":9})");
  EXPECT_EQ(body("\"aGk=\"", R"({"dropped": "true", "total": 2})"),
            R"({"original_size":2,"text":"hi","truncated":false})");
  for (const char* b64 : {"\"\"", "\"aGk\"", "\"aGVs\\nbG8=\"", "42", "null"}) {
    EXPECT_EQ(body(b64, total), empty) << b64;
  }
  EXPECT_EQ(body("\"aGk=\"", R"({"total": "2+", "truncated": true})"),
            R"({"original_size":"2+","text":"hi","truncated":true})");
  EXPECT_EQ(body("\"aGk=\"", "[1, 2]", "[]", R"("include_bodies": true, "max_body_bytes": 1)"),
            R"({"original_size":0,"text":"h","truncated":true})");
  EXPECT_EQ(
      body("\"iVBORw==\"", R"({"total": 4, "truncated": true})",
           R"(["junk", ["Content-Type"], ["content-type ", "text/plain"], ["CONTENT-TYPE", 7],
                     ["Content-Type", "image/png"], ["content-type", "text/html"]])"),
      R"({"content_type":"image/png","note":"binary body omitted","size":4,"truncated":true})");
  for (const char* headers : {R"([])", R"("content-type: a/b")", R"([["X-Type", "a/b"]])"}) {
    EXPECT_EQ(body("\"/w==\"", "{}", headers), no_content_type) << headers;
  }
  // The default limit is 16384 bytes: 16386 bytes of 'A' are cut.
  std::string a16386 = "\"";
  for (int i = 0; i < 16386 / 3; ++i) a16386 += "QUFB";
  const std::string text = json::compact(Json(std::string(16384, 'A')));
  EXPECT_EQ(body(a16386 + "\"", R"({"total": 16386})", "[]", R"("include_bodies": true)"),
            R"({"original_size":16386,"text":)" + text + R"(,"truncated":true})");
}

TEST(GetFlowTest, TextIsCutAtACharacterBoundaryWithinTheLimit) {
  const std::string hello = "h\u00E9llo";    // aMOpbGxv, six bytes
  const std::string emoji = "a\U0001F600b";  // YfCfmIBi, 1 + 4 + 1 bytes
  const struct {
    const char* b64;
    int limit;
    std::string text;
    bool truncated;
  } cases[] = {
      {"aMOpbGxv", 0, "", true},
      {"aMOpbGxv", 2, "h", true},
      {"aMOpbGxv", 3, "h\u00E9", true},
      {"aMOpbGxv", 6, hello, false},
      {"YfCfmIBi", 1, "a", true},
      {"YfCfmIBi", 4, "a", true},
      {"YfCfmIBi", 5, "a\U0001F600", true},
      {"8J+YgA==", 3, "", true},
      {"YQABeg==", 10, std::string("a\0\x01z", 4), false},  // controls are text
  };
  for (const auto& c : cases) {
    const Json expected = {{"original_size", 77}, {"text", c.text}, {"truncated", c.truncated}};
    EXPECT_EQ(body(std::string("\"") + c.b64 + "\"", R"({"total": 77})", "[]",
                   R"("include_bodies": true, "max_body_bytes": )" + std::to_string(c.limit)),
              json::compact(expected))
        << c.b64 << " limit " << c.limit;
  }
}

TEST(Base64DecodeTest, AcceptsOnlyStrictCanonicalText) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"", ""},
      {"aGk=", "hi"},
      {"aA==", "h"},
      {"aGVs", "hel"},
      {"+/8=", "\xFB\xFF"},
      {"AAAA", std::string(3, '\0')},
      {"aGk", std::nullopt},       // padding missing
      {"aA=", std::nullopt},       // padding short
      {"aGk==", std::nullopt},     // too much padding
      {"aB==", std::nullopt},      // unused bits not zero
      {"aGl=", std::nullopt},      // unused bits not zero
      {"aG k=", std::nullopt},     // space
      {"aGk=\n", std::nullopt},    // trailing line break
      {"aG-_", std::nullopt},      // URL-safe alphabet
      {"a===", std::nullopt},      // one symbol cannot carry a byte
      {"aA==aGk=", std::nullopt},  // padding inside
      {"aG=k", std::nullopt},
      {"aGk\x80", std::nullopt},
  };
  for (const auto& [text, bytes] : cases) {
    std::string out(std::string_view(text).size(), '\0');
    auto size = tools::base64_decode_into(text, out.size(), out.data());
    EXPECT_EQ(size ? std::optional(out.substr(0, *size)) : std::nullopt, bytes) << text;
  }
}

TEST(BodyFieldTest, ABodyDecodedWhereItWasReadIsNotReadAgainAsItsText) {
  // Refused late: every group but the last decodes before the bad symbol shows.
  for (const char* encoded : {"aGVsbG8h", "aGVsbG8h*A=="}) {
    SCOPED_TRACE(encoded);
    std::string reply = R"({"respBodyB64":")" + std::string(encoded) + R"("})";
    json::Tape tape;
    ASSERT_TRUE(tape.parse(reply.data(), reply.size()));
    Buffer out;
    json::EmbeddedPretty pretty(out);
    tools::write_body_field(pretty, tape, tape.root(), "respBodyB64", "respBodyMeta", "respHeaders",
                            100);
    EXPECT_TRUE(tape.is(tape.find(tape.root(), "respBodyB64"), json::Tape::Kind::Null));
  }
}

}  // namespace
