#include "tools/status.h"

#include <gtest/gtest.h>

namespace {

Json parse(const char* text) {
  return Json::parse(text);
}

TEST(CaptureStatusShapeTest, MissingMembersTakeTheirDefaults) {
  const Json expected = parse(
      R"({"decrypt_allowlist": [], "flow_count": 0, "oldest_flow_time": null, "paused": null,
          "proxy_port": null})");
  EXPECT_EQ(tools::capture_status_shape(parse("{}")), expected);
  EXPECT_EQ(tools::capture_status_shape(parse("[1, 2]")), expected);
  EXPECT_EQ(tools::capture_status_shape(nullptr), expected);
  // Only the core's own names are read.
  EXPECT_EQ(tools::capture_status_shape(parse(R"({"proxy_port": 1, "flow_count": 2})")), expected);
  EXPECT_EQ(json::pretty(tools::capture_status_shape(parse("{}"))),
            "{\n  \"decrypt_allowlist\": [],\n  \"flow_count\": 0,\n  \"oldest_flow_time\": null,"
            "\n  \"paused\": null,\n  \"proxy_port\": null\n}");
}

TEST(CaptureStatusShapeTest, PresentMembersAreCopiedUnchangedAndOthersDropped) {
  const Json answer = parse(
      R"({"proxyPort": "9090", "paused": true, "decryptHosts": null, "flowCount": 12,
          "oldestFlowTs": {"atMs": 1}, "extra": 1})");
  EXPECT_EQ(tools::capture_status_shape(answer),
            parse(R"({"decrypt_allowlist": null, "flow_count": 12,
                      "oldest_flow_time": {"atMs": 1}, "paused": true, "proxy_port": "9090"})"));
}

TEST(FindingsShapeTest, KeysAreConvertedAndEveryTopLevelItemGetsASummary) {
  const Json answer = parse(R"({
    "generatedAt": 5,
    "items": [
      {"code": "capture_path.ca_download_not_observed"},
      {"question": "capture_path.device_routing_now",
       "params": {"reason": "stale_presence", "lastRemoteAt": 0},
       "wouldDecide": [{"code": "capture_path.device_side_network_check"}]},
      {"code": "capture_path.unheard_of", "summary": "old"},
      {"code": 7, "question": "capture_path.device_routing_now"},
      {"kind": "fact"}
    ]})");
  const Json expected = parse(R"({
    "generated_at": 5,
    "items": [
      {"code": "capture_path.ca_download_not_observed",
       "summary": "No CA certificate download has been observed in this Trelvo core session."},
      {"question": "capture_path.device_routing_now",
       "params": {"reason": "stale_presence", "last_remote_at": 0},
       "would_decide": [{"code": "capture_path.device_side_network_check"}],
       "summary": "Cannot determine whether any device is routing through Trelvo right now: non-loopback traffic was last observed at 1970-01-01T00:00:00.000Z, outside the current 60 s window."},
      {"code": "capture_path.unheard_of", "summary": "capture_path.unheard_of"},
      {"code": 7, "question": "capture_path.device_routing_now", "summary": ""},
      {"kind": "fact", "summary": ""}
    ]})");
  EXPECT_EQ(tools::findings_shape(answer), expected);
}

TEST(FindingsShapeTest, NullItemsBecomeAnEmptySummaryAndOtherNonObjectsPassThrough) {
  EXPECT_EQ(tools::findings_shape(parse(R"({"items": [null, "text", 3, true, [1], {}]})")),
            parse(R"({"items": [{"summary": ""}, "text", 3, true, [1], {"summary": ""}]})"));
}

TEST(FindingsShapeTest, AnswersWithoutAnItemsArrayOnlyHaveTheirKeysConverted) {
  EXPECT_EQ(tools::findings_shape(parse(R"({"items": []})")), parse(R"({"items": []})"));
  EXPECT_EQ(tools::findings_shape(parse(R"({"items": {"aB": 1}})")),
            parse(R"({"items": {"a_b": 1}})"));
  EXPECT_EQ(tools::findings_shape(parse(R"({"otherThing": 1})")), parse(R"({"other_thing": 1})"));
  EXPECT_EQ(tools::findings_shape(parse(R"([{"items": [{}]}])")), parse(R"([{"items": [{}]}])"));
  EXPECT_EQ(tools::findings_shape(parse("null")), parse("null"));
}

}  // namespace
