#include "tools/failure_texts.h"

#include <array>
#include <string_view>

namespace tools {
namespace {

using Kind = UpstreamError::Kind;

struct FailureText {
  Kind kind;
  std::string_view code;  // CoreError only; compared byte for byte, case included
  std::string_view text;
};

constexpr std::string_view kNotRunning = "Trelvo is not running. Launch Trelvo to start capturing.";
constexpr std::string_view kLate =
    "Trelvo did not respond in time. Retry, or restart Trelvo if this keeps happening.";

// Every sentence an agent can see for a failed core request. A Transport
// failure reads like an absent core: to the agent, hung or crashed is the same.
// An answer too large to hold reads like a late one: the agent can retry, or
// ask for less.
constexpr std::array kFailureTexts{
    FailureText{Kind::NotRunning, "", kNotRunning},
    FailureText{Kind::Transport, "", kNotRunning},
    FailureText{Kind::ProtocolMismatch, "",
                "Trelvo core protocol mismatch \u2014 update Trelvo and retry."},
    FailureText{Kind::DeadlineExceeded, "", kLate},
    FailureText{Kind::TooLarge, "", kLate},
    FailureText{Kind::Interrupted, "",
                "Lost the connection to Trelvo while the expression was running; it may or may "
                "not have run. Check the page before running it again."},
    FailureText{Kind::CoreError, "not_found",
                "Flow not found \u2014 Trelvo keeps the most recent 2000 flows; this one may have "
                "been evicted."},
    FailureText{Kind::CoreError, "MCP_DISABLED",
                "MCP access is disabled. Enable it in Trelvo \u2192 Settings \u2192 AI Agents."},
    FailureText{Kind::CoreError, "EVAL_DISABLED",
                "JS evaluation for AI agents is disabled. Enable it in Trelvo \u2192 Settings "
                "\u2192 AI Agents."},
    FailureText{Kind::CoreError, "CONSOLE_READ_DISABLED",
                "Console access for AI agents is disabled. Enable it in Trelvo \u2192 Settings "
                "\u2192 AI Agents."},
    FailureText{Kind::CoreError, "eval_timeout",
                "The page did not respond to the JavaScript call in time. Bring it to the "
                "foreground and retry."},
    FailureText{Kind::CoreError, "page_not_found",
                "Page not found \u2014 it may have closed or navigated away. Call list_pages for "
                "current handles."},
    FailureText{Kind::CoreError, "page_unavailable",
                "Page is unavailable \u2014 the device may be locked, or the page suspended or "
                "closed. Bring it to the foreground and retry."},
    FailureText{Kind::CoreError, "wir_disconnected",
                "Device connection dropped mid-request. Retry; Trelvo reconnects automatically."},
    FailureText{Kind::CoreError, "inspection_disabled",
                "Page inspection is disabled. Ask the user to enable it in Trelvo's Console "
                "space (\u2318"
                "4)."},
};

// Any other core code: the code stays hidden and the core's message is shown.
constexpr std::string_view kOtherCoreError = "Trelvo error: ";

}  // namespace

std::string upstream_err_text(const UpstreamError& error) {
  for (const FailureText& row : kFailureTexts) {
    if (row.kind == error.kind && (row.kind != Kind::CoreError || row.code == error.code)) {
      return std::string(row.text);
    }
  }
  return std::string(kOtherCoreError) + error.message;
}

}  // namespace tools
