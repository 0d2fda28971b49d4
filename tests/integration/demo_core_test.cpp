// The demo core as its users meet it: a process that listens on a socket and
// answers the core protocol. Each test starts it on a fresh socket and talks
// to it with a raw socket client.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "json.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

int connect_to(const fs::path& socket) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, socket.c_str(), sizeof addr.sun_path - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
  close(fd);
  return -1;
}

// The demo core as a child process, its standard error kept in a file.
class CoreProcess {
 public:
  CoreProcess(const fs::path& dir, std::vector<std::string> args) : err_(dir / "stderr.txt") {
    args.insert(args.begin(), TRELVO_DEMO_CORE_BIN);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if ((pid_ = fork()) == 0) {
      dup2(open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
      execv(argv[0], argv.data());
      _exit(127);
    }
  }
  ~CoreProcess() { stop(); }
  // The exit status once it has ended (-1 if a signal ended it); nullopt
  // while it still runs and `block` is false.
  std::optional<int> wait_exit(bool block = true) {
    if (!status_ && pid_ > 0 && waitpid(pid_, &raw_, block ? 0 : WNOHANG) == pid_) {
      status_ = WIFEXITED(raw_) ? WEXITSTATUS(raw_) : -1;
    }
    return status_;
  }
  std::optional<int> stop() {
    if (!wait_exit(false) && pid_ > 0) kill(pid_, SIGTERM);
    return wait_exit();
  }
  std::string stderr_text() const {
    std::ostringstream text;
    text << std::ifstream(err_).rdbuf();
    return text.str();
  }

 private:
  fs::path err_;
  pid_t pid_ = -1;
  int raw_ = 0;
  std::optional<int> status_;
};

// One connection to the core: writes request lines, reads reply lines.
class RawClient {
 public:
  explicit RawClient(const fs::path& socket) : fd_(connect_to(socket)) {
    signal(SIGPIPE, SIG_IGN);  // a core that hangs up must fail the test, not kill it
  }
  ~RawClient() { close(fd_); }
  bool connected() const { return fd_ >= 0; }

  void send_line(const std::string& line) {
    std::string bytes = line + "\n";
    EXPECT_EQ(::send(fd_, bytes.data(), bytes.size(), 0), std::ssize(bytes));
  }
  // The next reply, parsed; null when none arrives (no byte for five seconds).
  Json read_reply() {
    std::size_t nl;
    while ((nl = buffer_.find('\n')) == std::string::npos) {
      pollfd p{fd_, POLLIN, 0};
      char chunk[65536];
      ssize_t n = poll(&p, 1, 5000) > 0 ? recv(fd_, chunk, sizeof chunk, 0) : 0;
      if (n <= 0) return nullptr;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
    auto reply = json::parse(buffer_.substr(0, nl));
    buffer_.erase(0, nl + 1);
    return reply ? reply.value() : Json{{"unparsable", true}};
  }
  Json call(const std::string& method, const Json& params = nullptr) {
    Json request = {{"id", next_id_++}, {"method", method}};
    if (!params.is_null()) request["params"] = params;
    send_line(json::compact(request));
    return read_reply();
  }
  Json hello() { return call("hello", {{"clientKind", "mcp"}, {"protocolVersion", 1}}); }

 private:
  int fd_;
  std::string buffer_;
  std::uint64_t next_id_ = 1;
};

std::string error_code(const Json& reply) {
  const Json* error = json::find(reply, "error");
  return error ? json::get_or(*error, "code", "").get<std::string>() : "";
}

class DemoCoreTest : public ::testing::Test {
 protected:
  // Starts the demo core with `args` on the test's socket, connects, and says hello if `greet`.
  void start(std::vector<std::string> args = {}, bool greet = true) {
    client_.reset();
    core_.reset();
    args.insert(args.begin(), {"--socket", socket_.string()});
    core_.emplace(dir_, std::move(args));
    for (int tries = 0; tries < 500 && !client_; ++tries) {  // until the core listens
      if (RawClient c(socket_); c.connected()) {
        client_.emplace(socket_);
      } else {
        ASSERT_FALSE(core_->wait_exit(false)) << core_->stderr_text();
        std::this_thread::sleep_for(10ms);
      }
    }
    ASSERT_TRUE(client_ && client_->connected());
    if (greet) {
      ASSERT_EQ(client_->hello()["result"]["acceptedClientKind"], "mcp");
    }
  }
  void TearDown() override {
    client_.reset();
    core_.reset();
    fs::remove_all(dir_);
  }
  Json flows(Json params) {
    params["newestFirst"] = json::get_or(params, "newestFirst", true);
    params["limit"] = json::get_or(params, "limit", 2000u);
    return client_->call("flow.list", params)["result"];
  }

  fs::path dir_ = [] {
    char name[] = "/tmp/democore.XXXXXX";  // short enough for a socket path
    return fs::path(mkdtemp(name));
  }();
  fs::path socket_ = dir_ / "core.sock";
  std::optional<CoreProcess> core_;
  std::optional<RawClient> client_;
};

TEST_F(DemoCoreTest, HelloComesFirstAndAcceptsOnlyVersionOneFromMcpClients) {
  start({}, false);
  EXPECT_EQ(error_code(client_->call("mcp.status")), "hello_required");
  EXPECT_EQ(error_code(client_->call("hello", {{"clientKind", "mcp"}, {"protocolVersion", 2}})),
            "version_mismatch");
  EXPECT_EQ(error_code(client_->call("hello", {{"clientKind", "cli"}, {"protocolVersion", 1}})),
            "unsupported_client");
  Json hello = client_->hello();
  EXPECT_EQ(hello["id"], 4u);
  EXPECT_TRUE(json::is_uint(hello["result"]["protocolVersion"]));
  EXPECT_EQ(hello["result"]["protocolVersion"], 1u);
  EXPECT_EQ(hello["result"]["acceptedClientKind"], "mcp");
}

TEST_F(DemoCoreTest, FlowListFiltersKeepTheNewestLimitListedOldestFirstWithTheMatchedTotal) {
  struct Case {
    Json params;
    std::uint64_t matched;
    std::vector<std::uint64_t> seqs;
  } cases[] = {
      {{{"host", "AUTH.NimbusMart.test"}}, 3, {3, 4, 29}},
      {{{"host", "nimbusmart.test"}}, 1, {13}},  // not a suffix match
      {{{"pathContains", "CART"}, {"method", "delete"}}, 1, {27}},
      {{{"status", "4xx"}}, 2, {3, 26}},
      {{{"status", "503"}}, 1, {10}},
      {{{"limit", 3}}, 34, {32, 33, 34}},
      {{{"limit", 2}, {"newestFirst", false}}, 34, {1, 2}},
      {{{"sinceSeq", 30}}, 4, {31, 32, 33, 34}},
      {{{"limit", 0}}, 34, {}},
  };
  start();
  for (const Case& c : cases) {
    Json listed = flows(c.params);
    std::vector<std::uint64_t> seqs;
    for (const Json& f : listed["flows"]) seqs.push_back(f["seq"]);
    EXPECT_EQ(listed["matchedTotal"], c.matched) << json::compact(c.params);
    EXPECT_EQ(seqs, c.seqs) << json::compact(c.params);
  }
}

TEST_F(DemoCoreTest, RefusalsCarryTheirErrorCodes) {
  struct Case {
    std::string disable, method, params, code;
  } cases[] = {
      {"", "flow.getDetail", R"({"flowId":7})", "not_found"},
      {"", "wir.evaluate", R"({"pageHandle":"pg-gone","expression":"1"})", "page_not_found"},
      {"", "wir.consoleMessages", R"({"pageHandle":"pg-gone"})", "page_not_found"},
      {"", "flow.list", R"({"status":"teapot"})", "invalid_params"},
      {"", "flow.purge", "null", "unknown_method"},
      {"eval", "wir.evaluate", R"({"pageHandle":"pg-3f9a1c07","expression":"1"})", "EVAL_DISABLED"},
      {"console", "wir.consoleMessages", R"({"pageHandle":"pg-3f9a1c07"})",
       "CONSOLE_READ_DISABLED"},
      {"inspection", "wir.snapshot", "null", "inspection_disabled"},
      {"mcp", "hello", R"({"clientKind":"mcp","protocolVersion":1})", "MCP_DISABLED"},
  };
  for (const Case& c : cases) {
    if (!core_) start();
    if (!c.disable.empty()) start({"--disable", c.disable}, c.method != "hello");
    EXPECT_EQ(error_code(client_->call(c.method, json::parse(c.params).value())), c.code)
        << c.method;
  }
}

TEST_F(DemoCoreTest, HarEntriesAreServedAsFlowsWithWhatTheyHave) {
  start({"--har", (fs::path(__FILE__).parent_path() / "../../demo-core/sample.har").string()});
  Json listed = flows({});
  ASSERT_EQ(listed["matchedTotal"], 6u);
  Json first = listed["flows"][0];
  EXPECT_EQ(first["path"], "/v3/accounts?include=balances");
  EXPECT_EQ(first["ts"], 1709634093123u);
  Json image = client_->call("flow.getDetail", {{"flowId", listed["flows"][1]["flowId"]}});
  EXPECT_EQ(image["result"]["summary"]["contentType"], "image/png");
  EXPECT_EQ(image["result"]["respBodyB64"].get<std::string>().substr(0, 8), "iVBORw0K");
  Json transfer = client_->call("flow.getDetail", {{"flowId", listed["flows"][2]["flowId"]}});
  EXPECT_EQ(transfer["result"]["reqBodyMeta"]["total"], 94u);
  EXPECT_EQ(transfer["result"]["respHeaders"][1],
            Json::array({"location", "/v3/transfers/tr_9f02"}));
  Json refused = listed["flows"][4];
  EXPECT_EQ(refused["completed"], false);
  EXPECT_EQ(refused["error"], "Connection refused");
  EXPECT_TRUE(refused["status"].is_null());
}

TEST_F(DemoCoreTest, ABrowserExportedHarIsServedEntryByEntry) {
  start({"--har", (fs::path(__FILE__).parent_path() / "../data/browser-export.har").string()});
  Json listed = flows({{"newestFirst", false}});
  ASSERT_EQ(listed["matchedTotal"], 6u);
  std::vector<std::string> seen;
  for (const Json& f : listed["flows"]) {
    seen.push_back(f["method"].get<std::string>() + " " + f["path"].get<std::string>() + " " +
                   std::to_string(f["status"].get<std::uint64_t>()));
    EXPECT_EQ(f["host"], "127.0.0.1:39433");
    EXPECT_TRUE(f["completed"]);
  }
  EXPECT_EQ(seen,
            (std::vector<std::string>{"GET / 200", "GET /style.css 200", "GET /logo.png 200",
                                      "GET /api/items?page=1&sort=recent 200",
                                      "POST /api/orders 201", "GET /api/discounts/SPRING 404"}));
  auto detail = [&](int i) {
    return client_->call("flow.getDetail", {{"flowId", listed["flows"][i]["flowId"]}})["result"];
  };
  Json image = detail(2);
  EXPECT_EQ(image["summary"]["contentType"], "image/png");
  EXPECT_EQ(image["respBodyMeta"]["total"], 291u);
  EXPECT_EQ(image["respBodyB64"].get<std::string>().substr(0, 11), "iVBORw0KGgo");
  Json order = detail(4);  // {"item":2,"quantity":3,"note":"leave at door"}
  EXPECT_EQ(order["reqBodyB64"],
            "eyJpdGVtIjoyLCJxdWFudGl0eSI6Mywibm90ZSI6ImxlYXZlIGF0IGRvb3IifQ==");
  EXPECT_EQ(order["reqBodyMeta"]["truncated"], false);
}

TEST_F(DemoCoreTest, AFileThatIsNotHarEndsWithStatusTwoAndOneLineOnStandardError) {
  for (std::string text : {"{\"log\":{\"version\":\"1.2\"}}", "not json at all", "[]"}) {
    fs::path har = dir_ / "bad.har";
    std::ofstream(har) << text;
    CoreProcess core(dir_, {"--socket", socket_.string(), "--har", har.string()});
    EXPECT_EQ(core.wait_exit(), 2) << text;
    std::string err = core.stderr_text();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find("bad.har"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(socket_));
  }
}

TEST_F(DemoCoreTest, AStaleSocketIsReplacedAndTheSocketIsRemovedOnSigterm) {
  int stale = socket(AF_UNIX, SOCK_STREAM, 0);  // a socket file left behind by a core that died
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, socket_.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  close(stale);
  start();
  EXPECT_EQ(core_->stop(), 0);
  EXPECT_EQ(core_->stderr_text(), "trelvo-demo-core: listening on " + socket_.string() + "\n");
  EXPECT_FALSE(fs::exists(socket_));
}

TEST_F(DemoCoreTest, TwoClientsAreServedAtOnceEachWithItsOwnHello) {
  start();
  RawClient other(socket_);
  ASSERT_TRUE(other.connected());
  EXPECT_EQ(error_code(other.call("mcp.status")), "hello_required");
  // The first client asks for the several-MB catalogue and does not read yet;
  // the second is answered meanwhile.
  client_->send_line(R"({"id":99,"method":"flow.getDetail","params":{"flowId":40009}})");
  EXPECT_EQ(other.hello()["result"]["protocolVersion"], 1u);
  EXPECT_TRUE(other.call("mcp.status").contains("result"));
  Json big = client_->read_reply();
  EXPECT_EQ(big["id"], 99u);
  EXPECT_GT(big["result"]["respBodyMeta"]["total"], 2'000'000u);
  EXPECT_TRUE(client_->call("mcp.status").contains("result"));
}

}  // namespace
