#include "tools/flows.h"

#include <gtest/gtest.h>

#include "fake_core_link.h"
#include "tools/dispatch.h"

#include <string>
#include <utility>

namespace {

using tools::get_flow_params;
using tools::get_flow_shape;
using tools::list_flows_params;
using tools::list_flows_shape;
using tools::summary_dto;

TEST(SummaryDtoTest, CopiesEveryMemberUnchangedUnderItsFixedKey) {
  Json flow = Json::parse(R"({
    "flowId": 7, "seq": 12, "ts": 1700000000123, "method": "GET",
    "scheme": "https", "host": "api.example.test", "path": "/v1/items?q=1",
    "status": "101", "durationMs": 3.5, "respSize": 2048, "contentType": "application/json",
    "completed": "yes", "error": {"kind": "reset"}, "extra": 1
  })");
  EXPECT_EQ(json::compact(summary_dto(flow)),
            R"({"completed":"yes","content_type":"application/json","duration_ms":3.5,)"
            R"("error":{"kind":"reset"},"id":7,"method":"GET","resp_size":2048,"seq":12,)"
            R"("status":"101","time":"2023-11-14T22:13:20.123Z",)"
            R"("url":"https://api.example.test/v1/items?q=1"})");
}

TEST(SummaryDtoTest, MissingMembersAreNullAndUrlPartsEmpty) {
  for (const char* text : {"{}", "[1, 2]", "\"flow\"", "null"}) {
    EXPECT_EQ(json::compact(summary_dto(Json::parse(text))),
              R"({"completed":null,"content_type":null,"duration_ms":null,"error":null,)"
              R"("id":null,"method":null,"resp_size":null,"seq":null,"status":null,)"
              R"("time":"","url":"://"})")
        << text;
  }
  EXPECT_EQ(summary_dto(Json::parse(R"({"host": "h", "path": "/p", "scheme": 5})"))["url"],
            "://h/p");
}

TEST(SummaryDtoTest, TimeNeedsANonNegativeIntegerTimestamp) {
  const std::pair<const char*, const char*> cases[] = {
      {"0", "1970-01-01T00:00:00.000Z"},
      {"1700000000123", "2023-11-14T22:13:20.123Z"},
      {"-1", ""},
      {"5.0", ""},
      {"5e3", ""},
      {"\"1700000000123\"", ""},
      {"null", ""},
  };
  for (const auto& [ts, time] : cases) {
    Json flow = Json::object();
    flow["ts"] = Json::parse(ts);
    EXPECT_EQ(summary_dto(flow)["time"], time) << ts;
  }
}

TEST(ListFlowsParamsTest, LimitDefaultsTo50AndIsCappedAt200) {
  const std::pair<const char*, std::uint64_t> cases[] = {
      {"{}", 50},
      {R"({"limit": 0})", 0},
      {R"({"limit": 199})", 199},
      {R"({"limit": 200})", 200},
      {R"({"limit": 201})", 200},
      {R"({"limit": 1000})", 200},
      {R"({"limit": 18446744073709551615})", 200},
  };
  for (const auto& [args, limit] : cases) {
    Json params = list_flows_params(Json::parse(args));
    EXPECT_TRUE(json::is_uint(params["limit"])) << args;
    EXPECT_EQ(params["limit"].get<std::uint64_t>(), limit) << args;
  }
  EXPECT_EQ(json::compact(list_flows_params(Json::object())), R"({"limit":50,"newestFirst":true})");
}

TEST(ListFlowsParamsTest, PresentFiltersAreForwardedUnderCoreNames) {
  Json args = Json::parse(R"({"host": "A.test", "path_contains": "/Login", "method": "post",
                              "status": "4xx", "since_seq": 0, "other": 1})");
  EXPECT_EQ(json::compact(list_flows_params(args)),
            R"({"host":"A.test","limit":50,"method":"post","newestFirst":true,)"
            R"("pathContains":"/Login","sinceSeq":0,"status":"4xx"})");
}

Json flow_seq(int seq) {
  return Json::parse("{\"seq\": " + std::to_string(seq) + "}");
}

TEST(ListFlowsShapeTest, ReversesToNewestFirstAndReportsTheMatchedTotal) {
  Json answer = Json::object();
  answer["flows"] = {flow_seq(1), flow_seq(2), flow_seq(3)};

  answer["matchedTotal"] = std::uint64_t{10};
  Json value = list_flows_shape(Json::object(), answer);
  ASSERT_EQ(value["flows"].size(), 3u);
  EXPECT_EQ(value["flows"][0]["seq"], 3);
  EXPECT_EQ(value["flows"][2]["seq"], 1);
  EXPECT_EQ(value["total_in_store"], 10);
  EXPECT_EQ(value["truncated"], true);

  const std::pair<const char*, std::uint64_t> fallbacks[] = {{"null", 3},   {"-1", 3}, {"10.0", 3},
                                                             {"\"10\"", 3}, {"3", 3},  {"2", 2}};
  for (const auto& [matched, total] : fallbacks) {
    answer["matchedTotal"] = Json::parse(matched);
    value = list_flows_shape(Json::object(), answer);
    EXPECT_EQ(value["flows"].size(), 3u) << matched;
    EXPECT_EQ(value["total_in_store"].get<std::uint64_t>(), total) << matched;
    EXPECT_EQ(value["truncated"], false) << matched;
  }
}

TEST(ListFlowsShapeTest, AnswerOfTheWrongShapeGivesNoFlows) {
  for (const char* answer : {"null", "[]", "{}", R"({"flows": {"a": 1}})"}) {
    EXPECT_EQ(json::compact(list_flows_shape(Json::object(), Json::parse(answer))),
              R"({"flows":[],"total_in_store":0,"truncated":false})")
        << answer;
  }
  Json odd = Json::parse(R"({"flows": [5, null], "matchedTotal": 2})");
  EXPECT_EQ(list_flows_shape(Json::object(), odd)["flows"][0]["url"], "://");
}

TEST(GetFlowParamsTest, SendsOnlyTheFlowIdAsAnUnsignedInteger) {
  Json params =
      get_flow_params(Json::parse(R"({"flow_id": 18446744073709551615, "include_bodies": true})"));
  EXPECT_EQ(json::compact(params), R"({"flowId":18446744073709551615})");
}

Json detail() {
  return Json::parse(R"({
    "summary": {"flowId": 4, "scheme": "http", "host": "h", "path": "/"},
    "reqHeaders": [["Content-Type", "text/plain"]],
    "respHeaders": [["content-type", "image/png"]],
    "reqBodyB64": "aMOpbGxv",
    "reqBodyMeta": {"total": 6},
    "respBodyB64": "iVBORw==",
    "respBodyMeta": {"total": 4}
  })");
}

TEST(GetFlowShapeTest, BodiesAreOmittedUnlessAskedFor) {
  Json value = get_flow_shape(Json::parse(R"({"flow_id": 4})"), detail());
  EXPECT_EQ(value["request"]["body"]["size"], 6);
  EXPECT_EQ(value["response"]["body"]["size"], 4);
  EXPECT_TRUE(value["request"]["body"].contains("note"));
  EXPECT_EQ(value["request"]["headers"], detail()["reqHeaders"]);
  EXPECT_EQ(value["summary"]["url"], "http://h/");
}

TEST(GetFlowShapeTest, IncludedBodiesAreRenderedWithTheByteLimit) {
  Json value = get_flow_shape(
      Json::parse(R"({"flow_id": 4, "include_bodies": true, "max_body_bytes": 3})"), detail());
  EXPECT_EQ(json::compact(value["request"]["body"]),
            "{\"original_size\":6,\"text\":\"h\u00E9\",\"truncated\":true}");
  EXPECT_EQ(
      json::compact(value["response"]["body"]),
      R"({"content_type":"image/png","note":"binary body omitted","size":4,"truncated":false})");
}

TEST(GetFlowShapeTest, ZeroByteLimitGivesEmptyTruncatedTextAndDefaultLimitIs16384) {
  Json zero = get_flow_shape(
      Json::parse(R"({"flow_id": 4, "include_bodies": true, "max_body_bytes": 0})"), detail());
  EXPECT_EQ(zero["request"]["body"]["text"], "");
  EXPECT_EQ(zero["request"]["body"]["truncated"], true);

  Json answer = Json::object();
  answer["reqBodyB64"] = std::string(16384 / 3 * 4 + 4, 'Q');  // 16386 bytes of 'A'
  Json value = get_flow_shape(Json::parse(R"({"flow_id": 4, "include_bodies": true})"), answer);
  EXPECT_EQ(value["request"]["body"]["text"].get<std::string>().size(), 16384u);
  EXPECT_EQ(value["request"]["body"]["truncated"], true);
}

TEST(GetFlowShapeTest, EmptyAnswerGivesEmptyHeadersNullSummaryAndDefaultBodies) {
  EXPECT_EQ(json::compact(get_flow_shape(Json::parse(R"({"flow_id": 1})"), Json::object())),
            "{\"request\":{\"body\":{\"note\":\"omitted by default \u2014 pass include_bodies: "
            "true to include (bodies are never masked)\",\"size\":0},\"headers\":[]},"
            "\"response\":{\"body\":{\"note\":\"omitted by default \u2014 pass include_bodies: "
            "true to include (bodies are never masked)\",\"size\":0},\"headers\":[]},"
            "\"summary\":null}");
  EXPECT_EQ(
      json::compact(get_flow_shape(Json::parse(R"({"flow_id": 1, "include_bodies": true})"),
                                   Json::parse(R"("not an object")"))),
      R"({"request":{"body":{"size":0},"headers":[]},"response":{"body":{"size":0},"headers":[]},"summary":null})");
}

}  // namespace

namespace {

// The tool-result text of one "tools/call" answered by `core`.
std::string call_text(FakeCoreLink& core, const char* params) {
  std::string response = tools::dispatch(core, "tools/call", Json(1), Json::parse(params));
  Json parsed = Json::parse(response);
  EXPECT_EQ(parsed["result"]["isError"], false) << response;
  return parsed["result"]["content"][0]["text"].get<std::string>();
}

TEST(FlowToolsThroughDispatchTest, ListFlowsSendsCappedParamsAndShowsNewestFirst) {
  FakeCoreLink core;
  core.answer(Json::parse(R"({"flows": [
      {"flowId": 1, "seq": 1, "ts": 0, "scheme": "https", "host": "a.test", "path": "/x"},
      {"flowId": 2, "seq": 2, "status": 404}
    ], "matchedTotal": 5})"));
  std::string text =
      call_text(core, R"({"name": "list_flows", "arguments": {"limit": 1000, "status": "4xx"}})");

  ASSERT_EQ(core.calls().size(), 1u);
  EXPECT_EQ(core.calls()[0].method, "flow.list");
  EXPECT_EQ(json::compact(core.calls()[0].params),
            R"({"limit":200,"newestFirst":true,"status":"4xx"})");
  EXPECT_EQ(text, R"({
  "flows": [
    {
      "completed": null,
      "content_type": null,
      "duration_ms": null,
      "error": null,
      "id": 2,
      "method": null,
      "resp_size": null,
      "seq": 2,
      "status": 404,
      "time": "",
      "url": "://"
    },
    {
      "completed": null,
      "content_type": null,
      "duration_ms": null,
      "error": null,
      "id": 1,
      "method": null,
      "resp_size": null,
      "seq": 1,
      "status": null,
      "time": "1970-01-01T00:00:00.000Z",
      "url": "https://a.test/x"
    }
  ],
  "total_in_store": 5,
  "truncated": true
})");
}

TEST(FlowToolsThroughDispatchTest, GetFlowSendsTheIdAndRendersBodiesWhenAsked) {
  FakeCoreLink core;
  core.answer(Json::parse(R"({"reqBodyB64": "aGk=", "reqBodyMeta": {"total": 2},
                              "respBodyMeta": {"dropped": true, "total": 99}})"));
  std::string text = call_text(
      core, R"({"name": "get_flow", "arguments": {"flow_id": 42, "include_bodies": true}})");

  ASSERT_EQ(core.calls().size(), 1u);
  EXPECT_EQ(core.calls()[0].method, "flow.getDetail");
  EXPECT_EQ(json::compact(core.calls()[0].params), R"({"flowId":42})");
  EXPECT_EQ(text, R"({
  "request": {
    "body": {
      "original_size": 2,
      "text": "hi",
      "truncated": false
    },
    "headers": []
  },
  "response": {
    "body": {
      "note": "dropped by memory budget",
      "size": 99
    },
    "headers": []
  },
  "summary": null
})");
}

}  // namespace
