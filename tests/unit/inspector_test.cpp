// list_pages, get_console_messages and evaluate_js through tools::dispatch.
#include <gtest/gtest.h>

#include <string>

#include "tool_run.h"

namespace {

constexpr const char* kTimeSemantics =
    "received_at is delivery time at Trelvo, not page-side event time. Console (USB Web "
    "Inspector) and flows (network proxy) travel different delivery paths \u2014 measured skew "
    "is typically ~20 ms with tails past 100 ms \u2014 so nearby cross-timeline timestamps show "
    "receipt order, not event order or causation.";

TEST(ListPagesTest, FlattensEveryAppsPagesIntoItsDevice) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"devices": [
        {"deviceId": "d1", "apps": [
          {"bundleId": "com.a", "pages": [{"pageHandle": "p1", "title": "One"}, {"pageHandle": "p2"}]},
          {"bundleId": "com.b", "pages": "none"},
          {"pages": [{"pageHandle": "p3", "url": "https://x.test/", "state": "active", "x": 1}]},
          "junk"]},
        {"deviceId": "d2"}, {"apps": {"bundleId": "com.c"}}, 7]})",
       R"({"devices":[{"device_id":"d1","pages":[)"
       R"({"app_bundle":"com.a","page_handle":"p1","state":null,"title":"One","url":null},)"
       R"({"app_bundle":"com.a","page_handle":"p2","state":null,"title":null,"url":null},)"
       R"({"app_bundle":null,"page_handle":"p3","state":"active","title":null,)"
       R"("url":"https://x.test/"}]},)"
       R"({"device_id":"d2","pages":[]},{"device_id":null,"pages":[]},)"
       R"({"device_id":null,"pages":[]}]})"},
      {"null", R"({"devices":[]})"},
      {R"({"devices": {}})", R"({"devices":[]})"},
  };
  for (const auto& [answer, value] : cases) {
    EXPECT_EQ(json::compact(run_tool("list_pages", "{}", answer).value), value) << answer;
  }
}

TEST(ConsoleMessagesTest, LimitIsCappedAt500AndPresentArgumentsAreForwardedUnchecked) {
  const std::pair<std::string, std::string> cases[] = {
      {R"("limit": 0)", R"({"limit":0,"newestFirst":true,"pageHandle":"p"})"},
      {R"("limit": 500)", R"({"limit":500,"newestFirst":true,"pageHandle":"p"})"},
      {R"("limit": 501)", R"({"limit":500,"newestFirst":true,"pageHandle":"p"})"},
      {R"("since_seq": 0, "level": "verbose", "newest_first": false)",
       R"({"level":"verbose","limit":100,"newestFirst":false,"pageHandle":"p","sinceSeq":0})"},
  };
  for (const auto& [args, params] : cases) {
    EXPECT_EQ(run_tool("get_console_messages", R"({"page_handle": "p", )" + args + "}").core_params,
              params);
  }
}

TEST(ConsoleMessagesTest, MessagesCopyTheNineFieldsAndAlwaysCarryTheTimeSemantics) {
  const std::string tail = std::string(R"(],"time_semantics":")") + kTimeSemantics + "\",";
  const std::pair<std::string, std::string> cases[] = {
      {R"({"truncated": true, "messages": [{"seq": 3, "receivedAt": "2024-01-01T00:00:00.000Z",
          "kind": "console", "level": "warn", "text": "hi", "pageUrlAtCapture": "https://x.test/",
          "line": 12, "flowId": 9, "navGen": 2, "sourceUrl": "a.js"}, "not an object"]})",
       R"({"messages":[{"kind":null,"level":null,"line":null,"nav_gen":null,)"
       R"("page_url_at_capture":null,"received_at":null,"seq":null,"source":null,"text":null},)"
       R"({"kind":"console","level":"warn","line":12,"nav_gen":2,)"
       R"("page_url_at_capture":"https://x.test/","received_at":"2024-01-01T00:00:00.000Z",)"
       R"("seq":3,"source":"a.js","text":"hi"})" +
           tail + R"("truncated":true})"},
      {"{}", R"({"messages":[)" + tail + R"("truncated":false})"},
      {"null", R"({"messages":[)" + tail + R"("truncated":false})"},
      {R"({"messages": "x"})", R"({"messages":[)" + tail + R"("truncated":false})"},
  };
  for (const auto& [answer, value] : cases) {
    EXPECT_EQ(
        json::compact(run_tool("get_console_messages", R"({"page_handle": "p"})", answer).value),
        value)
        << answer;
  }
}

TEST(ConsoleMessagesTest, NewestFirstReversesTheCoreOrder) {
  const std::pair<std::string, std::string> cases[] = {{"", "3,2,1,"},
                                                       {R"(, "newest_first": true)", "3,2,1,"},
                                                       {R"(, "newest_first": false)", "1,2,3,"}};
  for (const auto& [args, order] : cases) {
    const Json value = run_tool("get_console_messages", R"({"page_handle": "p")" + args + "}",
                                R"({"messages": [{"seq": 1}, {"seq": 2}, {"seq": 3}]})")
                           .value;
    std::string seqs;
    for (const Json& m : value["messages"]) seqs += json::compact(m["seq"]) + ",";
    EXPECT_EQ(seqs, order) << args;
  }
}

TEST(EvaluateJsTest, ResultIsPassedThroughWithDefaults) {
  const std::pair<const char*, const char*> cases[] = {
      {"{}", R"({"result":"","result_truncated":false,"was_thrown":false})"},
      {"42", R"({"result":"","result_truncated":false,"was_thrown":false})"},
      {R"({"result": {"a": [1]}, "wasThrown": true, "resultTruncated": true})",
       R"({"result":{"a":[1]},"result_truncated":true,"was_thrown":true})"},
      // Keys of the page's own need escaping twice, like any text in it.
      {R"({"result": {"\"\\\n\u0001": -0, "a\tb": [1E2, -12]}})",
       R"({"result":{"\"\\\n\u0001":0,"a\tb":[100.0,-12]},"result_truncated":false,"was_thrown":false})"},
  };
  for (const auto& [answer, value] : cases) {
    const ToolRun run =
        run_tool("evaluate_js", R"({"page_handle": "p", "expression": "document.title"})", answer);
    EXPECT_EQ(run.core_params, R"({"expression":"document.title","pageHandle":"p"})");
    EXPECT_EQ(json::compact(run.value), value) << answer;
  }
}

}  // namespace
