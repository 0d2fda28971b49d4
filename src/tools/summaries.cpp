#include "tools/summaries.h"

#include <array>
#include <optional>

#include "server_limits.h"
#include "time_text.h"

namespace tools {
namespace {

using json::Tape;

std::uint32_t member(const Params& params, std::string_view key) {
  for (const auto& [name, value] : params.members) {
    if (name == key) return value;
  }
  return Tape::kNone;
}

std::optional<std::uint64_t> uint_member(const Params& params, std::string_view key) {
  return params.tape.uint_value(member(params, key));
}

std::optional<bool> bool_member(const Params& params, std::string_view key) {
  std::uint32_t value = member(params, key);
  if (params.tape.is(value, Tape::Kind::True)) return true;
  if (params.tape.is(value, Tape::Kind::False)) return false;
  return std::nullopt;
}

std::optional<std::string_view> string_member(const Params& params, std::string_view key) {
  std::uint32_t value = member(params, key);
  if (!params.tape.is(value, Tape::Kind::String)) return std::nullopt;
  return params.tape.string(value);
}

// Decimal digits of a member that is a non-negative integer, else "?".
std::string number_text(const Params& params, std::string_view key) {
  std::optional<std::uint64_t> value = uint_member(params, key);
  return value ? std::to_string(*value) : "?";
}

// A millisecond member that is a non-negative integer as UTC text, else
// "an unknown time".
std::string time_text(const Params& params, std::string_view key) {
  std::optional<std::uint64_t> ms = uint_member(params, key);
  return ms ? utc_text(*ms) : "an unknown time";
}

// Whole seconds of a millisecond member, "?" when it is not a non-negative integer.
std::string seconds_text(const Params& params, std::string_view key) {
  std::optional<std::uint64_t> ms = uint_member(params, key);
  return ms ? std::to_string(*ms / 1000) : "?";
}

std::string pac_fetched(const Params& params) {
  std::optional<bool> latest = bool_member(params, "is_latest_generation");
  std::string note;
  if (latest == true) note = ", matching the currently served profile generation";
  if (latest == false) note = ", under an older profile generation than the one currently served";
  return "The PAC file was last fetched at " + time_text(params, "at") +
         " by an unidentified client (a phone and a Mac browser are indistinguishable here)" +
         note + ".";
}

std::string flows_in_window(const Params& params) {
  // A missing count means none were recorded, unlike elsewhere where it reads "?".
  std::uint64_t count = uint_member(params, "count").value_or(0);
  std::optional<std::uint64_t> window_ms = uint_member(params, "window_ms");
  std::uint64_t window_s = window_ms ? *window_ms / 1000 : limits::kObservationWindow.count();
  std::string paused = bool_member(params, "recording_paused") == true
                           ? " (recording is paused \u2014 traffic may be passing through "
                             "unrecorded)"
                           : "";
  return std::to_string(count) + " flow" + (count == 1 ? "" : "s") + " recorded in the last " +
         std::to_string(window_s) + " s" + paused + ".";
}

std::string non_loopback_traffic(const Params& params) {
  std::string plural = uint_member(params, "count") == std::uint64_t{1} ? "" : "s";
  return "Traffic from a non-loopback origin has been observed since the last profile push (" +
         number_text(params, "count") + " flow" + plural + ", last at " +
         time_text(params, "last_at") +
         "). This does not identify a specific device and does not prove any device-side state.";
}

std::string device_routing_now(const Params& params) {
  std::optional<std::string_view> reason = string_member(params, "reason");
  if (reason == "observing") {
    if (!uint_member(params, "observed_for_ms")) {
      return "Cannot determine whether any device is routing through Trelvo: recording is "
             "paused, so observation cannot accumulate.";
    }
    return "Cannot determine yet whether any device is routing through Trelvo: only " +
           seconds_text(params, "observed_for_ms") +
           " s of the 60 s observation window has accumulated.";
  }
  if (reason == "stale_presence") {
    return "Cannot determine whether any device is routing through Trelvo right now: "
           "non-loopback traffic was last observed at " +
           time_text(params, "last_remote_at") + ", outside the current 60 s window.";
  }
  if (reason == "profile_not_pushed") {
    return "Cannot determine whether any device is routing through Trelvo: no proxy profile has "
           "been pushed in this core session.";
  }
  if (reason == "no_remote_traffic_observed") {
    return "Cannot determine whether any device is routing through Trelvo: no traffic from a "
           "non-loopback origin has been observed for " +
           seconds_text(params, "observed_for_ms") +
           " s. This is absence of evidence on the Mac, not evidence about the device.";
  }
  return "Cannot determine whether any device is routing through Trelvo.";
}

struct Sentence {
  std::string_view key;
  std::string (*render)(const Params& params);
};

// Sentences built from the item's params: facts and findings, then the open
// question.
const std::array kSentences{
    Sentence{"capture_path.proxy_endpoints_ready",
             [](const Params& p) {
               return "Trelvo's proxy endpoints are listening (proxy port " +
                      number_text(p, "proxy_port") + ", PAC/config port " +
                      number_text(p, "config_port") + ").";
             }},
    Sentence{"capture_path.profile_pushed",
             [](const Params& p) {
               return "The served proxy profile last changed at " + time_text(p, "at") +
                      " (generation " + number_text(p, "generation") + ").";
             }},
    Sentence{"capture_path.pac_fetched", pac_fetched},
    Sentence{"capture_path.ca_downloaded",
             [](const Params& p) {
               return "The CA certificate was last downloaded at " + time_text(p, "at") + ".";
             }},
    Sentence{"capture_path.flows_in_window", flows_in_window},
    Sentence{"capture_path.non_loopback_traffic_observed", non_loopback_traffic},
    Sentence{"capture_path.device_routing_now", device_routing_now},
};

struct FixedSentence {
  std::string_view key;
  std::string_view text;
};

// Sentences that read no params: what has not been observed, and the
// evidence that would decide the open question.
constexpr std::array kFixedSentences{
    FixedSentence{"capture_path.pac_fetch_not_observed",
                  "No PAC fetch has been observed in this Trelvo core session."},
    FixedSentence{"capture_path.ca_download_not_observed",
                  "No CA certificate download has been observed in this Trelvo core session."},
    FixedSentence{"capture_path.profile_push_not_observed",
                  "No proxy profile push has been observed in this Trelvo core session."},
    FixedSentence{"capture_path.push_profile_then_observe",
                  "Evidence that would decide this: push the proxy profile from Trelvo's Mobile "
                  "Setup, then observe whether traffic appears."},
    FixedSentence{"capture_path.new_remote_flow_in_window",
                  "Evidence that would decide this: a new flow from a non-loopback origin "
                  "arriving within the observation window."},
    FixedSentence{"capture_path.device_side_network_check",
                  "Evidence that would decide this: load any page on the device and check "
                  "whether a matching flow appears in Trelvo."},
    FixedSentence{"capture_path.pac_refetch_after_wifi_cycle",
                  "Evidence that would decide this: cycling Wi-Fi off and on on the device "
                  "forces a PAC refetch, showing whether the device still points at Trelvo."},
};

}  // namespace

std::string summary_for(std::string_view key, const Params& params) {
  for (const Sentence& sentence : kSentences) {
    if (sentence.key == key) return sentence.render(params);
  }
  for (const FixedSentence& sentence : kFixedSentences) {
    if (sentence.key == key) return std::string(sentence.text);
  }
  return std::string(key);
}

}  // namespace tools
