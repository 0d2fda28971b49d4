#include "link_model.h"

namespace soak {

// One "request" record of the chaos log.
struct CoreRequest {
  std::uint64_t conn = 0;
  std::uint64_t id = 0;
  std::string method;
  std::vector<std::string> faults;  // "none", or the parts of "junk+split+close_after"
  int junk = 0;                     // noise lines before the reply
  int bad_utf8_at = -1;             // the invalid one among them
  std::string ending = "reply";     // or close_before, close_during, close_after, stall, down
  std::string refusal;              // a hello's error code, or "wrong_version"
};

namespace {

// An event's member `key` when it is a count, else `fallback`.
std::uint64_t count_of(const Json& event, std::string_view key, std::uint64_t fallback) {
  const Json* member = json::find(event, key);
  return member && member->is_number_unsigned() ? member->get<std::uint64_t>() : fallback;
}

constexpr int kLineBudget = 64;

std::string text_of(const Json& event, std::string_view key) {
  const Json* value = json::find(event, key);
  return value != nullptr && value->is_string() ? value->get<std::string>() : "";
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  for (std::size_t at; (at = text.find(separator, from)) != std::string::npos; from = at + 1) {
    parts.push_back(text.substr(from, at - from));
  }
  parts.push_back(text.substr(from));
  return parts;
}

std::optional<CoreRequest> parse_request(const Json& event) {
  const Json* conn = json::find(event, "conn");
  const Json* id = json::find(event, "id");
  if (conn == nullptr || !conn->is_number_unsigned() || id == nullptr ||
      !id->is_number_unsigned() || text_of(event, "fault").empty()) {
    return std::nullopt;
  }
  CoreRequest r;
  r.conn = conn->get<std::uint64_t>();
  r.id = id->get<std::uint64_t>();
  r.method = text_of(event, "method");
  r.faults = split(text_of(event, "fault"), '+');
  r.junk = static_cast<int>(count_of(event, "lines", 0));
  if (json::find(event, "badUtf8At") != nullptr) {
    r.bad_utf8_at = static_cast<int>(count_of(event, "badUtf8At", 0));
  }
  for (const std::string& part : r.faults) {
    if (part == "close_before" || part == "close_during" || part == "close_after" ||
        part == "stall" || part == "down") {
      r.ending = part;
    } else if (part == "refuse") {
      r.refusal = text_of(event, "code");
    } else if (part == "wrong_version") {
      r.refusal = part;
    }
  }
  return r;
}

}  // namespace

std::optional<std::uint64_t> LinkModel::closing() const {
  if (connected_ && dead_ && closed_.count(conn_) == 0) return conn_;
  return std::nullopt;
}

Result<Done, std::string> LinkModel::startup(const std::vector<Json>& events) {
  begin(events, false);
  (void)connect();  // a failed hello leaves no connection; the first call tries again
  return finish();
}

Result<Expected, std::string> LinkModel::call(const std::string& method,
                                              const std::vector<Json>& events) {
  begin(events, true);
  Expected expected = run(method);
  if (auto done = finish(); !done) {
    std::string outcome = expected.answered ? "the core's answer" : "\"" + expected.sentence + "\"";
    return Err{done.error() + " (by the rules so far, the result is " + outcome + ")"};
  }
  return expected;
}

Result<Done, std::string> LinkModel::quiet(const std::vector<Json>& events) {
  begin(events, true);
  return finish();
}

// The server's rules for one call.
Expected LinkModel::run(const std::string& method) {
  auto failed = [](std::string sentence) { return Expected{false, std::move(sentence)}; };
  if (!connected_) {
    if (auto refused = connect()) return failed(*refused);
  }
  if (method == "wir.evaluate") {
    // Checked before writing: a connection the core closed is replaced first.
    if (dead_) {
      if (auto refused = connect()) return failed(*refused);
    }
    // Once written, an expression is never sent again.
    switch (exchange(method, false)) {
      case Exchange::Answered:
        return {true, {}};
      case Exchange::Transport:
        disconnect();
        return failed(kLostExpression);
      case Exchange::Deadline:
        disconnect();
        return failed(kNoResponse);
      default:
        return {};
    }
  }
  // Writing to a connection the core closed fails before the core sees anything.
  Exchange first = dead_ ? Exchange::Transport : exchange(method, false);
  if (first == Exchange::Answered) return {true, {}};
  if (first == Exchange::Deadline) {
    disconnect();
    return failed(kNoResponse);
  }
  if (first != Exchange::Transport) return {};
  if (auto refused = connect()) return failed(*refused);
  switch (exchange(method, false)) {
    case Exchange::Answered:
      return {true, {}};
    case Exchange::Transport:
      return failed(kNotRunning);  // the connection stays as it is
    case Exchange::Deadline:
      disconnect();
      return failed(kNoResponse);
    default:
      return {};
  }
}

// A new connection and its hello: nothing on success, else the call's
// sentence.
std::optional<std::string> LinkModel::connect() {
  disconnect();
  if (down_ && !core_back_in_time()) return kNotRunning;
  switch (exchange("hello", true)) {
    case Exchange::Answered:
      connected_ = true;
      return std::nullopt;
    case Exchange::Refused:
      if (refusal_ == "MCP_DISABLED") return kMcpDisabled;
      if (refusal_ == "version_mismatch" || refusal_ == "wrong_version") return kMismatch;
      broken("a hello refused with \"" + refusal_ + "\", which the soak does not model");
      return "";
    case Exchange::Transport:
      return kNotRunning;
    case Exchange::Deadline:
      return kNoResponse;
    case Exchange::Broken:
      return "";
  }
  return "";
}

// One request on the server's connection (a hello on a new one): what the
// server makes of the lines the core sends, read one at a time.
LinkModel::Exchange LinkModel::exchange(const std::string& method, bool hello) {
  if (!problem_.empty()) return Exchange::Broken;
  const Json* event = peek();
  if (event == nullptr || text_of(*event, "event") != "request") {
    broken("the server must send \"" + method + "\" now, but the core " +
           (event != nullptr ? "logged " + json::compact(*event) + " next"
                             : "logged no request for it"));
    return Exchange::Broken;
  }
  ++next_;
  auto r = parse_request(*event);
  if (!r) {
    broken("a request record the soak cannot read: " + json::compact(*event));
    return Exchange::Broken;
  }
  count(*r);
  if (r->method != method) {
    broken("the core received \"" + r->method + "\" where the server must send \"" + method + "\"");
  } else if (hello && r->conn <= last_conn_) {
    broken("a hello on connection " + std::to_string(r->conn) + ", not on a new one");
  } else if (!hello && r->conn != conn_) {
    broken("\"" + method + "\" on connection " + std::to_string(r->conn) +
           ", where the server holds connection " + std::to_string(conn_));
  } else if (r->id <= last_id_) {
    broken("request id " + std::to_string(r->id) + " after id " + std::to_string(last_id_));
  } else if (!hello && !r->refusal.empty()) {
    broken("a refusal of \"" + method + "\", which the soak does not model");
  }
  if (!problem_.empty()) return Exchange::Broken;
  last_id_ = r->id;
  if (hello) {
    last_conn_ = r->conn;
    conn_ = r->conn;
    unread_ = 0;
    dead_ = false;
  }

  if (r->ending == "down") {
    down_ = true;
    dead_ = true;
    unread_ = 0;
    return Exchange::Transport;
  }
  const bool whole_reply = r->ending == "reply" || r->ending == "close_after";
  const bool closes = r->ending.rfind("close_", 0) == 0;
  const int lines = unread_ + r->junk;
  const int bad = r->bad_utf8_at < 0 ? -1 : unread_ + r->bad_utf8_at;
  // An invalid line ends the exchange when it is read; 64 lines without the
  // reply end it before a 65th is read. Either way the rest stays unread.
  if ((bad >= 0 && bad < kLineBudget) || lines >= kLineBudget) {
    int read = bad >= 0 && bad < kLineBudget ? bad + 1 : kLineBudget;
    if (bad >= read) broken("an invalid line left unread, which the soak does not model");
    unread_ = lines - read + (whole_reply ? 1 : 0);
    dead_ = closes;
    if (dead_ && unread_ > 0) {
      broken("unread lines on a connection the core closed, which the soak does not model");
    }
    return problem_.empty() ? Exchange::Transport : Exchange::Broken;
  }
  unread_ = 0;
  if (whole_reply) {
    dead_ = r->ending == "close_after";
    if (hello && dead_) broken("a hello answered and then closed, which the soak does not model");
    if (!r->refusal.empty()) {
      refusal_ = r->refusal;
      return Exchange::Refused;
    }
    return Exchange::Answered;
  }
  if (r->ending == "stall") {
    // Each stall costs the 10 s line limit, so the second in a call meets
    // the 15 s deadline.
    ++stalls_;
    return timed_ && stalls_ > 1 ? Exchange::Deadline : Exchange::Transport;
  }
  dead_ = true;  // closed before or during the reply
  return Exchange::Transport;
}

void LinkModel::disconnect() {
  connected_ = false;
  dead_ = false;
  unread_ = 0;
}

void LinkModel::begin(const std::vector<Json>& events, bool timed) {
  events_ = &events;
  next_ = 0;
  timed_ = timed;
  stalls_ = 0;
}

// The next record that matters, passing over connections opening and closing.
const Json* LinkModel::peek() {
  while (next_ < events_->size()) {
    const Json& event = (*events_)[next_];
    std::string kind = text_of(event, "event");
    if (kind == "request" || kind == "up") return &event;
    if (kind == "closed") closed_.insert(count_of(event, "conn", 0));
    ++next_;
  }
  return nullptr;
}

// The core went down during this call. The server reconnects at once and
// finds nobody listening, unless the log shows the core back up followed by
// a request: only that reconnect can have sent it.
bool LinkModel::core_back_in_time() {
  const Json* event = peek();
  if (event == nullptr || text_of(*event, "event") != "up") return false;
  for (std::size_t i = next_ + 1; i < events_->size(); ++i) {
    if (text_of((*events_)[i], "event") == "request") {
      ++next_;
      down_ = false;
      return true;
    }
  }
  return false;
}

Result<Done, std::string> LinkModel::finish() {
  while (problem_.empty()) {
    const Json* event = peek();
    if (event == nullptr) break;
    if (text_of(*event, "event") == "up" && down_) {
      down_ = false;
      ++next_;
      continue;
    }
    broken("after the rules had settled the call, the core still logged " + json::compact(*event));
  }
  events_ = nullptr;
  if (!problem_.empty()) return Err{problem_};
  return Done{};
}

void LinkModel::broken(std::string problem) {
  if (problem_.empty()) problem_ = std::move(problem);
}

void LinkModel::count(const CoreRequest& r) {
  ++faults_[r.method == "hello" ? "requests: hello" : "requests: other"];
  for (const std::string& part : r.faults) {
    std::string kind = part;
    if (part == "none") {
      kind = "no fault";
    } else if (part == "junk") {
      kind = r.bad_utf8_at >= 0      ? "noise with an invalid UTF-8 line"
             : r.junk >= kLineBudget ? "noise past the 64-line budget"
             : r.junk >= 58          ? "noise up to the budget (58-63 lines)"
                                     : "noise (1-5 lines)";
    } else if (part == "refuse") {
      kind = "refused hello: " + r.refusal;
    } else if (part == "wrong_version") {
      kind = "refused hello: protocol version 2";
    }
    ++faults_[kind];
  }
}

}  // namespace soak
