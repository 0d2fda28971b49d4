#include "har.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <map>
#include <set>
#include <utility>

#include "json_tape.h"
#include "server_limits.h"
#include "text.h"

namespace demo {
namespace {

// Entries are read from the archive one at a time, each taken apart as soon
// as it is read, and the strings in them are copied once from the file and
// then moved: a large archive is mostly a few long body texts, or very many
// small entries.

// The member `key` of `object`, or nullptr. Its value may be moved out.
Json* member(Json* object, std::string_view key) {
  if (!object || !object->is_object()) return nullptr;
  auto it = object->find(key);
  return it == object->end() ? nullptr : &*it;
}

// Moves the string out of `value`, or gives `fallback` when it is none.
std::string take_string(Json* value, std::string fallback = {}) {
  return value && value->is_string() ? std::move(value->get_ref<std::string&>()) : fallback;
}

// A non-negative number, rounded to a whole count (HAR times are fractional).
std::optional<std::uint64_t> count(const Json* value) {
  if (!value || !value->is_number()) return std::nullopt;
  double d = value->get<double>();
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

Headers headers_from(Json* list) {
  Headers out;
  if (!list || !list->is_array()) return out;
  for (Json& h : *list) {
    Json* name = member(&h, "name");
    if (name && name->is_string()) {
      out.emplace_back(take_string(name), take_string(member(&h, "value")));
    }
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
std::string bytes_of(Json* holder) {
  std::string text = take_string(member(holder, "text"));
  Json* encoding = member(holder, "encoding");
  if (!encoding || *encoding != "base64") return text;
  if (!base64_decode_in_place(text)) text.clear();
  return text;
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

void read_request(Json* request, Flow& f) {
  f.method = take_string(member(request, "method"));
  Url url = split_url(take_string(member(request, "url")));
  f.scheme = std::move(url.scheme);
  f.host = std::move(url.host);
  f.path = std::move(url.path);
  f.req_headers = headers_from(member(request, "headers"));
  f.req_body = body_from(bytes_of(member(request, "postData")), count(member(request, "bodySize")));
}

void read_response(Json* response, Flow& f) {
  f.resp_headers = headers_from(member(response, "headers"));
  Json* content = member(response, "content");
  f.content_type =
      take_string(member(content, "mimeType"), header_value(f.resp_headers, "content-type"));
  auto size = count(member(content, "size"));
  f.resp_body = body_from(bytes_of(content), size);
  f.resp_size =
      size.value_or(count(member(response, "bodySize")).value_or(f.resp_body.bytes.size()));
  auto status = count(member(response, "status"));
  if (status && *status > 0) f.status = status;
}

Flow flow_from(Json& entry, std::uint64_t ts) {
  Flow f;
  f.ts = parse_iso_time(take_string(member(&entry, "startedDateTime"))).value_or(ts);
  f.duration_ms = count(member(&entry, "time"));
  read_request(member(&entry, "request"), f);
  Json* response = member(&entry, "response");
  read_response(response, f);
  // Exporters that record failures put the reason in an "_error" member.
  std::string error =
      take_string(member(&entry, "_error"), take_string(member(response, "_error")));
  f.completed = f.status.has_value() && error.empty();
  if (!error.empty()) {
    f.error = error;
  } else if (!f.status) {
    f.error =
        response && response->is_object() ? "no response status recorded" : "no response recorded";
  }
  return f;
}

// The first request made for a page, which gives the page its address.
struct PageStart {
  std::uint64_t ts = 0;
  std::string url, user_agent;
};

HarPage page_from(Json& page) {
  HarPage p;
  p.id = take_string(member(&page, "id"));
  p.title = take_string(member(&page, "title"));
  return p;
}

std::string url_of(const Flow& f) {
  return f.scheme.empty() ? f.path : f.scheme + "://" + f.host + f.path;
}

// The archive's text cut so that no reading of it holds more than one
// entry: each object or array that is an element of an array three levels
// down (where {"log": {"entries": [...], "pages": [...]}} keeps its items)
// is a piece, and the skeleton is the text with an empty string in place of
// each piece. Only strings and brackets are followed here, to find the
// pieces; the tape judges the skeleton and every piece. As an empty string is
// a value wherever an array element is, the text is JSON exactly when they
// all are.
struct Pieces {
  std::string skeleton;
  std::vector<std::string_view> pieces;   // in the order of the text
  std::vector<std::size_t> placeholders;  // where each piece's "" starts in the skeleton
};

constexpr int kItemDepth = 3;

// False when the text nests too deeply or ends inside a string.
bool cut_pieces(std::string_view text, Pieces& out) {
  const char* p = text.data();
  const char* end = p + text.size();
  const char* copied = p;       // the skeleton has the text up to here
  const char* piece = nullptr;  // the start of the piece being passed over
  int depth = 0;
  bool items = false;  // the container at kItemDepth is an array
  for (; p < end; ++p) {
    if (*p == '"') {
      for (p = json::find_special(p + 1, end); p < end && *p != '"';
           p = json::find_special(p, end)) {
        p += *p == '\\' && end - p > 1 ? 2 : 1;  // an escape, or a control character
      }
      if (p == end) return false;
    } else if (*p == '{' || *p == '[') {
      if (++depth > limits::kMaxDepth) return false;
      if (depth == kItemDepth) items = *p == '[';
      if (depth == kItemDepth + 1 && items) piece = p;
    } else if (*p == '}' || *p == ']') {
      if (--depth == kItemDepth && piece) {
        out.skeleton.append(copied, piece);
        out.placeholders.push_back(out.skeleton.size());
        out.skeleton += "\"\"";
        out.pieces.emplace_back(piece, p + 1 - piece);
        copied = p + 1;
        piece = nullptr;
      }
    }
  }
  out.skeleton.append(copied, end);
  return true;
}

// Keeps the earliest request of each page (the first one listed of those
// that started at the same time, as the stable sort keeps them).
void note_page_start(std::map<std::string, PageStart, std::less<>>& starts, std::string pageref,
                     const Flow& f) {
  auto it = starts.find(pageref);
  if (it != starts.end() && it->second.ts <= f.ts) return;
  starts[std::move(pageref)] =
      PageStart{f.ts, url_of(f), header_value(f.req_headers, "user-agent")};
}

// The archive in `text`, or nothing when the text is not JSON. Each piece is
// read with the tape, and an entry or page made into a value for flow_from
// or page_from; a key given twice counts with its last value, as in a
// parsed value, and so does a repeated "log", "entries" or "pages".
std::optional<Result<Har, std::string>> read_pieces(std::string_view text,
                                                    std::uint64_t fallback_ts) {
  using Kind = json::Tape::Kind;
  Pieces split;
  json::Tape skeleton;
  if (!json::is_utf8(text) || !cut_pieces(text, split) ||
      !skeleton.parse(split.skeleton.data(), split.skeleton.size())) {
    return std::nullopt;
  }
  enum class Use : std::uint8_t { kNone, kEntry, kPage };
  std::vector<Use> uses(split.pieces.size(), Use::kNone);
  auto use_items = [&](std::uint32_t list, Use use) {
    if (!skeleton.is(list, Kind::Array)) return;
    for (std::uint32_t i = list + 1; i < skeleton[list].end; i = skeleton[i].end) {
      // An empty string points into the skeleton, where a placeholder has its place.
      if (!skeleton.is(i, Kind::String) || skeleton[i].length != 0) continue;
      auto at = static_cast<std::size_t>(skeleton[i].text - split.skeleton.data()) - 1;
      auto found = std::lower_bound(split.placeholders.begin(), split.placeholders.end(), at);
      if (found != split.placeholders.end() && *found == at) {
        uses[static_cast<std::size_t>(found - split.placeholders.begin())] = use;
      }
    }
  };
  std::uint32_t log = skeleton.find(skeleton.root(), "log");
  std::uint32_t entries = skeleton.find(log, "entries");
  use_items(entries, Use::kEntry);
  use_items(skeleton.find(log, "pages"), Use::kPage);

  Har har;
  std::map<std::string, PageStart, std::less<>> page_starts;  // by page id
  std::uint64_t ts = fallback_ts;
  json::Tape tape;
  for (std::size_t i = 0; i < split.pieces.size(); ++i) {
    // The tape only reads the text it is given.
    if (!tape.parse(const_cast<char*>(split.pieces[i].data()), split.pieces[i].size())) {
      return std::nullopt;
    }
    if (uses[i] == Use::kNone || !tape.is(tape.root(), Kind::Object)) continue;
    Json item = json::value_of(tape, tape.root());
    if (uses[i] == Use::kPage) {
      if (HarPage page = page_from(item); !page.id.empty()) har.pages.push_back(std::move(page));
      continue;
    }
    std::string pageref = take_string(member(&item, "pageref"));
    har.flows.push_back(flow_from(item, ts));
    ts = har.flows.back().ts;
    if (!pageref.empty()) note_page_start(page_starts, std::move(pageref), har.flows.back());
  }
  if (!skeleton.is(log, Kind::Object))
    return Err{std::string("no \"log\" object at the top level")};
  if (!skeleton.is(entries, Kind::Array))
    return Err{std::string("\"log\" has no \"entries\" array")};
  for (HarPage& page : har.pages) {
    if (auto it = page_starts.find(page.id); it != page_starts.end()) {
      page.url = it->second.url;
      page.user_agent = it->second.user_agent;
    }
  }
  std::vector<Flow>& flows = har.flows;
  auto earlier = [](const Flow& a, const Flow& b) { return a.ts < b.ts; };
  // Archives are mostly in order already; sorting moves every flow.
  if (!std::is_sorted(flows.begin(), flows.end(), earlier)) {
    std::stable_sort(flows.begin(), flows.end(), earlier);
  }
  return har;
}

}  // namespace

Result<Har, std::string> read_har(std::string_view text, std::uint64_t fallback_ts) {
  if (auto har = read_pieces(text, fallback_ts)) return std::move(*har);
  // Below 2 GiB, json::parse says in its own words what is wrong and where;
  // no entry can be too long for the tape then.
  if (text.size() >= limits::kMaxText)
    return Err{std::string("not JSON, or an entry of 2 GiB or more")};
  return Err{"not JSON: " + json::parse(text).error()};
}

namespace {

// The proxy's PAC/config port, as the built-in capture reports it.
constexpr std::uint64_t kConfigPort = 9091;
constexpr std::uint64_t kWindowMs = 60000;

// Hosts whose requests were seen in full over TLS, so they must have been
// decrypted: every https host except those seen only as a tunnel.
std::vector<std::string> decrypted_hosts(const std::deque<Flow>& flows) {
  std::set<std::string> hosts;
  for (const Flow& f : flows) {
    if (f.scheme == "https" && f.method != "CONNECT" && !f.host.empty()) hosts.insert(f.host);
  }
  return {hosts.begin(), hosts.end()};
}

// What an archive can tell about the capture path: the proxy's ports, how
// many of its flows fall in the last minute, and that none of the set-up
// steps (profile push, PAC fetch, CA download) happened in this session, so
// whether a device routes through the proxy stays open.
Json har_findings(const Capture& c, std::uint64_t now_ms) {
  std::uint64_t recent = 0;
  for (const Flow& f : c.flows) {
    if (f.ts <= now_ms && now_ms - f.ts < kWindowMs) ++recent;
  }
  auto item = [](const char* kind, const char* code, Json params) {
    return Json{{"kind", kind}, {"code", code}, {"params", std::move(params)}};
  };
  Json items = Json::array();
  items.push_back(item("fact", "capture_path.proxy_endpoints_ready",
                       {{"proxyPort", c.proxy_port}, {"configPort", kConfigPort}}));
  items.push_back(
      item("fact", "capture_path.flows_in_window",
           {{"count", recent}, {"windowMs", kWindowMs}, {"recordingPaused", c.paused}}));
  items.push_back(item("finding", "capture_path.profile_push_not_observed", Json::object()));
  items.push_back(item("finding", "capture_path.pac_fetch_not_observed", Json::object()));
  items.push_back(item("finding", "capture_path.ca_download_not_observed", Json::object()));
  items.push_back(
      {{"kind", "unknown"},
       {"question", "capture_path.device_routing_now"},
       {"params", {{"reason", "profile_not_pushed"}}},
       {"wouldDecide", Json::array({{{"kind", "evidence"},
                                     {"code", "capture_path.push_profile_then_observe"}}})}});
  return {{"generatedAt", now_ms}, {"items", std::move(items)}};
}

}  // namespace

Capture har_capture(Har har, std::uint64_t now_ms, const std::string& name) {
  Capture c;
  for (Flow& f : har.flows) c.add_flow(std::move(f));
  c.decrypt_hosts = decrypted_hosts(c.flows);
  if (!har.pages.empty()) {
    App app{"har.archive", {}};
    for (HarPage& p : har.pages) {
      // Not live, but answering from what the archive recorded.
      app.pages.push_back(Page{std::move(p.id),
                               std::move(p.title),
                               std::move(p.url),
                               "background",
                               std::move(p.user_agent),
                               {}});
    }
    c.devices.push_back(Device{"har", name, {std::move(app)}});
  }
  c.findings = har_findings(c, now_ms);
  return c;
}

FileText::FileText(FileText&& other) noexcept
    : map_(std::exchange(other.map_, nullptr)),
      map_size_(std::exchange(other.map_size_, 0)),
      copy_(std::move(other.copy_)) {}

FileText::~FileText() {
  if (map_) munmap(map_, map_size_);
}

std::string_view FileText::text() const {
  return map_ ? std::string_view(static_cast<const char*>(map_), map_size_) : copy_;
}

// Mapping saves copying a large archive into fresh memory, which costs more
// than parsing it.
std::optional<FileText> read_file(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  FileText file;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    auto size = static_cast<std::size_t>(st.st_size);
    void* map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (map != MAP_FAILED) file.map_ = map, file.map_size_ = size;
  }
  while (!file.map_) {
    char chunk[64 * 1024];
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n > 0) {
      file.copy_.append(chunk, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      close(fd);
      return std::nullopt;
    }
  }
  close(fd);
  return file;
}

}  // namespace demo
