#include "chaos.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <list>
#include <optional>
#include <vector>

#include "io.h"
#include "server.h"

namespace demo {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::size_t kReadChunk = 64 * 1024;
// Requests are small; a client that sends this much without a line break is
// dropped, and one that has this much unread input is not read from.
constexpr std::size_t kMaxInput = 1024 * 1024;
// How long to wait before trying again when the socket cannot be reopened.
constexpr milliseconds kRelistenRetry{100};
// A stall costs the client its whole line-read limit, so stalls stay rare: at
// most one in this many requests, except that a second may follow the first at
// once (which runs a call into its overall deadline).
constexpr int kStallSpacing = 1200;
constexpr int kStallOdds = 1200;
constexpr int kStallAgainOdds = 2;

// splitmix64: the same numbers from a seed on every platform, which the
// standard library's distributions do not promise.
class Dice {
 public:
  explicit Dice(std::uint64_t seed) : state_(seed) {}

  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [low, high].
  int between(int low, int high) {
    return low + static_cast<int>(next() % static_cast<std::uint64_t>(high - low + 1));
  }
  bool one_in(int n) { return next() % static_cast<std::uint64_t>(n) == 0; }

 private:
  std::uint64_t state_;
};

enum class Ending { Reply, CloseBefore, CloseDuring, CloseAfter, Stall, Down };

// What happens to one request. Noise lines come first, then the delay, then
// the reply (in `writes` pieces), then the ending.
struct Plan {
  int junk = 0;          // noise lines before the reply
  int bad_utf8_at = -1;  // the index of the one invalid UTF-8 line among them
  int delay_ms = 0;
  int writes = 1;
  Ending ending = Ending::Reply;
  std::string refusal;         // a hello refused with this error code
  bool wrong_version = false;  // a hello accepted with protocol version 2
  int down_ms = 0;             // Down: how long the core stays away
  std::size_t sent = 0;        // CloseDuring: bytes of the reply line sent
};

std::string fault_name(const Plan& p) {
  std::string name;
  auto add = [&](const char* part) { name += name.empty() ? part : std::string("+") + part; };
  if (p.junk > 0) add("junk");
  if (p.delay_ms > 0) add("slow");
  if (p.writes > 1) add("split");
  if (!p.refusal.empty()) add("refuse");
  if (p.wrong_version) add("wrong_version");
  switch (p.ending) {
    case Ending::Reply:
      break;
    case Ending::CloseBefore:
      add("close_before");
      break;
    case Ending::CloseDuring:
      add("close_during");
      break;
    case Ending::CloseAfter:
      add("close_after");
      break;
    case Ending::Stall:
      add("stall");
      break;
    case Ending::Down:
      add("down");
      break;
  }
  return name.empty() ? "none" : name;
}

class Chooser {
 public:
  explicit Chooser(std::uint64_t seed) : dice(seed) {}

  // Most requests get no fault. Noise that makes the client give up (past its
  // 64-line budget, or an invalid UTF-8 line) comes only before a whole reply,
  // so what the client leaves unread is always complete lines.
  Plan choose(bool hello) {
    Plan p;
    ++since_stall_;
    bool stall = since_stall_ == 1 && !second_stall_
                     ? dice.one_in(kStallAgainOdds)
                     : since_stall_ >= kStallSpacing && dice.one_in(kStallOdds);
    if (stall) {
      second_stall_ = since_stall_ == 1;
      since_stall_ = 0;
      p.ending = Ending::Stall;
      if (dice.one_in(3)) p.junk = dice.between(1, 5);
      return p;
    }
    int roll = dice.between(0, 999);
    auto take = [&](int per_mille) { return (roll -= per_mille) < 0; };
    if (take(600)) return p;
    if (take(70)) {
      p.junk = dice.between(1, 5);
    } else if (take(15)) {
      p.junk = dice.between(58, 63);  // near the budget: still answered
    } else if (take(15)) {
      p.junk = dice.between(64, 70);  // past it
    } else if (take(15)) {
      p.junk = dice.between(1, 40);
      p.bad_utf8_at = dice.between(0, p.junk - 1);
    } else if (take(30)) {
      p.delay_ms = dice.one_in(3) ? dice.between(100, 300) : dice.between(20, 80);
    } else if (take(35)) {
      p.ending = Ending::CloseBefore;
    } else if (take(40)) {
      p.ending = Ending::CloseDuring;
    } else if (take(hello ? 0 : 40)) {
      // Not after a hello: the client writes its request at once, so whether
      // it meets the open or the closed connection would be a race.
      p.ending = Ending::CloseAfter;
    } else if (take(hello ? 40 : 0)) {
      p.refusal = "MCP_DISABLED";
    } else if (take(hello ? 30 : 0)) {
      p.refusal = "version_mismatch";
    } else if (take(hello ? 30 : 0)) {
      p.wrong_version = true;
    } else if (take(5)) {
      p.ending = Ending::Down;
      p.down_ms = dice.between(150, 500);
      return p;
    } else {
      p.writes = dice.between(2, 32);
    }
    // Now and then two faults at once.
    if (p.junk == 0 && dice.one_in(5)) p.junk = dice.between(1, 5);
    bool reply_sent = p.ending != Ending::CloseBefore;
    if (reply_sent && p.writes == 1 && dice.one_in(6)) p.writes = dice.between(2, 32);
    return p;
  }

  Dice dice;

 private:
  int since_stall_ = kStallSpacing / 2;  // none in the first few hundred requests
  bool second_stall_ = true;             // the last stall followed another
};

// ---- noise lines -----------------------------------------------------------

// An id that differs from `own`: a reply to an earlier request, to one far in
// the future, or one the client cannot have sent.
Json wrong_id(Dice& d, const Json& own) {
  std::uint64_t n = own.is_number_unsigned() ? own.get<std::uint64_t>() : 0;
  Json id;
  switch (d.between(0, 4)) {
    case 0:
      id = n + 1000000 + static_cast<std::uint64_t>(d.between(0, 999));
      break;
    case 1:
      id = n > 0 ? n - 1 : n + 1000000;
      break;
    case 2:
      id = std::to_string(n);
      break;
    case 3:
      id = -static_cast<std::int64_t>(n % 1000000) - 1;
      break;
    default:
      id = nullptr;
      break;
  }
  return id == own ? Json(n + 2000000) : id;
}

std::string wrong_id_line(Dice& d, const Json& own) {
  switch (d.between(0, 3)) {
    case 0:
      return json::compact({{"id", wrong_id(d, own)}, {"result", Json::object()}});
    case 1:
      return json::compact({{"id", wrong_id(d, own)}, {"result", {{"late", true}}}});
    case 2:
      return json::compact(
          {{"id", wrong_id(d, own)}, {"error", {{"code", "not_found"}, {"message", "not yours"}}}});
    default:
      return R"({"method":"core.event","params":{"kind":"flow"}})";  // no id at all
  }
}

std::string invalid_json_line(Dice& d, const Json& own) {
  switch (d.between(0, 4)) {
    case 0:
      return R"({"id":)" + json::compact(own) + R"(,"result":)";  // our id, cut short
    case 1:
      return R"({"id":)" + json::compact(own) + R"(,"result":{}}})";  // one brace too many
    case 2:
      return "";
    case 3:
      return "[1,2,3";
    default:
      return "not json";
  }
}

std::string invalid_utf8_line(Dice& d, const Json& own) {
  switch (d.between(0, 3)) {
    case 0:
      return R"({"id":)" + json::compact(own) + R"(,"result":")" + "\xC3\x28" + R"("})";
    case 1:
      return R"({"id":)" + json::compact(own) + R"(,"result":{"t":")" + "\xED\xA0\x80" + R"("}})";
    case 2:
      return "\xC0\xAF";
    default:
      return "\xFF\xFE";
  }
}

// One noise line with its line feed; some are longer than a client's read
// buffer.
std::string noise_line(Dice& d, const Json& own, bool bad_utf8) {
  std::string line;
  if (bad_utf8) {
    line = invalid_utf8_line(d, own);
  } else if (d.one_in(20)) {
    line = json::compact(
        {{"id", nullptr}, {"result", {{"pad", std::string(d.between(8, 24) * 1024, 'x')}}}});
  } else {
    line = d.one_in(2) ? wrong_id_line(d, own) : invalid_json_line(d, own);
  }
  line += '\n';
  return line;
}

// ---- the event log ---------------------------------------------------------

class EventLog {
 public:
  EventLog() = default;
  ~EventLog() {
    if (fd_ >= 0) ::close(fd_);
  }
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  Result<Done, std::string> open(const std::string& path) {
    if (path.empty()) return Done{};
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0) return Err{"cannot write " + path + ": " + std::strerror(errno)};
    return Done{};
  }

  // Written with one write() and no buffering of our own: a reader sees it
  // before anything that follows it happens.
  void write(Json event) {
    if (fd_ < 0) return;
    event["t"] = std::chrono::duration_cast<milliseconds>(Clock::now() - start_).count();
    std::string line = json::compact(event);
    line += '\n';
    std::string_view rest = line;
    while (!rest.empty()) {
      ssize_t n = ::write(fd_, rest.data(), rest.size());
      if (n > 0) {
        rest.remove_prefix(static_cast<std::size_t>(n));
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        return;
      }
    }
  }

 private:
  int fd_ = -1;
  Clock::time_point start_ = Clock::now();
};

// ---- connections -----------------------------------------------------------

struct Step {
  Clock::time_point at;
  std::string bytes;
  bool close = false;  // close the connection instead of writing
};

struct Peer {
  std::uint64_t number = 0;
  int fd = -1;
  std::string in;
  Outbox out;
  std::deque<Step> steps;  // of the request in progress; the next waits for them
  bool peer_done = false;  // the client sends nothing more
  bool closed = false;     // to be closed and forgotten
  Connection connection;
};

// The reply cut into `writes` pieces at random places.
std::vector<std::string> pieces(Dice& d, const std::string& text, int writes) {
  std::vector<std::size_t> cuts;
  std::size_t count = std::min<std::size_t>(static_cast<std::size_t>(writes), text.size());
  for (std::size_t i = 1; i < count; ++i) {
    cuts.push_back(1 + d.next() % (text.size() - 1));
  }
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  std::vector<std::string> out;
  std::size_t from = 0;
  for (std::size_t cut : cuts) {
    out.push_back(text.substr(from, cut - from));
    from = cut;
  }
  out.push_back(text.substr(from));
  return out;
}

class ChaosCore {
 public:
  ChaosCore(int listen_fd, SocketClaim& claim, Capture& capture, const Switches& switches,
            std::uint64_t seed, EventLog& log)
      : listener_(listen_fd),
        claim_(claim),
        capture_(capture),
        switches_(switches),
        chooser_(seed),
        log_(log) {}

  void run(int stop_fd) {
    PollSet fds(stop_fd);
    std::vector<Peer*> polled;
    for (;;) {
      polled.clear();
      bool listening = listener_ >= 0 && Clock::now() >= accept_after_;
      fds.start(listening ? listener_ : -1);
      for (Peer& p : peers_) {
        short events = 0;
        if (!p.peer_done && p.in.size() < kMaxInput) events |= POLLIN;
        if (p.out.pending() > 0) events |= POLLOUT;
        // A peer that has hung up is not polled at all: it would be reported
        // ready for ever. Its scheduled writes run on time and fail.
        if (events == 0) continue;
        fds.add(p.fd, events);
        polled.push_back(&p);
      }
      if (!fds.wait(next_due())) break;
      for (std::size_t i = 0; i < polled.size(); ++i) {
        if (fds.revents(i + 2) & (POLLIN | POLLHUP | POLLERR)) receive(*polled[i]);
      }
      if (fds.listener_ready()) accept_all();
      for (Peer& p : peers_) advance(p);
      forget_closed();
      if (listener_ < 0 && Clock::now() >= relisten_at_) relisten();
    }
    for (Peer& p : peers_) p.closed = true;
    forget_closed();
    if (listener_ >= 0) ::close(listener_);
  }

 private:
  // When something is next due: a scheduled step, the core's return, or the
  // end of a pause in accepting; none when nothing is.
  std::optional<Clock::time_point> next_due() const {
    std::optional<Clock::time_point> next;
    for (const Peer& p : peers_) {
      if (p.out.pending() == 0 && !p.steps.empty()) keep_earlier(next, p.steps.front().at);
    }
    if (listener_ < 0) keep_earlier(next, relisten_at_);
    if (listener_ >= 0 && accept_after_ > Clock::now()) keep_earlier(next, accept_after_);
    return next;
  }

  void accept_all() {
    bool fine = accept_clients(listener_, [this](int fd) {
      peers_.push_back(Peer{});
      peers_.back().fd = fd;
      peers_.back().number = ++connections_;
      log_.write({{"event", "open"}, {"conn", connections_}});
    });
    if (!fine) accept_after_ = Clock::now() + kAcceptPause;
  }

  static void receive(Peer& p) {
    char buf[kReadChunk];
    while (p.in.size() < kMaxInput) {
      ssize_t n = recv(p.fd, buf, sizeof buf, 0);
      if (n > 0) {
        p.in.append(buf, static_cast<std::size_t>(n));
        continue;
      }
      if (n == 0) {
        p.peer_done = true;
      } else if (errno == EINTR) {
        continue;
      } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
        p.closed = true;
      }
      return;
    }
    if (p.in.find('\n') == std::string::npos) p.closed = true;
  }

  static void flush(Peer& p) {
    if (!p.out.send_to(p.fd)) p.closed = true;
  }

  // Writes what is due, then takes the next request once the last one is
  // done with. Each step goes out in a write of its own.
  void advance(Peer& p) {
    while (!p.closed && !down_) {
      flush(p);
      if (p.closed || p.out.pending() > 0) return;
      if (!p.steps.empty()) {
        Step& step = p.steps.front();
        if (step.at > Clock::now()) return;
        if (step.close) {
          p.closed = true;
          return;
        }
        p.out.push(std::move(step.bytes));
        p.steps.pop_front();
        continue;
      }
      std::size_t newline = p.in.find('\n');
      if (newline == std::string::npos) {
        if (p.peer_done) p.closed = true;
        return;
      }
      std::string line = p.in.substr(0, newline);
      p.in.erase(0, newline + 1);
      take_request(p, line);
    }
  }

  void take_request(Peer& p, std::string_view line) {
    auto parsed = json::parse(line);
    if (!parsed) return;  // like the demo core: no reply to what is not JSON
    const Json& request = parsed.value();
    Json id = json::get_or(request, "id", nullptr);
    Json method = json::get_or(request, "method", nullptr);
    Plan plan = chooser_.choose(method == "hello");

    std::string reply;
    if (!plan.refusal.empty()) {
      reply = json::compact({{"id", id},
                             {"error",
                              {{"code", plan.refusal},
                               {"message", plan.refusal == "MCP_DISABLED"
                                               ? "MCP access is turned off"
                                               : "this core speaks protocol version 2"}}}});
    } else if (plan.wrong_version) {
      reply = json::compact({{"id", id},
                             {"result",
                              {{"protocolVersion", std::uint64_t{2}},
                               {"acceptedClientKind", "mcp"},
                               {"coreVersion", "trelvo-demo-core 0.1.0"}}}});
    } else if (plan.ending != Ending::Down) {
      reply = handle_line(capture_, switches_, p.connection, line).value_or("");
    }
    if (plan.ending == Ending::CloseDuring) {
      plan.sent = reply.size() < 2 ? 0 : 1 + chooser_.dice.next() % (reply.size() - 1);
    }
    log_request(p, id, method, plan);
    if (plan.ending == Ending::Down) {
      go_down(plan.down_ms);
      return;
    }
    schedule(p, plan, id, std::move(reply));
  }

  void log_request(const Peer& p, const Json& id, const Json& method, const Plan& plan) {
    Json event = {{"event", "request"},
                  {"conn", p.number},
                  {"id", id},
                  {"method", method},
                  {"fault", fault_name(plan)}};
    if (plan.junk > 0) event["lines"] = plan.junk;
    if (plan.bad_utf8_at >= 0) event["badUtf8At"] = plan.bad_utf8_at;
    if (plan.delay_ms > 0) event["delayMs"] = plan.delay_ms;
    if (plan.writes > 1) event["writes"] = plan.writes;
    if (!plan.refusal.empty()) event["code"] = plan.refusal;
    if (plan.ending == Ending::CloseDuring) event["sentBytes"] = plan.sent;
    if (plan.ending == Ending::Down) event["downMs"] = plan.down_ms;
    log_.write(std::move(event));
  }

  void schedule(Peer& p, const Plan& plan, const Json& id, std::string reply) {
    Dice& d = chooser_.dice;
    auto at = Clock::now();
    if (plan.junk > 0) {
      std::string noise;
      for (int i = 0; i < plan.junk; ++i) noise += noise_line(d, id, i == plan.bad_utf8_at);
      p.steps.push_back({at, std::move(noise)});
    }
    at += milliseconds(plan.delay_ms);
    std::string text;
    switch (plan.ending) {
      case Ending::CloseBefore:
      case Ending::Stall:
      case Ending::Down:
        break;
      case Ending::CloseDuring:
        text = reply.substr(0, plan.sent);
        break;
      case Ending::Reply:
      case Ending::CloseAfter:
        text = std::move(reply) + "\n";
        break;
    }
    if (!text.empty()) {
      for (std::string& piece : pieces(d, text, plan.writes)) {
        p.steps.push_back({at, std::move(piece)});
        at += milliseconds(d.between(0, 1));
      }
    }
    bool close = plan.ending == Ending::CloseBefore || plan.ending == Ending::CloseDuring ||
                 plan.ending == Ending::CloseAfter;
    if (close) p.steps.push_back({at, {}, true});
  }

  // The socket file goes before any connection closes, so a client that sees
  // its connection end finds nobody listening.
  void go_down(int down_ms) {
    log_.write({{"event", "down"}, {"ms", down_ms}});
    ::close(listener_);
    listener_ = -1;
    ::unlink(claim_.path().c_str());
    for (Peer& p : peers_) p.closed = true;
    down_ = true;
    relisten_at_ = Clock::now() + milliseconds(down_ms);
  }

  void relisten() {
    auto listener = claim_.listen();
    if (!listener) {
      log_.write({{"event", "relisten_failed"}, {"error", listener.error()}});
      relisten_at_ = Clock::now() + kRelistenRetry;
      return;
    }
    listener_ = listener.value();
    down_ = false;
    log_.write({{"event", "up"}});
  }

  void forget_closed() {
    peers_.remove_if([&](const Peer& p) {
      if (!p.closed) return false;
      ::close(p.fd);
      log_.write({{"event", "closed"}, {"conn", p.number}});
      return true;
    });
  }

  int listener_;
  SocketClaim& claim_;
  Capture& capture_;
  const Switches& switches_;
  Chooser chooser_;
  EventLog& log_;
  std::list<Peer> peers_;
  std::uint64_t connections_ = 0;
  bool down_ = false;
  Clock::time_point relisten_at_;
  Clock::time_point accept_after_;
};

}  // namespace

Result<Done, std::string> serve_chaos(int listen_fd, SocketClaim& claim, int stop_fd,
                                      Capture& capture, const Switches& switches,
                                      const ChaosOptions& options) {
  EventLog log;
  if (auto opened = log.open(options.log_path); !opened) {
    ::close(listen_fd);
    return Err{opened.error()};
  }
  ChaosCore(listen_fd, claim, capture, switches, options.seed, log).run(stop_fd);
  return Done{};
}

}  // namespace demo
