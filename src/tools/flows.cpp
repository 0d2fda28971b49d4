#include "tools/flows.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "time_text.h"
#include "tools/bodies.h"

namespace tools {
namespace {

// Flow summary keys copied unchanged from a core flow member; "time" and
// "url" are derived. In the record's key order.
constexpr std::pair<std::string_view, std::string_view> kSummaryCopies[] = {
    {"completed", "completed"},
    {"content_type", "contentType"},
    {"duration_ms", "durationMs"},
    {"error", "error"},
    {"id", "flowId"},
    {"method", "method"},
    {"resp_size", "respSize"},
    {"seq", "seq"},
    {"status", "status"},
};

using json::Tape;

// The core members a summary reads, looked up in one pass.
enum SummaryMember { kCopied = 0, kTs = std::size(kSummaryCopies), kScheme, kHost, kPath, kCount };
constexpr auto kSummaryMembers = [] {
  std::array<std::string_view, kCount> names{};
  for (std::size_t i = 0; i < std::size(kSummaryCopies); ++i) names[i] = kSummaryCopies[i].second;
  names[kTs] = "ts";
  names[kScheme] = "scheme";
  names[kHost] = "host";
  names[kPath] = "path";
  return names;
}();

void write_summary(json::EmbeddedPretty& out, const Tape& tape, std::uint32_t flow) {
  if (!out.checkpoint()) return;
  std::uint32_t found[kCount];
  tape.find_all(flow, kSummaryMembers.data(), kCount, found);
  auto text_of = [&](SummaryMember m) {
    return tape.is(found[m], Tape::Kind::String) ? tape.string(found[m]) : std::string_view();
  };
  out.begin_object();
  for (std::size_t i = 0; i < std::size(kSummaryCopies); ++i) {
    out.key(kSummaryCopies[i].first);
    if (found[i] == Tape::kNone) {
      out.null();
    } else {
      out.value(tape, found[i]);
    }
  }
  out.key("time");
  char time[kUtcTextMax];
  auto ts = tape.uint_value(found[kTs]);
  out.string(std::string_view(time, ts ? write_utc_text(*ts, time) : 0));
  out.key("url");
  out.string({text_of(kScheme), "://", text_of(kHost), text_of(kPath)});
  out.end_object();
}

}  // namespace

void write_flow_list(const Args& /*args*/, const Tape& tape, std::uint32_t answer,
                     json::EmbeddedPretty& out) {
  std::vector<std::uint32_t> flows;
  std::uint32_t list = tape.find(answer, "flows");
  if (tape.is(list, Tape::Kind::Array)) {
    for (std::uint32_t f = tape.first_child(list); f < tape[list].end; f = tape[f].end) {
      flows.push_back(f);
    }
  }
  std::uint64_t count = flows.size();
  std::uint64_t total = tape.uint_value(tape.find(answer, "matchedTotal")).value_or(count);
  out.begin_object();
  out.key("flows");
  out.begin_array();
  // The core lists its selection oldest first; the agent reads newest first.
  for (auto it = flows.rbegin(); it != flows.rend(); ++it) write_summary(out, tape, *it);
  out.end_array();
  out.key("total_in_store");
  out.uint(total);
  out.key("truncated");
  out.boolean(count < total);
  out.end_object();
}

void write_flow_detail(const Args& args, Tape& tape, std::uint32_t answer,
                       json::EmbeddedPretty& out) {
  const std::uint64_t limit = args.number("max_body_bytes");
  const bool with_bodies = args.flag("include_bodies");

  auto side = [&](std::string_view name, std::string_view bytes_key, std::string_view meta_key,
                  std::string_view headers_key) {
    out.key(name);
    out.begin_object();
    out.key("body");
    if (with_bodies) {
      write_body_field(out, tape, answer, bytes_key, meta_key, headers_key, limit);
    } else {
      write_omitted_body(out, tape, answer, meta_key);
    }
    out.key("headers");
    std::uint32_t headers = tape.find(answer, headers_key);
    if (headers == Tape::kNone) {
      out.begin_array();
      out.end_array();
    } else {
      out.value(tape, headers);
    }
    out.end_object();
  };

  out.begin_object();
  side("request", "reqBodyB64", "reqBodyMeta", "reqHeaders");
  side("response", "respBodyB64", "respBodyMeta", "respHeaders");
  out.key("summary");
  std::uint32_t summary = tape.find(answer, "summary");
  if (summary == Tape::kNone || tape.is(summary, Tape::Kind::Null)) {
    out.null();
  } else {
    write_summary(out, tape, summary);
  }
  out.end_object();
}

}  // namespace tools
