#include "har.h"

#include <algorithm>
#include <cmath>

#include "text.h"

namespace demo {
namespace {

const Json& member(const Json& object, std::string_view key) {
  static const Json kNull;
  const Json* v = json::find(object, key);
  return v ? *v : kNull;
}

std::string string_or(const Json& value, std::string fallback = {}) {
  return value.is_string() ? value.get<std::string>() : fallback;
}

// A non-negative number, rounded to a whole count (HAR times are fractional).
std::optional<std::uint64_t> count(const Json& value) {
  if (!value.is_number()) return std::nullopt;
  double d = value.get<double>();
  if (!std::isfinite(d) || d < 0 || d > 1e18) return std::nullopt;
  return static_cast<std::uint64_t>(std::llround(d));
}

struct Url {
  std::string scheme, host, path;
};

Url split_url(std::string_view url) {
  auto sep = url.find("://");
  if (sep == std::string_view::npos) return {"", "", std::string(url)};
  Url out{lower(url.substr(0, sep)), "", ""};
  std::string_view rest = url.substr(sep + 3);
  auto end = rest.find_first_of("/?#");
  std::string_view authority = rest.substr(0, end);
  std::string_view path = end == std::string_view::npos ? "" : rest.substr(end);
  if (auto at = authority.rfind('@'); at != std::string_view::npos) {
    authority = authority.substr(at + 1);
  }
  // Keep a port only when it is not the scheme's own.
  if ((out.scheme == "https" && authority.ends_with(":443")) ||
      (out.scheme == "http" && authority.ends_with(":80"))) {
    authority = authority.substr(0, authority.rfind(':'));
  }
  path = path.substr(0, path.find('#'));
  out.host = lower(authority);
  out.path = std::string(path);
  if (out.path.empty() || out.path[0] != '/') out.path.insert(out.path.begin(), '/');
  return out;
}

Headers headers_from(const Json& list) {
  Headers out;
  if (!list.is_array()) return out;
  for (const Json& h : list) {
    const Json& name = member(h, "name");
    if (name.is_string()) out.emplace_back(name.get<std::string>(), string_or(member(h, "value")));
  }
  return out;
}

std::string header_value(const Headers& headers, std::string_view name) {
  for (const auto& [n, v] : headers) {
    if (iequals(n, name)) return v;
  }
  return {};
}

// The bytes of a postData or content object: its text, base64-decoded when
// its encoding says so (an undecodable text counts as no bytes).
std::string bytes_of(const Json& holder) {
  std::string text = string_or(member(holder, "text"));
  if (string_or(member(holder, "encoding")) != "base64") return text;
  return base64_decode(text).value_or("");
}

// A body of `declared` size of which the archive kept `bytes`: fewer bytes,
// none included (a postData without "text", omitted content), is a prefix.
Body body_from(std::string bytes, std::optional<std::uint64_t> declared) {
  Body body;
  body.total = std::max<std::uint64_t>(declared.value_or(0), bytes.size());
  body.truncated = bytes.size() < body.total;
  body.bytes = std::move(bytes);
  return body;
}

void read_request(const Json& request, Flow& f) {
  f.method = string_or(member(request, "method"));
  Url url = split_url(string_or(member(request, "url")));
  f.scheme = std::move(url.scheme);
  f.host = std::move(url.host);
  f.path = std::move(url.path);
  f.req_headers = headers_from(member(request, "headers"));
  const Json& post = member(request, "postData");
  f.req_body = body_from(bytes_of(post), count(member(request, "bodySize")));
}

void read_response(const Json& response, Flow& f) {
  f.resp_headers = headers_from(member(response, "headers"));
  const Json& content = member(response, "content");
  f.content_type =
      string_or(member(content, "mimeType"), header_value(f.resp_headers, "content-type"));
  auto size = count(member(content, "size"));
  f.resp_body = body_from(bytes_of(content), size);
  f.resp_size =
      size.value_or(count(member(response, "bodySize")).value_or(f.resp_body.bytes.size()));
  auto status = count(member(response, "status"));
  if (status && *status > 0) f.status = status;
}

Flow flow_from(const Json& entry, std::uint64_t ts) {
  Flow f;
  f.ts = parse_iso_time(string_or(member(entry, "startedDateTime"))).value_or(ts);
  f.duration_ms = count(member(entry, "time"));
  read_request(member(entry, "request"), f);
  const Json& response = member(entry, "response");
  read_response(response, f);
  // Exporters that record failures put the reason in an "_error" member.
  std::string error = string_or(member(entry, "_error"), string_or(member(response, "_error")));
  f.completed = f.status.has_value() && error.empty();
  if (!error.empty()) {
    f.error = error;
  } else if (!f.status) {
    f.error = response.is_object() ? "no response status recorded" : "no response recorded";
  }
  return f;
}

}  // namespace

Result<std::vector<Flow>, std::string> flows_from_har(std::string_view text,
                                                      std::uint64_t fallback_ts) {
  auto parsed = json::parse(text);
  if (!parsed) return Err{"not JSON: " + parsed.error()};
  const Json* log = json::find(parsed.value(), "log");
  if (!log || !log->is_object()) return Err{std::string("no \"log\" object at the top level")};
  const Json* entries = json::find(*log, "entries");
  if (!entries || !entries->is_array()) return Err{std::string("\"log\" has no \"entries\" array")};
  std::vector<Flow> flows;
  std::uint64_t ts = fallback_ts;
  for (const Json& entry : *entries) {
    if (!entry.is_object()) continue;
    flows.push_back(flow_from(entry, ts));
    ts = flows.back().ts;
  }
  std::stable_sort(flows.begin(), flows.end(),
                   [](const Flow& a, const Flow& b) { return a.ts < b.ts; });
  return flows;
}

}  // namespace demo
