// The demo core as its users meet it: a process that listens on a socket and
// answers the core protocol, driven here through a raw socket client.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <list>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fake_core.h"
#include "json.h"
#include "mcp_process.h"
#include "platform.h"
#include "process_memory.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The demo core as a child process. Its standard error comes back through a
// pipe, whose end of file also tells that the core has exited.
struct Core {
  pid_t pid = -1;
  int err = -1;
  std::string err_text;
  rusage usage{};  // what the core used, once finished

  // With `max_files`, the core may hold at most that many descriptors.
  explicit Core(std::vector<std::string> args, rlim_t max_files = 0) {
    args.insert(args.begin(), TRELVO_DEMO_CORE_BIN);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int p[2];
    if (pipe(p) != 0) return;
    if ((pid = fork()) == 0) {
      dup2(p[1], 2);
      for (int fd = 3; fd < 256; ++fd) close(fd);  // only what the core opens itself
      rlimit limit{max_files, max_files};
      if (max_files > 0) setrlimit(RLIMIT_NOFILE, &limit);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(p[1]);
    err = p[0];
  }
  ~Core() { finish(true); }
  // Sends SIGTERM if `terminate`, waits for the end (killing the core after
  // five quiet seconds) and returns the exit status, -1 if a signal ended it.
  int finish(bool terminate) {
    if (pid <= 0) return -2;
    if (terminate) kill(pid, SIGTERM);
    pollfd p{err, POLLIN, 0};
    char chunk[4096];
    ssize_t n;
    while ((n = poll(&p, 1, 5000) > 0 ? read(err, chunk, sizeof chunk) : -1) > 0) {
      err_text.append(chunk, static_cast<std::size_t>(n));
    }
    if (n < 0) kill(pid, SIGKILL);
    int raw = 0;
    wait4(pid, &raw, 0, &usage);
    close(err);
    pid = -1;
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  }
};

// One connection to the core: writes request lines, reads reply lines.
struct Client {
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  std::string buffer;
  std::uint64_t id = 0;

  explicit Client(const fs::path& socket) {
    signal(SIGPIPE, SIG_IGN);  // a core that hangs up must fail the test, not kill it
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket.c_str(), sizeof addr.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) fd = (close(fd), -1);
  }
  ~Client() { close(fd); }
  // Sends a request and returns its reply, or null when no byte arrives for five seconds.
  Json call(const std::string& method, const Json& params = Json::object(), bool read = true) {
    std::string line = json::compact({{"id", ++id}, {"method", method}, {"params", params}}) + "\n";
    EXPECT_EQ(::send(fd, line.data(), line.size(), 0), std::ssize(line));
    std::size_t nl;
    while (read && (nl = buffer.find('\n')) == std::string::npos) {
      pollfd p{fd, POLLIN, 0};
      char chunk[65536];
      ssize_t n = poll(&p, 1, 5000) > 0 ? recv(fd, chunk, sizeof chunk, 0) : 0;
      if (n <= 0) return nullptr;
      buffer.append(chunk, static_cast<std::size_t>(n));
    }
    if (!read) return nullptr;
    auto reply = json::parse(buffer.substr(0, nl));
    buffer.erase(0, nl + 1);
    return reply ? reply.value() : Json{{"unparsable", true}};
  }
  Json hello() { return call("hello", {{"clientKind", "mcp"}, {"protocolVersion", 1}}); }
  std::string error(const std::string& method, const Json& params = Json::object()) {
    return json::get_or(json::get_or(call(method, params), "error", {}), "code", "");
  }
};

class DemoCore : public ::testing::Test {
 protected:
  // Starts the core with `args` on the test's socket and connects (saying hello if `greet`).
  void start(std::vector<std::string> args = {}, bool greet = true) {
    args.insert(args.begin(), {"--socket", socket_.string()});
    core_.emplace(std::move(args));
    auto end = std::chrono::steady_clock::now() + 5s;
    while (client_.emplace(socket_).fd < 0 && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(10ms);  // until the core listens
    }
    ASSERT_GE(client_->fd, 0) << core_->finish(true) << core_->err_text;
    if (!greet) return;
    EXPECT_EQ(client_->hello()["result"]["acceptedClientKind"], "mcp");
  }
  void TearDown() override {
    client_.reset();
    // A core still running must end cleanly on SIGTERM, so that a leak or a
    // sanitizer report in it (both change the exit status) fails the test.
    if (core_ && core_->pid > 0) {
      EXPECT_EQ(core_->finish(true), 0) << core_->err_text;
    }
    core_.reset(), fs::remove_all(dir_);
  }
  Json detail(const Json& flow) {
    return client_->call("flow.getDetail", {{"flowId", flow["flowId"]}})["result"];
  }

  fs::path dir_ = [] {
    char name[] = "/tmp/democore.XXXXXX";  // short enough for a socket path
    return fs::path(mkdtemp(name));
  }();
  fs::path socket_ = dir_ / "core.sock";
  std::optional<Core> core_;
  std::optional<Client> client_;
};

TEST_F(DemoCore, ServesTheSampleCatalogueToClientsThatSayHelloFirst) {
  start();
  kill(core_->pid, SIGKILL);  // a core that dies leaves its socket file behind
  start({}, false);
  EXPECT_EQ(client_->error("mcp.status"), "hello_required");
  EXPECT_EQ(client_->error("hello", {{"clientKind", "mcp"}, {"protocolVersion", 2}}),
            "version_mismatch");
  EXPECT_EQ(client_->error("hello", {{"clientKind", "cli"}, {"protocolVersion", 1}}),
            "unsupported_client");
  EXPECT_EQ(client_->hello()["result"]["acceptedClientKind"], "mcp");

  // flow.list keeps the newest `limit` matches (the oldest if newestFirst is false), listed in
  // seq order, and counts all matches: written as "matchedTotal: seq seq ...".
  std::pair<Json, std::string> cases[] = {
      {{{"host", "AUTH.NimbusMart.test"}}, "3: 3 4 29"},
      {{{"status", "4xx"}}, "2: 3 26"},
      {{{"limit", 3}}, "34: 32 33 34"},
      {{{"limit", 2}, {"newestFirst", false}}, "34: 1 2"},
  };
  for (const auto& [params, expected] : cases) {
    Json listed = client_->call("flow.list", params)["result"];
    std::string seen = json::compact(listed["matchedTotal"]) + ":";
    for (const Json& f : listed["flows"]) seen.append(" ").append(json::compact(f["seq"]));
    EXPECT_EQ(seen, expected) << json::compact(params);
  }
  // Every open question says what would decide it as a list, whatever the compiler.
  const Json findings = client_->call("findings.get");
  for (const Json& item : findings["result"]["items"]) {
    if (item["kind"] == "unknown") {
      EXPECT_TRUE(item["wouldDecide"].is_array()) << item;
    }
  }
  EXPECT_EQ(client_->error("flow.getDetail", {{"flowId", 7}}), "not_found");
  EXPECT_EQ(client_->error("wir.consoleMessages", {{"pageHandle", "pg-gone"}}), "page_not_found");

  // A second client needs its own hello, and is answered while the first
  // has asked for the several-MB catalogue and does not read yet.
  Client other(socket_);
  EXPECT_EQ(other.error("mcp.status"), "hello_required");
  client_->call("flow.getDetail", {{"flowId", 40009}}, false);
  EXPECT_EQ(other.hello()["result"]["protocolVersion"], 1u);
  EXPECT_TRUE(other.call("mcp.status").contains("result"));
  Json big = client_->call("mcp.status");  // the catalogue's reply comes first
  EXPECT_EQ(big["id"], client_->id - 1);
  EXPECT_GT(big["result"]["respBodyMeta"]["total"], 2'000'000u);

  EXPECT_EQ(core_->finish(true), 0);
  EXPECT_EQ(core_->err_text, "trelvo-demo-core: listening on " + socket_.string() + "\n");
  EXPECT_FALSE(fs::exists(socket_));
}

TEST_F(DemoCore, APageEvaluatesArithmeticAndLiteralsAndExplainsAnythingElse) {
  start();
  auto eval = [&](const char* expression) {
    Json r =
        client_->call("wir.evaluate", {{"pageHandle", "pg-3f9a1c07"}, {"expression", expression}});
    return json::compact(r["result"]["result"]) +
           (r["result"]["wasThrown"] == true ? " thrown" : "");
  };
  const std::pair<const char*, const char*> cases[] = {
      {"1+1", "2"},
      {" (2 + 3) * -4 % 7 ", "-6"},
      {"10 / 4", "2.5"},
      {"1 / 0", R"("Infinity")"},
      {"'a' + 1 + 2", R"("a12")"},
      {"1 + 2 + 'a'", R"("3a")"},
      {"\"x\" * 2", R"("NaN")"},
      {"!0", "true"},
      {"null", "null"},
      {".5e1", "5"},
      {"document.title", "\"Deals \xE2\x80\x94 NimbusMart\""},
  };
  for (const auto& [expression, expected] : cases)
    EXPECT_EQ(eval(expression), expected) << expression;
  // Everything else, a syntax error included, is explained the same way.
  const std::string deep = std::string(100, '(') + "1" + std::string(100, ')');
  for (const std::string& other : {std::string("1 +"), std::string("basket.total"), deep}) {
    EXPECT_NE(eval(other.c_str()).find("a demo page evaluates arithmetic"), std::string::npos)
        << other;
  }
}

TEST_F(DemoCore, ADisabledSwitchRefusesWithItsCode) {
  start({"--disable", "eval"});
  EXPECT_EQ(client_->error("wir.evaluate", {{"pageHandle", "pg-3f9a1c07"}, {"expression", "1"}}),
            "EVAL_DISABLED");
}

// The archives we ship: a hand-written one (a refused connection, a binary body) and one
// recorded by a browser, listed oldest first as "method path status".
TEST_F(DemoCore, ServesTheArchivesWeShip) {
  const struct {
    const char* file;
    std::string listing;
    int png;  // the flow with an image body
  } cases[] = {
      {"../../demo-core/sample.har",
       "GET /v3/accounts?include=balances 200\nGET /img/cards/everyday@3x.png 200\n"
       "POST /v3/transfers 201\nGET /v3/statements/2024-02.pdf 401\nPOST /v1/events null\n"
       "GET /v3/notifications null\n",
       1},
      {"../data/browser-export.har",
       "GET / 200\nGET /style.css 200\nGET /logo.png 200\n"
       "GET /api/items?page=1&sort=recent 200\nPOST /api/orders 201\n"
       "GET /api/discounts/SPRING 404\n",
       2},
  };
  for (const auto& c : cases) {
    start({"--har", (fs::path(__FILE__).parent_path() / c.file).string()});
    Json listed = client_->call("flow.list", {{"newestFirst", false}})["result"];
    std::string seen;
    for (const Json& f : listed["flows"]) {
      seen += f["method"].get<std::string>() + " " + f["path"].get<std::string>() + " " +
              json::compact(f["status"]) + "\n";
    }
    EXPECT_EQ(seen, c.listing) << c.file;
    EXPECT_EQ(detail(listed["flows"][c.png])["respBodyB64"].get<std::string>().substr(0, 8),
              "iVBORw0K");
    TearDown();
  }
}

// Escapes, surrogate pairs, numbers with fraction and exponent, and a base64 body.
TEST_F(DemoCore, ReadsEscapesNumbersAndBodiesOfAHar) {
  std::ofstream(dir_ / "hand.har") << R"({"log": {"entries": [{
    "startedDateTime": "2024-03-05T10:21:33.5+01:00", "time": 1.25e2,
    "request": {"method": "POST", "url": "https://api.example.test/caf\u00e9?q=\ud83d\ude00",
      "headers": [{"name": "X-Note", "value": "a\tb \"q\" c\\d \/ \u0041"}],
      "postData": {"text": "{\"a\":1}"}},
    "response": {"status": 201, "content": {"size": 3, "text": "AP8A", "encoding": "base64"}}
  }]}})";
  start({"--har", (dir_ / "hand.har").string()});
  Json flow = client_->call("flow.list")["result"]["flows"][0];
  EXPECT_EQ(flow["ts"], 1709630493500u);
  EXPECT_EQ(flow["durationMs"], 125u);
  EXPECT_EQ(flow["path"], "/caf\xC3\xA9?q=\xF0\x9F\x98\x80");
  Json got = detail(flow);
  EXPECT_EQ(got["reqHeaders"], Json::parse(R"([["X-Note", "a\tb \"q\" c\\d / A"]])"));
  EXPECT_EQ(got["reqBodyB64"], "eyJhIjoxfQ==");  // {"a":1}
  EXPECT_EQ(got["respBodyB64"], "AP8A");
}

// Entries are cut from the text where its brackets are: brackets and quotes inside strings, items
// that are not entries, a repeated "entries" and a repeated key change nothing.
TEST_F(DemoCore, ReadsTheEntriesWhereverTheirBracketsStand) {
  std::ofstream(dir_ / "cut.har") << R"({"log": {
    "entries": [{"request": {"method": "DELETE", "url": "http://gone.test/"}}],
    "comment": "]}]\"[{",
    "entries": [1, "{", [{}], "",
      {"request": {"method": "GET", "url": "http://a.test/x]}\\",
                   "headers": [{"name": "[", "value": "\"}"}]}},
      {"request": {"method": "PUT", "method": "POST", "url": "http://b.test/"}}]}})";
  start({"--har", (dir_ / "cut.har").string()});
  Json listed = client_->call("flow.list", {{"newestFirst", false}})["result"];
  std::string seen;
  for (const Json& f : listed["flows"]) {
    seen += f["method"].get<std::string>() + " " + f["path"].get<std::string>() + "\n";
  }
  EXPECT_EQ(seen, "GET /x]}\\\nPOST /\n");
}

// With an archive, every answer describes the archive: the status and the pages come from it and
// nothing of the built-in capture shows (its page handles included).
TEST_F(DemoCore, AHarAloneMakesTheStatusAndThePages) {
  std::ofstream(dir_ / "paged.har") << R"({"log": {
    "pages": [{"id": "p1", "title": "Basket"}, {"id": "p2", "title": "Never loaded"}, {"title": "?"}],
    "entries": [
      {"pageref": "p1", "startedDateTime": "2024-03-05T10:00:02Z",
       "request": {"method": "GET", "url": "https://shop.example.test/basket?x=1",
                   "headers": [{"name": "User-Agent", "value": "Probe/1"}]}},
      {"pageref": "p1", "startedDateTime": "2024-03-05T10:00:03Z",
       "request": {"method": "GET", "url": "https://shop.example.test/api/items"}},
      {"startedDateTime": "2024-03-05T10:00:01Z",
       "request": {"method": "GET", "url": "http://plain.example.test/"}},
      {"startedDateTime": "2024-03-05T10:00:04Z",
       "request": {"method": "POST", "url": "https://API.example.test:8443/v1"}}]}})";
  start({"--har", (dir_ / "paged.har").string()});
  Json status = client_->call("mcp.status")["result"];
  EXPECT_EQ(status["flowCount"], 4u);
  EXPECT_EQ(status["oldestFlowTs"], 1709632801000u);
  EXPECT_EQ(status["decryptHosts"],
            Json::parse(R"(["api.example.test:8443", "shop.example.test"])"));
  Json snapshot = client_->call("wir.snapshot")["result"];
  ASSERT_EQ(snapshot["devices"].size(), 1u);
  EXPECT_EQ(snapshot["devices"][0]["apps"][0]["pages"], Json::parse(R"([
    {"pageHandle": "p1", "title": "Basket", "url": "https://shop.example.test/basket?x=1",
     "state": "background"},
    {"pageHandle": "p2", "title": "Never loaded", "url": "", "state": "background"}])"));
  auto eval = [&](const char* expression) {
    return client_->call("wir.evaluate",
                         {{"pageHandle", "p1"}, {"expression", expression}})["result"];
  };
  EXPECT_EQ(eval("navigator.userAgent")["result"], "Probe/1");
  EXPECT_EQ(eval("basket.total")["wasThrown"], true);
  EXPECT_EQ(client_->call("wir.consoleMessages", {{"pageHandle", "p1"}})["result"]["messages"],
            Json::array());
  EXPECT_EQ(client_->error("wir.consoleMessages", {{"pageHandle", "pg-3f9a1c07"}}),
            "page_not_found");
  std::string everything = json::compact(status) + json::compact(snapshot) +
                           json::compact(client_->call("findings.get")["result"]);
  EXPECT_EQ(everything.find("nimbusmart"), std::string::npos) << everything;
}

TEST_F(DemoCore, ABusyCoreKeepsItsSocketWhenASecondCoreStarts) {
  start();
  kill(core_->pid, SIGSTOP);  // accepts nothing until continued
  std::vector<int> queued = fill_listen_queue(socket_.string());
  Core second({"--socket", socket_.string()});
  EXPECT_EQ(second.finish(false), 2);
  EXPECT_NE(second.err_text.find("already listening"), std::string::npos) << second.err_text;
  kill(core_->pid, SIGCONT);
  for (int fd : queued) close(fd);
  EXPECT_TRUE(client_->call("mcp.status").contains("result"));
  // A core that stops takes its socket and lock with it.
  client_.reset();
  EXPECT_EQ(core_->finish(true), 0);
  EXPECT_FALSE(fs::exists(socket_));
  EXPECT_FALSE(fs::exists(socket_.string() + ".lock"));
}

TEST_F(DemoCore, ASocketFileNoCoreLeftIsReplacedOnlyWhereARefusalMeansNobodyListens) {
  // Another program's socket, bound and closed: a connect to it is refused.
  int other = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, socket_.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(other, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ::close(other);
  if (platform::connect_refused(ECONNREFUSED) == platform::Refused::No) {
    start();
    EXPECT_TRUE(client_->call("mcp.status").contains("result"));
  } else {
    // Where a busy listener refuses too, the file is not ours to remove.
    Core second({"--socket", socket_.string()});
    EXPECT_EQ(second.finish(false), 2);
    EXPECT_NE(second.err_text.find("remove it if nothing listens there"), std::string::npos)
        << second.err_text;
    EXPECT_TRUE(fs::exists(socket_));
  }
}

TEST_F(DemoCore, AFileThatIsNotHarEndsWithStatusTwoAndOneLineOnStandardError) {
  // The second is two well-formed entries without a comma between them.
  for (const char* text : {"not json at all", R"({"log": {"entries": [{"request": {}} {}]}})"}) {
    std::ofstream(dir_ / "bad.har") << text;
    Core core({"--socket", socket_.string(), "--har", (dir_ / "bad.har").string()});
    EXPECT_EQ(core.finish(false), 2);
    EXPECT_EQ(core.err_text.find('\n'), core.err_text.size() - 1) << core.err_text;  // one line
    EXPECT_NE(core.err_text.find("bad.har"), std::string::npos) << core.err_text;
    EXPECT_FALSE(fs::exists(socket_));
  }
}

// Peak resident memory of a finished core, in MiB.
long peak_mib(const rusage& usage) {
  return process::peak_kib(usage) / 1024;
}

double cpu_seconds(const rusage& usage) {
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

TEST_F(DemoCore, AClientThatAsksForMuchAndNeverReadsIsDroppedWhileOthersAreServed) {
  start();
  // 200 requests for the several-MB catalogue: well over a GB of replies if
  // all were answered, and many seconds of work.
  Client hog(socket_);
  std::string lines = json::compact({{"id", 0},
                                     {"method", "hello"},
                                     {"params", {{"clientKind", "mcp"}, {"protocolVersion", 1}}}}) +
                      "\n";
  for (int i = 1; i <= 200; ++i) {
    lines +=
        json::compact({{"id", i}, {"method", "flow.getDetail"}, {"params", {{"flowId", 40009}}}}) +
        "\n";
  }
  auto sent_at = std::chrono::steady_clock::now();
  ASSERT_EQ(::send(hog.fd, lines.data(), lines.size(), 0), std::ssize(lines));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(client_->call("mcp.status").contains("result"));

  // Given time to stall, the hog is cut off: what it can still read is what
  // was already in its socket, far less than one catalogue reply.
  std::this_thread::sleep_until(sent_at + 3s);
  std::size_t received = 0;
  pollfd p{hog.fd, POLLIN, 0};
  char chunk[65536];
  ssize_t n = -1;
  while (received < 20'000'000 &&
         (n = poll(&p, 1, 5000) > 0 ? recv(hog.fd, chunk, sizeof chunk, 0) : -1) > 0) {
    received += static_cast<std::size_t>(n);
  }
  EXPECT_EQ(n, 0) << "still connected after " << received << " bytes";
  EXPECT_LT(received, 2'000'000u);
  EXPECT_TRUE(client_->call("mcp.status").contains("result"));

  EXPECT_EQ(core_->finish(true), 0);
  EXPECT_LT(peak_mib(core_->usage), 400);
}

TEST_F(DemoCore, OutOfDescriptorsItWaitsForOneToBeFreedInsteadOfSpinning) {
#ifdef __clang__
  // Under clang, the sanitizers' dynamic type (vptr) check reports errors the
  // core does not have once no descriptor is left.
  if (kAddressSanitizer) GTEST_SKIP() << "clang's vptr check misreports without descriptors";
#endif
  // 16 descriptors: the core's own few and about ten clients; the other
  // clients wait in the listen queue and keep the socket readable.
  core_.emplace(std::vector<std::string>{"--socket", socket_.string()}, 16);
  std::list<Client> clients;  // Client cannot be copied
  for (auto end = std::chrono::steady_clock::now() + 5s; clients.size() < 20;) {
    clients.emplace_back(socket_);
    if (clients.back().fd < 0) {
      clients.pop_back();
      ASSERT_LT(std::chrono::steady_clock::now(), end);
      std::this_thread::sleep_for(10ms);  // until the core listens
    }
  }
  std::this_thread::sleep_for(1s);
  clients.erase(clients.begin(), std::prev(clients.end()));  // frees the accepted ones
  EXPECT_EQ(clients.back().hello()["result"]["acceptedClientKind"], "mcp");
  EXPECT_EQ(core_->finish(true), 0);
  // A core that spins takes about a second; a sanitized one starts slower.
  EXPECT_LT(cpu_seconds(core_->usage), kAddressSanitizer ? 0.7 : 0.4);
}

}  // namespace
