// get_capture_status and get_findings through tools::dispatch.
#include <gtest/gtest.h>

#include <string>

#include "tool_run.h"

namespace {

TEST(CaptureStatusTest, CoreMembersAreCopiedUnderAgentNamesWithDefaults) {
  const std::string defaults =
      R"({"decrypt_allowlist":[],"flow_count":0,"oldest_flow_time":null,"paused":null,"proxy_port":null})";
  const std::pair<std::string, std::string> cases[] = {
      {"{}", defaults},
      {"[1, 2]", defaults},
      {"null", defaults},
      {R"({"proxy_port": 1, "flow_count": 2})", defaults},  // only the core's own names are read
      {R"({"proxyPort": "9090", "paused": true, "decryptHosts": null, "flowCount": 12,
           "oldestFlowTs": {"atMs": 1}, "extra": 1})",
       R"({"decrypt_allowlist":null,"flow_count":12,"oldest_flow_time":{"atMs":1},)"
       R"("paused":true,"proxy_port":"9090"})"},
  };
  for (const auto& [answer, value] : cases) {
    EXPECT_EQ(json::compact(run_tool("get_capture_status", "{}", answer).value), value) << answer;
  }
}

TEST(FindingsTest, KeysBecomeSnakeCaseAndEveryTopLevelItemGetsASummary) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"generatedAt": 5, "items": [
          {"code": "capture_path.ca_download_not_observed"},
          {"question": "capture_path.device_routing_now",
           "params": {"reason": "stale_presence", "lastRemoteAt": 0},
           "wouldDecide": [{"code": "capture_path.device_side_network_check"}]},
          {"code": "capture_path.unheard_of", "summary": "old"},
          {"code": 7, "question": "capture_path.device_routing_now"},
          {"kind": "fact"}, null, "text", 3, [1]]})",
       R"({"generated_at":5,"items":[{"code":"capture_path.ca_download_not_observed","summary":)"
       R"("No CA certificate download has been observed in this Trelvo core session."},)"
       R"({"params":{"last_remote_at":0,"reason":"stale_presence"},)"
       R"("question":"capture_path.device_routing_now","summary":"Cannot determine whether any )"
       R"(device is routing through Trelvo right now: non-loopback traffic was last observed at )"
       R"(1970-01-01T00:00:00.000Z, outside the current 60 s window.",)"
       R"("would_decide":[{"code":"capture_path.device_side_network_check"}]},)"
       R"({"code":"capture_path.unheard_of","summary":"capture_path.unheard_of"},)"
       R"({"code":7,"question":"capture_path.device_routing_now","summary":""},)"
       R"({"kind":"fact","summary":""},{"summary":""},"text",3,[1]]})"},
      // Every capital becomes "_" and lower case; on a collision the key that sorts last wins.
      {R"({"items": {"aB": 1}, "XY": {"A1b": ["cD"], "Id": 1, "reqBodyB64": 2, "caf\u00e9Bar": 3},
           "duration_ms": 2, "durationMs": 1, "aB": 0, "a_b": 2, "a_B": 3})",
       "{\"_x_y\":{\"_a1b\":[\"cD\"],\"_id\":1,\"caf\xC3\xA9_bar\":3,\"req_body_b64\":2},"
       "\"a__b\":3,\"a_b\":2,\"duration_ms\":2,\"items\":{\"a_b\":1}}"},
      {R"([{"items": [{}]}])", R"([{"items":[{}]}])"},
      {"null", "null"},
  };
  for (const auto& [answer, value] : cases) {
    EXPECT_EQ(json::compact(run_tool("get_findings", "{}", answer).value), value) << answer;
  }
}

}  // namespace
