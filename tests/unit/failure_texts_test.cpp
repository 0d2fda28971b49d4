#include "tools/failure_texts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Case {
  UpstreamError error;
  std::string text;
};

const std::string kNotRunning = "Trelvo is not running. Launch Trelvo to start capturing.";

TEST(UpstreamErrTextTest, EveryFailureGetsItsSentence) {
  const std::vector<Case> cases = {
      {UpstreamError::not_running(), kNotRunning},
      {UpstreamError::transport("read timeout"), kNotRunning},
      {UpstreamError::transport("no matching response within 64 lines"), kNotRunning},
      {UpstreamError::protocol_mismatch(),
       "Trelvo core protocol mismatch \u2014 update Trelvo and retry."},
      {UpstreamError::deadline_exceeded(),
       "Trelvo did not respond in time. Retry, or restart Trelvo if this keeps happening."},
      {UpstreamError::core_error("not_found", "no such flow"),
       "Flow not found \u2014 Trelvo keeps the most recent 2000 flows; this one may have been "
       "evicted."},
      {UpstreamError::core_error("MCP_DISABLED", "x"),
       "MCP access is disabled. Enable it in Trelvo \u2192 Settings \u2192 AI Agents."},
      {UpstreamError::core_error("EVAL_DISABLED", "x"),
       "JS evaluation for AI agents is disabled. Enable it in Trelvo \u2192 Settings \u2192 AI "
       "Agents."},
      {UpstreamError::core_error("CONSOLE_READ_DISABLED", "x"),
       "Console access for AI agents is disabled. Enable it in Trelvo \u2192 Settings \u2192 AI "
       "Agents."},
      {UpstreamError::core_error("eval_timeout", "x"),
       "The page did not respond to the JavaScript call in time. Bring it to the foreground and "
       "retry."},
      {UpstreamError::core_error("page_not_found", "x"),
       "Page not found \u2014 it may have closed or navigated away. Call list_pages for current "
       "handles."},
      {UpstreamError::core_error("page_unavailable", "x"),
       "Page is unavailable \u2014 the device may be locked, or the page suspended or closed. "
       "Bring it to the foreground and retry."},
      {UpstreamError::core_error("wir_disconnected", "x"),
       "Device connection dropped mid-request. Retry; Trelvo reconnects automatically."},
      {UpstreamError::core_error("inspection_disabled", "x"),
       "Page inspection is disabled. Ask the user to enable it in Trelvo's Console space "
       "(\xE2\x8C\x98"
       "4)."},
  };
  for (const Case& c : cases) EXPECT_EQ(tools::upstream_err_text(c.error), c.text) << c.error.code;
}

TEST(UpstreamErrTextTest, OtherCodesShowOnlyTheCoresMessage) {
  const std::vector<Case> cases = {
      {UpstreamError::core_error("unknown", "boom"), "Trelvo error: boom"},
      {UpstreamError::core_error("mcp_disabled", "lower case is another code"),
       "Trelvo error: lower case is another code"},
      {UpstreamError::core_error("", "no code"), "Trelvo error: no code"},
      {UpstreamError::core_error("weird", ""), "Trelvo error: "},
  };
  for (const Case& c : cases) EXPECT_EQ(tools::upstream_err_text(c.error), c.text) << c.error.code;
}

}  // namespace
