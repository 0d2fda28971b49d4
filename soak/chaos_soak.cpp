// chaos_soak: thousands of mixed calls through trelvo-mcp, one at a time,
// against the demo core in chaos mode. Every response is checked: its id is
// the call's, and its result is exactly what the faults the core logged for
// that call must produce. At the end the server's standard error must be
// empty and its resident memory back within a few MiB of its size after
// warm-up.
//
//   chaos_soak [--seed N] [--calls N] [--mcp PATH] [--core PATH] [--keep]
//
// Prints the faults injected by kind, the calls, the time and the server's
// memory. On the first wrong response it prints the call, the core's log of
// it, what was expected and what came, keeps the files, and exits 1.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "json.h"
#include "link_model.h"
#include "mcp_process.h"
#include "process_memory.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint64_t kDefaultSeed = 1;
constexpr int kDefaultCalls = 5000;
// Memory is measured after this many calls; the first ones go through every
// kind of call twice.
constexpr int kWarmupCalls = 100;
constexpr long kMemoryAllowanceKiB = 8 * 1024;
constexpr auto kResponseWait = 20s;  // every call ends within its 15 s deadline
constexpr auto kSettleWait = 5s;     // the core returns within half a second
constexpr auto kTimeBudget = 3min;

// ---- the calls -------------------------------------------------------------

struct CallKind {
  std::string method;  // "tools/call", "ping" or "tools/list"
  std::string tool;
  Json arguments;
  std::string core_method;  // empty when the server answers by itself
  int weight;
  // The first answer's text is a JSON object; false for calls that answer
  // with an error.
  bool answered;
};

std::vector<CallKind> call_kinds() {
  auto tool = [](std::string name, Json args, std::string core, int weight, bool answered) {
    return CallKind{"tools/call",    std::move(name), std::move(args),
                    std::move(core), weight,          answered};
  };
  return {
      {"ping", "", nullptr, "", 8, true},
      {"tools/list", "", nullptr, "", 1, true},
      tool("get_flow", {{"flow_id", "x"}}, "", 1, false),  // refused before the core
      tool("list_flows", Json::object(), "flow.list", 4, true),
      tool("list_flows", {{"limit", 5}}, "flow.list", 3, true),
      tool("list_flows", {{"since_seq", 20}, {"limit", 10}}, "flow.list", 2, true),
      tool("get_flow", {{"flow_id", 40003}}, "flow.getDetail", 3, true),
      tool("get_flow", {{"flow_id", 40003}, {"include_bodies", true}}, "flow.getDetail", 3, true),
      // A 3.7 MB body, 5 MB on the core's line.
      tool("get_flow", {{"flow_id", 40009}, {"include_bodies", true}}, "flow.getDetail", 1, true),
      tool("get_flow", {{"flow_id", 99999}}, "flow.getDetail", 1, false),
      tool("get_capture_status", Json::object(), "mcp.status", 4, true),
      tool("get_findings", Json::object(), "findings.get", 3, true),
      tool("list_pages", Json::object(), "wir.snapshot", 3, true),
      tool("get_console_messages", {{"page_handle", "pg-3f9a1c07"}}, "wir.consoleMessages", 2,
           true),
      tool("get_console_messages",
           {{"page_handle", "pg-3f9a1c07"}, {"limit", 3}, {"newest_first", false}},
           "wir.consoleMessages", 2, true),
      tool("get_console_messages", {{"page_handle", "pg-nope"}}, "wir.consoleMessages", 1, false),
      tool("evaluate_js", {{"page_handle", "pg-3f9a1c07"}, {"expression", "document.title"}},
           "wir.evaluate", 5, true),
      tool("evaluate_js", {{"page_handle", "pg-51b2e4d0"}, {"expression", "document.title"}},
           "wir.evaluate", 1, false),  // a suspended page
      tool("evaluate_js", {{"page_handle", "pg-3f9a1c07"}, {"expression", "while (true) {}"}},
           "wir.evaluate", 1, false),
  };
}

std::string request_line(const CallKind& kind, const Json& id) {
  Json request = {{"jsonrpc", "2.0"}, {"id", id}, {"method", kind.method}};
  if (kind.method == "tools/call") {
    request["params"] = {{"name", kind.tool}, {"arguments", kind.arguments}};
  }
  return json::compact(request);
}

std::string key_of(const CallKind& kind) {
  return kind.method + " " + kind.tool + " " + json::compact(kind.arguments);
}

// ---- processes and files ---------------------------------------------------

// Starts the chaos core with its standard error in `err`.
pid_t spawn_core(const std::vector<std::string>& args, int err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, err, 2);
  std::vector<std::string> args_copy = args;
  std::vector<char*> argv;
  for (std::string& a : args_copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  char* no_env[] = {nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argv.data(), no_env) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int open_file(const std::string& path, int flags) {
  return ::open(path.c_str(), flags | O_CLOEXEC, 0600);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string mib(long kib) {
  if (kib < 0) return "n/a";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(kib) / 1024.0);
  return text;
}

std::string clip(const std::string& text, std::size_t limit = 2000) {
  if (text.size() <= limit) return text;
  return text.substr(0, limit) + "... (" + std::to_string(text.size()) + " bytes)";
}

// The lines the chaos core appends to its log, as they come.
class LogTail {
 public:
  explicit LogTail(std::string path) : path_(std::move(path)) {}
  ~LogTail() {
    if (fd_ >= 0) ::close(fd_);
  }

  // Records appended since the last call; false when one is not JSON.
  bool take(std::vector<Json>& events, std::vector<std::string>& lines) {
    events.clear();
    lines.clear();
    if (fd_ < 0 && (fd_ = open_file(path_, O_RDONLY)) < 0) return true;  // not created yet
    char chunk[65536];
    for (ssize_t n; (n = ::read(fd_, chunk, sizeof chunk)) > 0;) {
      partial_.append(chunk, static_cast<std::size_t>(n));
    }
    std::size_t from = 0;
    for (std::size_t nl; (nl = partial_.find('\n', from)) != std::string::npos; from = nl + 1) {
      lines.push_back(partial_.substr(from, nl - from));
      auto event = json::parse(lines.back());
      if (!event) return false;
      events.push_back(std::move(event).value());
    }
    partial_.erase(0, from);
    return true;
  }

 private:
  std::string path_;
  int fd_ = -1;
  std::string partial_;
};

// ---- the soak --------------------------------------------------------------

struct Options {
  std::uint64_t seed = kDefaultSeed;
  int calls = kDefaultCalls;
  std::string mcp = TRELVO_MCP_BIN;
  std::string core = TRELVO_DEMO_CORE_BIN;
  bool keep = false;  // keep the log and standard error files after a pass
};

class Soak {
 public:
  explicit Soak(Options options)
      : options_(std::move(options)), kinds_(call_kinds()), random_(options_.seed) {}

  int run() {
    start_ = Clock::now();
    set_up();
    initialize();
    for (call_ = 1; call_ <= options_.calls; ++call_) {
      const CallKind& kind = pick();
      Json id = call_ % 10 == 0 ? Json("soak-" + std::to_string(call_)) : Json(call_);
      one_call(kind, id);
      settle();
      if (call_ == kWarmupCalls) warm_kib_ = process::resident_kib(mcp_->pid());
      if (Clock::now() - start_ > kTimeBudget) {
        fail("the soak ran past three minutes after " + std::to_string(call_) + " calls");
      }
    }
    finish();
    return 0;
  }

 private:
  void set_up() {
    char dir[] = "/tmp/chaos-soak-XXXXXX";
    if (mkdtemp(dir) == nullptr) fail("cannot create a temporary folder");
    dir_ = dir;
    socket_ = dir_ + "/core.sock";
    log_path_ = dir_ + "/chaos.log";
    log_ = std::make_unique<LogTail>(log_path_);

    int core_err = open_file(dir_ + "/core.stderr", O_WRONLY | O_CREAT | O_TRUNC);
    core_pid_ = spawn_core({options_.core, "--socket", socket_, "--chaos",
                            std::to_string(options_.seed), "--chaos-log", log_path_},
                           core_err);
    ::close(core_err);
    if (core_pid_ < 0) fail("cannot start " + options_.core);
    auto until = Clock::now() + kSettleWait;
    while (read_file(dir_ + "/core.stderr").find("listening on") == std::string::npos) {
      if (Clock::now() > until) fail("the chaos core did not start listening");
      std::this_thread::sleep_for(5ms);
    }

    mcp_ = std::make_unique<McpProcess>(socket_, McpProcess::Start{.program = options_.mcp});
  }

  // The host's handshake; trelvo-mcp has connected to the core before it
  // reads it.
  void initialize() {
    request_ =
        R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":)"
        R"("2025-06-18","capabilities":{},"clientInfo":{"name":"chaos_soak","version":"1"}}})";
    send(request_);
    std::string line = response();
    auto parsed = json::parse(line);
    if (!parsed || json::find(parsed.value(), "result") == nullptr) {
      fail("initialize was not answered with a result", "a result", line);
    }
    send(R"({"jsonrpc":"2.0","method":"notifications/initialized"})");
    take_log();
    if (auto started = model_.startup(events_); !started) fail(started.error());
    settle();
  }

  const CallKind& pick() {
    // Every kind twice in order first, so that warm-up has seen them all.
    if (static_cast<std::size_t>(call_) <= 2 * kinds_.size()) {
      return kinds_[static_cast<std::size_t>(call_ - 1) % kinds_.size()];
    }
    int total = 0;
    for (const CallKind& k : kinds_) total += k.weight;
    int roll = static_cast<int>(random_() % static_cast<std::uint64_t>(total));
    for (const CallKind& k : kinds_) {
      if ((roll -= k.weight) < 0) return k;
    }
    return kinds_.back();
  }

  void one_call(const CallKind& kind, const Json& id) {
    request_ = request_line(kind, id);
    auto started = Clock::now();
    send(request_);
    std::string line = response();
    slowest_ = std::max(slowest_, Clock::now() - started);
    take_log();

    auto parsed = json::parse(line);
    if (!parsed) fail("the response is not JSON", "a JSON-RPC response", line);
    const Json& reply = parsed.value();
    const Json* reply_id = json::find(reply, "id");
    if (reply_id == nullptr || *reply_id != id) {
      fail("the response is not to this call", "id " + json::compact(id), line);
    }
    // Results are compared byte for byte after the id, which comes first;
    // errors, where it does not, member by member.
    std::string prefix = "{\"id\":" + json::compact(id) + ",";
    std::string body;
    if (json::find(reply, "error") != nullptr) {
      Json rest = reply;
      rest.erase("id");
      body = json::compact(rest);
    } else if (line.rfind(prefix, 0) == 0) {
      body = line.substr(prefix.size());
    } else {
      fail("the response does not start with its id", prefix, line);
    }

    if (kind.core_method.empty()) {
      if (auto quiet = model_.quiet(events_); !quiet) fail(quiet.error());
      same_as_before(kind, reply, body);
      ++outcomes_["answered by the server itself"];
      return;
    }
    auto expected = model_.call(kind.core_method, events_);
    if (!expected) {
      fail("the core's log disagrees with the server's rules: " + expected.error(), "", line);
    }
    if (expected.value().answered) {
      same_as_before(kind, reply, body);
      ++outcomes_["answered"];
      return;
    }
    const std::string& sentence = expected.value().sentence;
    Json item = Json::object();
    item["text"] = sentence;
    item["type"] = "text";
    Json want = Json::object();
    want["content"] = Json::array({item});
    want["isError"] = true;
    const Json* result = json::find(reply, "result");
    if (result == nullptr || *result != want) {
      fail("a wrong failure result", "the error \"" + sentence + "\"", line);
    }
    ++outcomes_["\"" + sentence + "\""];
  }

  // Every answer to the same call is the same, byte for byte; the first of
  // each has the expected form.
  void same_as_before(const CallKind& kind, const Json& reply, const std::string& body) {
    std::string key = key_of(kind);
    auto known = answers_.find(key);
    if (known != answers_.end()) {
      if (body != known->second) {
        fail("an answer that differs from the first answer to the same call",
             "(after the id) " + clip(known->second), "(after the id) " + clip(body));
      }
      return;
    }
    if (std::string problem = form_problem(kind, reply); !problem.empty()) {
      fail("the first answer to this call is not what it should be: " + problem, "", clip(body));
    }
    answers_.emplace(key, body);
  }

  static std::string form_problem(const CallKind& kind, const Json& reply) {
    const Json* result = json::find(reply, "result");
    if (kind.method == "ping") return result && *result == Json::object() ? "" : "not {}";
    if (kind.method == "tools/list") {
      const Json* tools = result ? json::find(*result, "tools") : nullptr;
      return tools && tools->is_array() && tools->size() == 7 ? "" : "not seven tools";
    }
    if (kind.core_method.empty()) return json::find(reply, "error") ? "" : "not an error";
    const Json* content = result ? json::find(*result, "content") : nullptr;
    const Json* is_error = result ? json::find(*result, "isError") : nullptr;
    if (!content || !content->is_array() || content->size() != 1 || !is_error ||
        !is_error->is_boolean()) {
      return "not a tool result";
    }
    const Json* text = json::find((*content)[0], "text");
    if (!text || !text->is_string() || text->get<std::string>().empty()) return "no text";
    if (*is_error != !kind.answered) return kind.answered ? "an error" : "not an error";
    auto parsed = json::parse(text->get<std::string>());
    if (kind.answered && (!parsed || !parsed.value().is_object())) return "not a JSON object";
    return "";
  }

  // Waits for what the last call set going in the core to be over: the core
  // back up, a connection it closes after its reply closed.
  void settle() {
    auto until = Clock::now() + kSettleWait;
    while (model_.core_down() || model_.closing()) {
      if (Clock::now() > until) {
        fail(model_.core_down() ? "the chaos core did not come back within 5 s"
                                : "the chaos core did not close connection " +
                                      std::to_string(*model_.closing()) + " within 5 s");
      }
      std::this_thread::sleep_for(1ms);
      take_log();
      if (auto quiet = model_.quiet(events_); !quiet) fail(quiet.error());
    }
  }

  void take_log() {
    if (!log_->take(events_, lines_)) fail("the chaos log has a line that is not JSON");
  }

  void send(const std::string& line) {
    if (!mcp_->send_line(line)) fail("trelvo-mcp no longer reads its input");
  }

  std::string response() {
    std::optional<std::string> line = mcp_->read_line(kResponseWait);
    if (!line) fail("no response within 20 s, or the output ended", "a response", "nothing");
    return *line;
  }

  void finish() {
    long peak = process::peak_kib(mcp_->pid());
    long final_kib = process::resident_kib(mcp_->pid());
    // A clean end: no further output, status 0 and nothing on standard error.
    if (std::string end = mcp_->finish(); end != "exit 0") {
      fail("trelvo-mcp did not end cleanly with its input", "exit 0", end);
    }
    stop_core();
    double seconds = std::chrono::duration<double>(Clock::now() - start_).count();

    std::printf(
        "chaos soak: %d calls in %.1f s (seed %llu), every response as the faults require\n",
        options_.calls, seconds, static_cast<unsigned long long>(options_.seed));
    std::printf("  slowest call: %.1f s\n", std::chrono::duration<double>(slowest_).count());
    std::printf("  results:\n");
    for (const auto& [what, count] : outcomes_) std::printf("    %6d  %s\n", count, what.c_str());
    std::printf("  core requests and faults injected:\n");
    for (const auto& [what, count] : model_.faults()) {
      std::printf("    %6d  %s\n", count, what.c_str());
    }
    std::printf("  trelvo-mcp memory: %s resident after warm-up, %s %s, %s resident at the end\n",
                mib(warm_kib_).c_str(), mib(peak).c_str(), process::kPeakName,
                mib(final_kib).c_str());
    if (warm_kib_ >= 0 && final_kib >= 0 && final_kib - warm_kib_ > kMemoryAllowanceKiB) {
      fail("resident memory grew by " + mib(final_kib - warm_kib_) + " after warm-up");
    }
    if (options_.keep) {
      std::printf("  the core log and both programs' standard error are in %s\n", dir_.c_str());
    } else {
      std::filesystem::remove_all(dir_);
    }
  }

  void stop_core() {
    if (core_pid_ <= 0) return;
    ::kill(core_pid_, SIGTERM);
    ::waitpid(core_pid_, nullptr, 0);
    core_pid_ = -1;
  }

  [[noreturn]] void fail(const std::string& what, const std::string& expected = "",
                         const std::string& actual = "") {
    std::fprintf(stderr, "chaos_soak: call %d of %d (seed %llu): %s\n", call_, options_.calls,
                 static_cast<unsigned long long>(options_.seed), what.c_str());
    if (!request_.empty()) std::fprintf(stderr, "  call:     %s\n", request_.c_str());
    if (!lines_.empty()) {
      std::fprintf(stderr, "  core log:\n");
      for (const std::string& line : lines_) std::fprintf(stderr, "    %s\n", clip(line).c_str());
    }
    if (!expected.empty()) std::fprintf(stderr, "  expected: %s\n", expected.c_str());
    if (!actual.empty()) std::fprintf(stderr, "  actual:   %s\n", clip(actual).c_str());
    if (!dir_.empty()) {
      std::fprintf(stderr, "  the whole core log and both programs' standard error are in %s\n",
                   dir_.c_str());
    }
    mcp_.reset();
    stop_core();
    std::exit(1);
  }

  Options options_;
  std::vector<CallKind> kinds_;
  std::mt19937_64 random_;  // the call sequence follows the seed too
  soak::LinkModel model_;
  std::map<std::string, std::string> answers_;  // the first answer to each call
  std::map<std::string, int> outcomes_;

  Clock::time_point start_;
  Clock::duration slowest_{};
  int call_ = 0;
  long warm_kib_ = -1;
  std::string dir_, socket_, log_path_;
  std::unique_ptr<LogTail> log_;
  pid_t core_pid_ = -1;
  std::unique_ptr<McpProcess> mcp_;
  std::string request_;
  std::vector<Json> events_;        // the core's records for the call in progress
  std::vector<std::string> lines_;  // as they were written
};

bool parse_number(const std::string& text, std::uint64_t& out) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::vector<std::string> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size();) {
    const std::string& name = args[i++];
    const std::string value = i < args.size() ? args[i] : "";
    std::uint64_t number = 0;
    if (name == "--keep") {
      options.keep = true;
      continue;
    }
    if (name == "--seed" && parse_number(value, number)) {
      options.seed = number;
    } else if (name == "--calls" && parse_number(value, number) && number > 0 &&
               number <= 1000000) {
      options.calls = static_cast<int>(number);
    } else if (name == "--mcp" && !value.empty()) {
      options.mcp = value;
    } else if (name == "--core" && !value.empty()) {
      options.core = value;
    } else {
      std::fprintf(
          stderr, "usage: chaos_soak [--seed N] [--calls N] [--mcp PATH] [--core PATH] [--keep]\n");
      return 2;
    }
    ++i;
  }
  return Soak(std::move(options)).run();
}
