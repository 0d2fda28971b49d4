#include "tools/inspector.h"

#include <gtest/gtest.h>

#include "fake_core_link.h"
#include "tools/dispatch.h"

#include <string>
#include <utility>
#include <vector>

namespace {

using tools::console_messages_params;
using tools::console_messages_shape;
using tools::evaluate_js_params;
using tools::evaluate_js_shape;
using tools::list_pages_shape;
using tools::message_dto;

constexpr const char* kTimeSemantics =
    "received_at is delivery time at Trelvo, not page-side event time. Console (USB Web "
    "Inspector) and flows (network proxy) travel different delivery paths \u2014 measured skew "
    "is typically ~20 ms with tails past 100 ms \u2014 so nearby cross-timeline timestamps show "
    "receipt order, not event order or causation.";

TEST(ListPagesShapeTest, FlattensEveryAppsPagesIntoItsDevice) {
  Json answer = Json::parse(R"({"devices": [
    {"deviceId": "d1", "apps": [
      {"bundleId": "com.a", "pages": [{"pageHandle": "p1", "title": "One"}, {"pageHandle": "p2"}]},
      {"bundleId": "com.b", "pages": "none"},
      {"pages": [{"pageHandle": "p3", "url": "https://x.test/", "state": "active", "x": 1}]},
      "junk"
    ]},
    {"deviceId": "d2"},
    {"apps": {"bundleId": "com.c"}},
    7
  ]})");
  EXPECT_EQ(json::compact(list_pages_shape(Json::object(), answer)),
            R"({"devices":[{"device_id":"d1","pages":[)"
            R"({"app_bundle":"com.a","page_handle":"p1","state":null,"title":"One","url":null},)"
            R"({"app_bundle":"com.a","page_handle":"p2","state":null,"title":null,"url":null},)"
            R"({"app_bundle":null,"page_handle":"p3","state":"active","title":null,)"
            R"("url":"https://x.test/"}]},)"
            R"({"device_id":"d2","pages":[]},{"device_id":null,"pages":[]},)"
            R"({"device_id":null,"pages":[]}]})");
}

TEST(ListPagesShapeTest, AnswerWithoutDevicesGivesAnEmptyList) {
  for (const char* answer : {"{}", "null", "[]", R"({"devices": {}})"}) {
    EXPECT_EQ(json::compact(list_pages_shape(Json::object(), Json::parse(answer))),
              R"({"devices":[]})")
        << answer;
  }
}

TEST(MessageDtoTest, CopiesTheNineFieldsAndNothingElse) {
  Json message = Json::parse(R"({"seq": 3, "receivedAt": "2024-01-01T00:00:00.000Z",
    "kind": "console", "level": "warn", "text": "hi", "pageUrlAtCapture": "https://x.test/",
    "line": 12, "flowId": 9})");
  EXPECT_EQ(json::compact(message_dto(message)),
            R"({"kind":"console","level":"warn","line":12,"nav_gen":null,)"
            R"("page_url_at_capture":"https://x.test/","received_at":"2024-01-01T00:00:00.000Z",)"
            R"("seq":3,"source":null,"text":"hi"})");
  EXPECT_EQ(message_dto(Json::parse(R"({"navGen": 2, "sourceUrl": "a.js"})"))["source"], "a.js");
  Json nulls = message_dto(Json("not an object"));
  EXPECT_EQ(nulls.size(), 9u);
  for (const auto& [key, value] : nulls.items()) EXPECT_TRUE(value.is_null()) << key;
}

TEST(ConsoleMessagesParamsTest, DefaultsAreLimit100AndNewestFirst) {
  EXPECT_EQ(json::compact(console_messages_params(Json::parse(R"({"page_handle": "p"})"))),
            R"({"limit":100,"newestFirst":true,"pageHandle":"p"})");
}

TEST(ConsoleMessagesParamsTest, LimitIsCappedAt500AsAnUnsignedInteger) {
  const std::pair<const char*, std::uint64_t> cases[] = {
      {"0", 0}, {"499", 499}, {"500", 500}, {"501", 500}, {"100000", 500}};
  for (const auto& [limit, sent] : cases) {
    Json args = Json::parse(R"({"page_handle": "p"})");
    args["limit"] = Json::parse(limit);
    Json params = console_messages_params(args);
    EXPECT_TRUE(json::is_uint(params["limit"])) << limit;
    EXPECT_EQ(params["limit"].get<std::uint64_t>(), sent) << limit;
  }
}

TEST(ConsoleMessagesParamsTest, PresentArgumentsAreForwardedUnchecked) {
  Json args = Json::parse(
      R"({"page_handle": "p", "since_seq": 0, "level": "verbose", "newest_first": false})");
  EXPECT_EQ(json::compact(console_messages_params(args)),
            R"({"level":"verbose","limit":100,"newestFirst":false,"pageHandle":"p","sinceSeq":0})");
}

Json three_messages() {
  return Json::parse(R"({"messages": [{"seq": 1}, {"seq": 2}, {"seq": 3}], "truncated": true})");
}

TEST(ConsoleMessagesShapeTest, NewestFirstReversesTheCoreOrder) {
  const std::pair<const char*, std::vector<int>> cases[] = {
      {R"({"page_handle": "p"})", {3, 2, 1}},
      {R"({"page_handle": "p", "newest_first": true})", {3, 2, 1}},
      {R"({"page_handle": "p", "newest_first": false})", {1, 2, 3}},
  };
  for (const auto& [args, order] : cases) {
    Json value = console_messages_shape(Json::parse(args), three_messages());
    std::vector<int> seqs;
    for (const Json& m : value["messages"]) seqs.push_back(m["seq"].get<int>());
    EXPECT_EQ(seqs, order) << args;
    EXPECT_EQ(value["truncated"], true);
  }
}

TEST(ConsoleMessagesShapeTest, EmptyAnswerStillCarriesTheTimeSemantics) {
  for (const char* answer : {"{}", "null", R"({"messages": "x"})"}) {
    Json value =
        console_messages_shape(Json::parse(R"({"page_handle": "p"})"), Json::parse(answer));
    EXPECT_EQ(value["messages"], Json::array()) << answer;
    EXPECT_EQ(value["truncated"], false) << answer;
    EXPECT_EQ(value["time_semantics"], kTimeSemantics) << answer;
  }
}

TEST(EvaluateJsTest, ParamsCarryHandleAndExpression) {
  EXPECT_EQ(json::compact(evaluate_js_params(
                Json::parse(R"({"page_handle": "p", "expression": "document.title"})"))),
            R"({"expression":"document.title","pageHandle":"p"})");
}

TEST(EvaluateJsTest, ResultIsPassedThroughWithDefaults) {
  const std::pair<const char*, const char*> cases[] = {
      {"{}", R"({"result":"","result_truncated":false,"was_thrown":false})"},
      {"42", R"({"result":"","result_truncated":false,"was_thrown":false})"},
      {R"({"result": {"a": [1]}, "wasThrown": true, "resultTruncated": true})",
       R"({"result":{"a":[1]},"result_truncated":true,"was_thrown":true})"},
      {R"({"result": 7})", R"({"result":7,"result_truncated":false,"was_thrown":false})"},
  };
  for (const auto& [answer, value] : cases) {
    EXPECT_EQ(json::compact(evaluate_js_shape(Json::object(), Json::parse(answer))), value)
        << answer;
  }
}

}  // namespace

namespace {

TEST(InspectorToolsThroughDispatchTest, ConsoleMessagesSendsDefaultsAndShowsNewestFirst) {
  FakeCoreLink core;
  core.answer(Json::parse(R"({"messages": [{"seq": 1, "text": "a"}, {"seq": 2, "text": "b"}]})"));
  std::string response = tools::dispatch(
      core, "tools/call", Json(7),
      Json::parse(R"({"name": "get_console_messages", "arguments": {"page_handle": "p1"}})"));

  ASSERT_EQ(core.calls().size(), 1u);
  EXPECT_EQ(core.calls()[0].method, "wir.consoleMessages");
  EXPECT_EQ(json::compact(core.calls()[0].params),
            R"({"limit":100,"newestFirst":true,"pageHandle":"p1"})");
  Json result = Json::parse(response)["result"];
  EXPECT_EQ(result["isError"], false);
  EXPECT_EQ(result["content"][0]["text"], std::string(R"({
  "messages": [
    {
      "kind": null,
      "level": null,
      "line": null,
      "nav_gen": null,
      "page_url_at_capture": null,
      "received_at": null,
      "seq": 2,
      "source": null,
      "text": "b"
    },
    {
      "kind": null,
      "level": null,
      "line": null,
      "nav_gen": null,
      "page_url_at_capture": null,
      "received_at": null,
      "seq": 1,
      "source": null,
      "text": "a"
    }
  ],
  "time_semantics": ")") + kTimeSemantics +
                                              R"(",
  "truncated": false
})");
}

TEST(InspectorToolsThroughDispatchTest, CoreFailureIsAnErrorResult) {
  FakeCoreLink core;  // nothing scripted: the core is not running
  Json result = Json::parse(tools::dispatch(
      core, "tools/call", Json(8),
      Json::parse(
          R"({"name": "evaluate_js", "arguments": {"page_handle": "p", "expression": "1"}})")))
      ["result"];
  ASSERT_EQ(core.calls().size(), 1u);
  EXPECT_EQ(json::compact(core.calls()[0].params), R"({"expression":"1","pageHandle":"p"})");
  EXPECT_EQ(result["isError"], true);
  EXPECT_EQ(result["content"].size(), 1u);
}

}  // namespace
