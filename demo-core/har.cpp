#include "har.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <map>
#include <set>
#include <utility>

#include "server_limits.h"
#include "text.h"

namespace demo {
namespace {

// Entries are read from the archive one at a time, each taken apart as soon
// as it is complete, and the strings in them are moved, never copied: a
// large archive is mostly a few long body texts, or very many small entries.

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

// Follows the events of the archive's text (from the scanner below, or the
// shared parser's event interface) through the top-level object,
// its "log" object and that object's "entries" and "pages" arrays. Each
// object in these arrays is built as a value of its own and turned into a
// flow or a page as soon as it closes; everything else is only checked. A
// repeated key replaces the earlier one, as it would in a parsed value.
class EntryReader {
 public:
  using number_integer_t = Json::number_integer_t;
  using number_unsigned_t = Json::number_unsigned_t;
  using number_float_t = Json::number_float_t;
  using string_t = Json::string_t;
  using binary_t = Json::binary_t;

  explicit EntryReader(std::uint64_t fallback_ts) : fallback_ts_(fallback_ts), ts_(fallback_ts) {}

  bool null() { return value(nullptr); }
  bool boolean(bool v) { return value(v); }
  bool number_integer(number_integer_t v) { return value(v); }
  bool number_unsigned(number_unsigned_t v) { return value(v); }
  bool number_float(number_float_t v, const string_t&) { return value(v); }
  // `v` is the caller's buffer, which it clears and reuses for the next
  // string. A long string is moved out, and the buffer given back its room
  // so that the next one does not regrow from nothing.
  bool string(string_t& v) {
    if (v.size() < kLongString) return value(v);
    std::size_t room = v.capacity();
    value(std::move(v));
    v.reserve(room);
    return true;
  }
  bool binary(binary_t&) { return false; }  // not in JSON text

  bool start_object(std::size_t) {
    if (!open_.empty() || next_ == Role::kItem) return open(Json::object());
    if (next_ == Role::kLog) log_is_object_ = true;
    return enter(next_ == Role::kTop || next_ == Role::kLog ? next_ : Role::kOther);
  }
  bool start_array(std::size_t) {
    if (!open_.empty()) return open(Json::array());
    if (next_ == Role::kEntries) entries_are_array_ = true;
    return enter(next_ == Role::kEntries || next_ == Role::kPages ? next_ : Role::kOther);
  }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool key(string_t& k) {
    if (!open_.empty()) {
      key_ = std::move(k);
    } else if (roles_.back() == Role::kTop && k == "log") {
      next_ = Role::kLog;
      log_is_object_ = entries_are_array_ = false;
      restart_entries();
      pages_.clear();
    } else if (roles_.back() == Role::kLog && k == "entries") {
      next_ = Role::kEntries;
      entries_are_array_ = false;
      restart_entries();
    } else if (roles_.back() == Role::kLog && k == "pages") {
      next_ = Role::kPages;
      pages_.clear();
    } else {
      next_ = Role::kOther;
    }
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

  Result<Har, std::string> result() && {
    if (!log_is_object_) return Err{std::string("no \"log\" object at the top level")};
    if (!entries_are_array_) return Err{std::string("\"log\" has no \"entries\" array")};
    for (HarPage& page : pages_) {
      if (auto it = page_starts_.find(page.id); it != page_starts_.end()) {
        page.url = it->second.url;
        page.user_agent = it->second.user_agent;
      }
    }
    return Har{std::move(flows_), std::move(pages_)};
  }

 private:
  // kItem: the next object is an element of "entries" or "pages".
  enum class Role { kTop, kLog, kEntries, kPages, kItem, kOther };
  static constexpr std::size_t kLongString = 64 * 1024;

  // A container outside the entries and pages, or their arrays.
  bool enter(Role role) {
    roles_.push_back(role);
    next_ = item_next();
    return depth() <= limits::kMaxDepth;
  }

  Role item_next() const {
    bool list =
        !roles_.empty() && (roles_.back() == Role::kEntries || roles_.back() == Role::kPages);
    return list ? Role::kItem : Role::kOther;
  }

  // A container inside an entry (or the entry itself).
  bool open(Json container) {
    Json* slot = place(std::move(container));
    open_.push_back(slot);
    return depth() <= limits::kMaxDepth;
  }

  bool close() {
    if (open_.empty()) {
      roles_.pop_back();
      next_ = item_next();
      return true;
    }
    open_.pop_back();
    if (!open_.empty()) return true;
    if (roles_.back() == Role::kPages) {
      if (HarPage page = page_from(entry_); !page.id.empty()) pages_.push_back(std::move(page));
    } else {
      std::string pageref = take_string(member(&entry_, "pageref"));
      flows_.push_back(flow_from(entry_, ts_));
      ts_ = flows_.back().ts;
      if (!pageref.empty()) note_page_start(std::move(pageref), flows_.back());
    }
    entry_ = Json();
    return true;
  }

  // Keeps the earliest request of each page (the first one listed of those
  // that started at the same time, as the stable sort keeps them).
  void note_page_start(std::string pageref, const Flow& f) {
    auto it = page_starts_.find(pageref);
    if (it != page_starts_.end() && it->second.ts <= f.ts) return;
    page_starts_[std::move(pageref)] =
        PageStart{f.ts, url_of(f), header_value(f.req_headers, "user-agent")};
  }

  bool value(Json v) {
    if (!open_.empty()) place(std::move(v));
    // Scalars outside an entry (entries that are not objects included) are skipped.
    return true;
  }

  // Puts `v` where the entry being built expects its next value.
  Json* place(Json v) {
    if (open_.empty()) {
      entry_ = std::move(v);
      return &entry_;
    }
    Json& parent = *open_.back();
    if (parent.is_array()) {
      parent.get_ref<Json::array_t&>().push_back(std::move(v));
      return &parent.get_ref<Json::array_t&>().back();
    }
    Json& slot = parent.get_ref<Json::object_t&>()[std::move(key_)];
    slot = std::move(v);
    return &slot;
  }

  // A repeated "log" or "entries" starts the list afresh.
  void restart_entries() {
    flows_.clear();
    page_starts_.clear();
    ts_ = fallback_ts_;
  }

  int depth() const { return static_cast<int>(roles_.size() + open_.size()); }

  std::uint64_t fallback_ts_;
  std::uint64_t ts_;
  std::vector<Role> roles_;
  Role next_ = Role::kTop;
  bool log_is_object_ = false;
  bool entries_are_array_ = false;
  Json entry_;
  std::vector<Json*> open_;  // the entry's open containers, innermost last
  std::string key_;
  std::vector<Flow> flows_;
  std::vector<HarPage> pages_;
  std::map<std::string, PageStart, std::less<>> page_starts_;  // by page id
};

// Reads JSON text and hands its values to a reader as the parser's event
// interface does, but much faster: a string is found with one pass over a
// byte table and copied once, where the parser copies it byte by byte. It takes the forms JSON
// allows and gives up (returns false) on anything else; the caller then lets the shared parser
// decide, so an archive it cannot take is only slower.
template <class Reader>
class Scanner {
 public:
  Scanner(std::string_view text, Reader& reader) : text_(text), reader_(reader) {}

  bool run() {
    skip_space();
    if (!value()) return false;
    skip_space();
    return at_ == text_.size();
  }

 private:
  // How a string treats each byte: kPlain and kHigh (part of a UTF-8
  // sequence, checked once at the end) are copied as they are.
  enum Kind : std::uint8_t { kPlain, kHigh, kSpecial };
  static constexpr std::array<Kind, 256> kKinds = [] {
    std::array<Kind, 256> kinds{};
    for (std::size_t c = 0; c < 256; ++c) {
      kinds[c] = c < 0x20 || c == '"' || c == '\\' ? kSpecial : c >= 0x80 ? kHigh : kPlain;
    }
    return kinds;
  }();

  bool value() {
    if (at_ >= text_.size()) return false;
    switch (text_[at_]) {
      case '{':
        return object();
      case '[':
        return array();
      case '"':
        return string(buffer_) && reader_.string(buffer_);
      case 't':
        return word("true") && reader_.boolean(true);
      case 'f':
        return word("false") && reader_.boolean(false);
      case 'n':
        return word("null") && reader_.null();
      default:
        return number();
    }
  }

  bool object() {
    ++at_;
    if (!reader_.start_object(kUnknownSize)) return false;
    skip_space();
    if (take('}')) return reader_.end_object();
    for (;;) {
      skip_space();
      if (at_ >= text_.size() || text_[at_] != '"' || !string(buffer_) || !reader_.key(buffer_)) {
        return false;
      }
      skip_space();
      if (!take(':')) return false;
      skip_space();
      if (!value()) return false;
      skip_space();
      if (take('}')) return reader_.end_object();
      if (!take(',')) return false;
    }
  }

  bool array() {
    ++at_;
    if (!reader_.start_array(kUnknownSize)) return false;
    skip_space();
    if (take(']')) return reader_.end_array();
    for (;;) {
      skip_space();
      if (!value()) return false;
      skip_space();
      if (take(']')) return reader_.end_array();
      if (!take(',')) return false;
    }
  }

  // Reads the string that starts at the quote under `at_` into `out`.
  bool string(std::string& out) {
    out.clear();
    ++at_;
    bool high = false;
    for (;;) {
      std::size_t start = at_;
      Kind kind = kPlain;
      while (at_ < text_.size() &&
             (kind = kKinds[static_cast<unsigned char>(text_[at_])]) != kSpecial) {
        high |= kind == kHigh;
        ++at_;
      }
      out.append(text_.data() + start, at_ - start);
      if (at_ >= text_.size()) return false;
      char c = text_[at_++];
      if (c == '"') return !high || json::is_utf8(out);
      if (c != '\\' || !escape(out)) return false;  // a control character, or a bad escape
    }
  }

  bool escape(std::string& out) {
    if (at_ >= text_.size()) return false;
    switch (text_[at_++]) {
      case '"':
        out += '"';
        return true;
      case '\\':
        out += '\\';
        return true;
      case '/':
        out += '/';
        return true;
      case 'b':
        out += '\b';
        return true;
      case 'f':
        out += '\f';
        return true;
      case 'n':
        out += '\n';
        return true;
      case 'r':
        out += '\r';
        return true;
      case 't':
        out += '\t';
        return true;
      case 'u':
        return code_point(out);
      default:
        return false;
    }
  }

  // After "\u": four hex digits, a surrogate pair written as two.
  bool code_point(std::string& out) {
    auto cp = hex4();
    if (!cp || (*cp >= 0xDC00 && *cp <= 0xDFFF)) return false;
    if (*cp >= 0xD800 && *cp <= 0xDBFF) {
      if (!take('\\') || !take('u')) return false;
      auto low = hex4();
      if (!low || *low < 0xDC00 || *low > 0xDFFF) return false;
      cp = 0x10000 + ((*cp - 0xD800) << 10) + (*low - 0xDC00);
    }
    append_utf8(out, *cp);
    return true;
  }

  std::optional<std::uint32_t> hex4() {
    if (text_.size() - at_ < 4) return std::nullopt;
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      char c = text_[at_++];
      int digit = c >= '0' && c <= '9'   ? c - '0'
                  : c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                         : -1;
      if (digit < 0) return std::nullopt;
      v = v << 4 | static_cast<std::uint32_t>(digit);
    }
    return v;
  }

  static void append_utf8(std::string& out, std::uint32_t cp) {
    auto put = [&](std::uint32_t b) { out += static_cast<char>(b); };
    if (cp < 0x80) {
      put(cp);
    } else if (cp < 0x800) {
      put(0xC0 | cp >> 6), put(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      put(0xE0 | cp >> 12), put(0x80 | (cp >> 6 & 0x3F)), put(0x80 | (cp & 0x3F));
    } else {
      put(0xF0 | cp >> 18), put(0x80 | (cp >> 12 & 0x3F)), put(0x80 | (cp >> 6 & 0x3F));
      put(0x80 | (cp & 0x3F));
    }
  }

  // -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)? with the parser's kinds:
  // an integer that fits is signed when negative, else unsigned; anything
  // else is a double.
  bool number() {
    std::size_t start = at_;
    bool negative = take('-');
    if (!take('0') && !digits()) return false;
    bool integer = true;
    if (take('.')) {
      if (!digits()) return false;
      integer = false;
    }
    if (take('e') || take('E')) {
      if (!take('+')) take('-');
      if (!digits()) return false;
      integer = false;
    }
    const char* first = text_.data() + start;
    const char* last = text_.data() + at_;
    if (integer && negative) {
      std::int64_t v = 0;
      auto [end, error] = std::from_chars(first, last, v);
      if (error == std::errc() && end == last) return reader_.number_integer(v);
    } else if (integer) {
      std::uint64_t v = 0;
      auto [end, error] = std::from_chars(first, last, v);
      if (error == std::errc() && end == last) return reader_.number_unsigned(v);
    }
    std::string literal(first, last);  // strtod wants it terminated
    double v = std::strtod(literal.c_str(), nullptr);
    return std::isfinite(v) && reader_.number_float(v, literal);
  }

  bool digits() {
    std::size_t start = at_;
    while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
    return at_ > start;
  }

  bool word(std::string_view w) {
    if (text_.substr(at_, w.size()) != w) return false;
    at_ += w.size();
    return true;
  }

  bool take(char c) {
    if (at_ >= text_.size() || text_[at_] != c) return false;
    ++at_;
    return true;
  }

  void skip_space() {
    while (at_ < text_.size() &&
           (text_[at_] == ' ' || text_[at_] == '\n' || text_[at_] == '\r' || text_[at_] == '\t')) {
      ++at_;
    }
  }

  static constexpr std::size_t kUnknownSize = static_cast<std::size_t>(-1);

  std::string_view text_;
  std::size_t at_ = 0;
  Reader& reader_;
  std::string buffer_;
};

Result<Har, std::string> in_start_order(EntryReader&& reader) {
  auto har = std::move(reader).result();
  if (!har) return har;
  std::vector<Flow>& flows = har.value().flows;
  auto earlier = [](const Flow& a, const Flow& b) { return a.ts < b.ts; };
  // Archives are mostly in order already; sorting moves every flow.
  if (!std::is_sorted(flows.begin(), flows.end(), earlier)) {
    std::stable_sort(flows.begin(), flows.end(), earlier);
  }
  return har;
}

}  // namespace

Result<Har, std::string> read_har(std::string_view text, std::uint64_t fallback_ts) {
  if (EntryReader reader(fallback_ts); Scanner(text, reader).run()) {
    return in_start_order(std::move(reader));
  }
  // The shared parser says in its own words what is wrong and where (text
  // nested too deeply included). Should it find nothing wrong, the text is
  // read once more with its events.
  if (auto parsed = json::parse(text); !parsed) return Err{"not JSON: " + parsed.error()};
  EntryReader reader(fallback_ts);
  Json::sax_parse(text.data(), text.data() + text.size(), &reader);
  return in_start_order(std::move(reader));
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
