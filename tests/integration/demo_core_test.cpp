// The demo core as its users meet it: a process that listens on a socket and
// answers the core protocol. Each test starts it on a fresh socket and talks
// to it with a raw socket client.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "json.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kPatience = 5s;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A fresh directory under /tmp, short enough for a socket path.
class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/democore.XXXXXX";
    path_ = mkdtemp(name);
  }
  ~TempDir() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

struct Env {
  std::string name;
  std::optional<std::string> value;  // nullopt: unset
};

bool accepts_connections(const fs::path& socket) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, socket.c_str(), sizeof addr.sun_path - 1);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

// The demo core as a child process, its standard error kept in a file.
class DemoCoreProcess {
 public:
  DemoCoreProcess(const TempDir& dir, std::vector<std::string> args, std::vector<Env> env = {})
      : stderr_path_(dir.path() / "stderr.txt") {
    pid_ = fork();
    if (pid_ == 0) {
      int err = open(stderr_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(err, 2);
      for (const Env& e : env) {
        if (e.value) {
          setenv(e.name.c_str(), e.value->c_str(), 1);
        } else {
          unsetenv(e.name.c_str());
        }
      }
      std::vector<char*> argv{const_cast<char*>(TRELVO_DEMO_CORE_BIN)};
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
  }
  ~DemoCoreProcess() {
    if (!exited_) stop();
  }

  // Waits (bounded) until the core accepts connections on `socket`; false if
  // it exits or never does.
  bool wait_for_socket(const fs::path& socket) {
    auto end = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < end) {
      if (accepts_connections(socket)) return true;
      if (waitpid(pid_, &status_, WNOHANG) == pid_) {
        exited_ = true;
        return false;
      }
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  // Sends SIGTERM and returns the exit status (-1 if it died otherwise).
  int stop() {
    kill(pid_, SIGTERM);
    return wait_exit();
  }

  int wait_exit() {
    if (!exited_) waitpid(pid_, &status_, 0);
    exited_ = true;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }

  std::string stderr_text() const { return read_file(stderr_path_); }

 private:
  fs::path stderr_path_;
  pid_t pid_ = -1;
  int status_ = 0;
  bool exited_ = false;
};

// One connection to the core: writes request lines, reads reply lines.
class RawClient {
 public:
  explicit RawClient(const fs::path& socket) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket.c_str(), sizeof addr.sun_path - 1);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~RawClient() { close(fd_); }
  bool connected() const { return connected_; }

  void send_line(const std::string& line) {
    std::string bytes = line + "\n";
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, 0);
      if (n <= 0) return;
      done += static_cast<std::size_t>(n);
    }
  }

  // The next reply line, or nullopt when none arrives in time.
  std::optional<std::string> read_line(std::chrono::milliseconds timeout = kPatience) {
    auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (auto nl = buffer_.find('\n'); nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
        return std::nullopt;
      }
      char chunk[65536];
      ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  Json call(const std::string& method, const Json& params = nullptr) {
    Json request = {{"id", next_id_++}, {"method", method}};
    if (!params.is_null()) request["params"] = params;
    send_line(json::compact(request));
    auto line = read_line();
    if (!line) return Json{{"no_reply", true}};
    auto reply = json::parse(*line);
    return reply ? reply.value() : Json{{"unparsable", *line}};
  }

  Json hello() { return call("hello", {{"clientKind", "mcp"}, {"protocolVersion", 1}}); }

 private:
  int fd_ = -1;
  bool connected_ = false;
  std::string buffer_;
  std::uint64_t next_id_ = 1;
};

std::string error_code(const Json& reply) {
  const Json* error = json::find(reply, "error");
  return error ? json::get_or(*error, "code", "").get<std::string>() : "";
}

// Standard alphabet, padded; enough for the bodies the core sends.
std::string base64_decode(const std::string& text) {
  static const std::string kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::uint32_t acc = 0;
  int bits = 0;
  for (char c : text) {
    if (c == '=') break;
    acc = (acc << 6 | static_cast<std::uint32_t>(kAlphabet.find(c))) & 0xFFFFFF;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>(acc >> bits & 0xFF);
    }
  }
  return out;
}

fs::path sample_har() {
  return fs::path(__FILE__).parent_path().parent_path().parent_path() / "demo-core" / "sample.har";
}

class DemoCoreTest : public ::testing::Test {
 protected:
  // Starts the demo core with `args` on the test's socket and says hello.
  void start(std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"--socket", socket_.string()});
    core_.emplace(dir_, std::move(args));
    ASSERT_TRUE(core_->wait_for_socket(socket_)) << core_->stderr_text();
    client_.emplace(socket_);
    ASSERT_TRUE(client_->connected());
  }
  void start_greeted(std::vector<std::string> args = {}) {
    start(std::move(args));
    ASSERT_EQ(client_->hello()["result"]["acceptedClientKind"], "mcp");
  }

  Json flows(Json params) {
    params["newestFirst"] = json::get_or(params, "newestFirst", true);
    params["limit"] = json::get_or(params, "limit", 2000u);
    return client_->call("flow.list", params)["result"];
  }

  // The first flow whose path contains `part`.
  Json flow_with_path(const std::string& part) {
    Json listed = flows({});
    for (const Json& f : listed["flows"]) {
      if (f["path"].get<std::string>().find(part) != std::string::npos) return f;
    }
    return nullptr;
  }

  TempDir dir_;
  fs::path socket_ = dir_.path() / "core.sock";
  std::optional<DemoCoreProcess> core_;
  std::optional<RawClient> client_;
};

TEST_F(DemoCoreTest, HelloComesFirstAndAcceptsOnlyVersionOneFromMcpClients) {
  start();
  EXPECT_EQ(error_code(client_->call("mcp.status")), "hello_required");
  EXPECT_EQ(error_code(client_->call("hello", {{"clientKind", "mcp"}, {"protocolVersion", 2}})),
            "version_mismatch");
  Json wrong_kind = client_->call("hello", {{"clientKind", "cli"}, {"protocolVersion", 1}});
  EXPECT_NE(error_code(wrong_kind), "");
  EXPECT_NE(error_code(wrong_kind), "version_mismatch");

  Json hello = client_->hello();
  EXPECT_EQ(hello["id"], 4u);
  EXPECT_TRUE(json::is_uint(hello["result"]["protocolVersion"]));
  EXPECT_EQ(hello["result"]["protocolVersion"], 1u);
  EXPECT_EQ(hello["result"]["acceptedClientKind"], "mcp");

  client_->send_line(R"({"id":"s-1","method":"mcp.status"})");
  Json status = json::parse(client_->read_line().value_or("")).value();
  EXPECT_EQ(status["id"], "s-1");
  EXPECT_TRUE(json::is_uint(status["result"]["flowCount"]));
}

TEST_F(DemoCoreTest, LinesThatAreNotJsonGetNoReplyAndUnknownMethodsGetAnError) {
  start_greeted();
  client_->send_line("this is not json");
  Json reply = client_->call("flow.purge");
  EXPECT_EQ(reply["id"], 2u) << "the bad line must not have been answered";
  EXPECT_NE(error_code(reply), "");
  EXPECT_NE(reply["error"]["message"].get<std::string>().find("flow.purge"), std::string::npos);
  EXPECT_EQ(error_code(client_->call("flow.list", {{"status", "teapot"}})), "invalid_params");
}

TEST_F(DemoCoreTest, FlowListMatchesHostAndMethodExactlyAndPathAsASubstringIgnoringCase) {
  start_greeted();
  Json by_host = flows({{"host", "AUTH.NimbusMart.test"}});
  ASSERT_GE(by_host["flows"].size(), 2u);
  for (const Json& f : by_host["flows"]) EXPECT_EQ(f["host"], "auth.nimbusmart.test");
  EXPECT_EQ(flows({{"host", "nimbusmart.test"}})["matchedTotal"], 1u) << "not a suffix match";

  Json deletes = flows({{"pathContains", "CART"}, {"method", "delete"}});
  for (const Json& f : deletes["flows"]) {
    EXPECT_EQ(f["method"], "DELETE");
    EXPECT_NE(f["path"].get<std::string>().find("/cart"), std::string::npos);
  }
  EXPECT_EQ(deletes["matchedTotal"], 1u);
}

TEST_F(DemoCoreTest, FlowListMatchesAnExactStatusOrAStatusClass) {
  start_greeted();
  Json client_errors = flows({{"status", "4xx"}});
  ASSERT_GE(client_errors["flows"].size(), 2u);
  for (const Json& f : client_errors["flows"]) {
    EXPECT_GE(f["status"], 400u);
    EXPECT_LE(f["status"], 499u);
  }
  Json unauthorized = flows({{"status", "401"}});
  ASSERT_EQ(unauthorized["matchedTotal"], 1u);
  EXPECT_EQ(unauthorized["flows"][0]["path"], "/v1/auth/login");
  EXPECT_EQ(flows({{"status", "5xx"}})["flows"][0]["status"], 503u);
}

TEST_F(DemoCoreTest, FlowListKeepsTheNewestLimitListedOldestFirstWithTheMatchedTotal) {
  start_greeted();
  Json all = flows({});
  std::uint64_t total = all["matchedTotal"];
  ASSERT_GE(total, 24u);
  ASSERT_EQ(all["flows"].size(), total);

  Json newest = flows({{"limit", 3}});
  ASSERT_EQ(newest["flows"].size(), 3u);
  EXPECT_EQ(newest["matchedTotal"], total);
  EXPECT_LT(newest["flows"][0]["seq"], newest["flows"][1]["seq"]);
  EXPECT_EQ(newest["flows"][2]["seq"], all["flows"].back()["seq"]);

  Json oldest = flows({{"limit", 2}, {"newestFirst", false}});
  EXPECT_EQ(oldest["flows"][0]["seq"], all["flows"][0]["seq"]);

  std::uint64_t since = all["flows"][total - 5]["seq"];
  Json recent = flows({{"sinceSeq", since}});
  EXPECT_EQ(recent["matchedTotal"], 4u);
  for (const Json& f : recent["flows"]) EXPECT_GT(f["seq"], since);
  EXPECT_EQ(flows({{"limit", 0}})["flows"].size(), 0u);
}

TEST_F(DemoCoreTest, FlowDetailServesHeadersBodiesAndBodyMetadata) {
  start_greeted();
  Json login = flow_with_path("/v1/auth/login");
  Json detail = client_->call("flow.getDetail", {{"flowId", login["flowId"]}})["result"];
  EXPECT_EQ(detail["summary"], login);
  EXPECT_EQ(detail["reqHeaders"][0].size(), 2u);
  auto request_body = json::parse(base64_decode(detail["reqBodyB64"]));
  ASSERT_TRUE(request_body.ok()) << "the login form is JSON";
  EXPECT_TRUE(request_body.value().contains("email"));
  EXPECT_EQ(detail["reqBodyB64"].get<std::string>().size() % 4, 0u);
  EXPECT_EQ(detail["respBodyMeta"]["dropped"], false);

  // Several MB in one reply line: the catalogue is served whole.
  Json catalogue = flow_with_path("/v2/catalog/full");
  Json big = client_->call("flow.getDetail", {{"flowId", catalogue["flowId"]}})["result"];
  EXPECT_GT(big["respBodyMeta"]["total"], 2'000'000u);
  EXPECT_EQ(big["respBodyB64"].get<std::string>().size(),
            (big["respBodyMeta"]["total"].get<std::size_t>() + 2) / 3 * 4);

  Json video = flow_with_path(".mp4");
  EXPECT_EQ(client_->call("flow.getDetail",
                          {{"flowId", video["flowId"]}})["result"]["respBodyMeta"]["dropped"],
            true);
  Json export_csv = flow_with_path("export.csv");
  EXPECT_EQ(
      client_->call("flow.getDetail",
                    {{"flowId", export_csv["flowId"]}})["result"]["respBodyMeta"]["truncated"],
      true);

  EXPECT_EQ(error_code(client_->call("flow.getDetail", {{"flowId", 7}})), "not_found");
}

TEST_F(DemoCoreTest, StatusAndFindingsCarryWhatTheServerReads) {
  start_greeted();
  Json status = client_->call("mcp.status")["result"];
  EXPECT_EQ(status["flowCount"], flows({})["matchedTotal"]);
  EXPECT_TRUE(json::is_uint(status["proxyPort"]));
  EXPECT_TRUE(json::is_uint(status["oldestFlowTs"]));
  EXPECT_TRUE(status["decryptHosts"].is_array());

  std::set<std::string> codes, reasons, evidence;
  Json findings = client_->call("findings.get")["result"];
  for (const Json& item : findings["items"]) {
    EXPECT_TRUE(item.contains("kind") && item.contains("params"));
    if (item.contains("code")) codes.insert(item["code"].get<std::string>());
    if (item.contains("question")) {
      EXPECT_EQ(item["question"], "capture_path.device_routing_now");
      reasons.insert(item["params"]["reason"].get<std::string>());
      ASSERT_FALSE(item["wouldDecide"].empty());
      for (const Json& e : item["wouldDecide"]) evidence.insert(e["code"].get<std::string>());
    }
  }
  EXPECT_EQ(codes.size(), 9u);
  EXPECT_EQ(reasons, (std::set<std::string>{"observing", "stale_presence", "profile_not_pushed",
                                            "no_remote_traffic_observed"}));
  EXPECT_EQ(evidence.size(), 4u);
}

TEST_F(DemoCoreTest, PagesAnswerConsoleReadsAndEvaluationsByHandle) {
  start_greeted();
  Json devices = client_->call("wir.snapshot")["result"]["devices"];
  ASSERT_EQ(devices.size(), 2u);
  Json page = devices[0]["apps"][0]["pages"][0];
  std::string handle = page["pageHandle"];

  Json all =
      client_->call("wir.consoleMessages",
                    {{"pageHandle", handle}, {"limit", 500}, {"newestFirst", true}})["result"];
  EXPECT_EQ(all["truncated"], false);
  std::set<std::string> levels;
  for (const Json& m : all["messages"]) levels.insert(m["level"].get<std::string>());
  EXPECT_EQ(levels.size(), 5u);

  Json worst = client_->call(
      "wir.consoleMessages",
      {{"pageHandle", handle}, {"limit", 2}, {"newestFirst", true}, {"level", "warn"}})["result"];
  ASSERT_EQ(worst["messages"].size(), 2u);
  EXPECT_EQ(worst["truncated"], true);
  EXPECT_LT(worst["messages"][0]["seq"], worst["messages"][1]["seq"]);
  for (const Json& m : worst["messages"])
    EXPECT_TRUE(m["level"] == "warn" || m["level"] == "error");
  EXPECT_EQ(worst["messages"][1]["seq"], all["messages"].back()["seq"].get<std::uint64_t>() - 1)
      << "the newest warn-or-worse messages";

  Json title =
      client_->call("wir.evaluate", {{"pageHandle", handle}, {"expression", "document.title"}});
  EXPECT_EQ(title["result"]["result"], page["title"]);
  EXPECT_EQ(title["result"]["wasThrown"], false);
  Json thrown =
      client_->call("wir.evaluate", {{"pageHandle", handle}, {"expression", "fetchAll()"}});
  EXPECT_EQ(thrown["result"]["wasThrown"], true);

  EXPECT_EQ(error_code(client_->call(
                "wir.evaluate", {{"pageHandle", "pg-gone"}, {"expression", "document.title"}})),
            "page_not_found");
  EXPECT_EQ(error_code(client_->call("wir.consoleMessages", {{"pageHandle", "pg-gone"}})),
            "page_not_found");
}

struct DisableCase {
  std::string what;
  std::string method;
  std::string code;
};

class DemoCoreDisableTest : public DemoCoreTest,
                            public ::testing::WithParamInterface<DisableCase> {};

TEST_P(DemoCoreDisableTest, DisabledFeatureAnswersWithItsErrorCode) {
  const DisableCase& c = GetParam();
  start({"--disable", c.what});
  if (c.method != "hello") {
    ASSERT_EQ(client_->hello()["result"]["acceptedClientKind"], "mcp");
  }
  Json params = c.method == "hello"
                    ? Json{{"clientKind", "mcp"}, {"protocolVersion", 1}}
                    : Json{{"pageHandle", "pg-3f9a1c07"}, {"expression", "1"}, {"limit", 5}};
  EXPECT_EQ(error_code(client_->call(c.method, params)), c.code);
}

INSTANTIATE_TEST_SUITE_P(
    Switches, DemoCoreDisableTest,
    ::testing::Values(DisableCase{"mcp", "hello", "MCP_DISABLED"},
                      DisableCase{"eval", "wir.evaluate", "EVAL_DISABLED"},
                      DisableCase{"console", "wir.consoleMessages", "CONSOLE_READ_DISABLED"},
                      DisableCase{"inspection", "wir.snapshot", "inspection_disabled"}),
    [](const auto& info) { return info.param.what; });

TEST_F(DemoCoreTest, HarEntriesAreServedAsFlowsWithWhatTheyHave) {
  start_greeted({"--har", sample_har().string()});
  Json listed = flows({});
  ASSERT_EQ(listed["matchedTotal"], 6u);
  Json first = listed["flows"][0];
  EXPECT_EQ(first["scheme"], "https");
  EXPECT_EQ(first["host"], "api.lumenbank.test");
  EXPECT_EQ(first["path"], "/v3/accounts?include=balances");
  EXPECT_EQ(first["ts"], 1709634093123u);
  EXPECT_EQ(first["durationMs"], 149u);

  Json image =
      client_->call("flow.getDetail", {{"flowId", listed["flows"][1]["flowId"]}})["result"];
  EXPECT_EQ(image["summary"]["contentType"], "image/png");
  EXPECT_EQ(image["respBodyB64"].get<std::string>().substr(0, 8), "iVBORw0K");
  Json transfer =
      client_->call("flow.getDetail", {{"flowId", listed["flows"][2]["flowId"]}})["result"];
  EXPECT_EQ(transfer["reqBodyMeta"]["total"], 94u);
  EXPECT_EQ(transfer["respHeaders"][1], Json::array({"location", "/v3/transfers/tr_9f02"}));

  Json refused = listed["flows"][4];
  EXPECT_EQ(refused["completed"], false);
  EXPECT_EQ(refused["error"], "Connection refused");
  EXPECT_TRUE(refused["status"].is_null());
  Json bare = listed["flows"][5];
  EXPECT_EQ(bare["method"], "GET");
  EXPECT_TRUE(bare["status"].is_null());
}

TEST_F(DemoCoreTest, AFileThatIsNotHarEndsWithStatusTwoAndOneLineOnStandardError) {
  for (std::string text : {"{\"log\":{\"version\":\"1.2\"}}", "not json at all", "[]"}) {
    fs::path har = dir_.path() / "bad.har";
    std::ofstream(har) << text;
    DemoCoreProcess core(dir_, {"--socket", socket_.string(), "--har", har.string()});
    EXPECT_EQ(core.wait_exit(), 2) << text;
    std::string err = core.stderr_text();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find("bad.har"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(socket_));
  }
}

TEST_F(DemoCoreTest, AStaleSocketIsReplacedAndTheSocketIsRemovedOnSigterm) {
  // A socket file left behind by a core that died.
  int stale = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, socket_.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  close(stale);

  start_greeted();
  EXPECT_EQ(core_->stderr_text(), "trelvo-demo-core: listening on " + socket_.string() + "\n");
  EXPECT_EQ(core_->stop(), 0);
  EXPECT_FALSE(fs::exists(socket_));
}

TEST_F(DemoCoreTest, WithoutSocketFlagItListensWhereTheServerLooksCreatingFolders) {
  fs::path home = dir_.path() / "home";
  fs::path expected = home / "Library/Application Support/Trelvo/run/core.sock";
  DemoCoreProcess core(dir_, {}, {{"HOME", home.string()}, {"TRELVO_MCP_SOCKET", std::nullopt}});
  ASSERT_TRUE(core.wait_for_socket(expected)) << core.stderr_text();
  EXPECT_EQ(core.stop(), 0);

  fs::path chosen = dir_.path() / "chosen.sock";
  DemoCoreProcess by_env(dir_, {}, {{"TRELVO_MCP_SOCKET", chosen.string()}});
  EXPECT_TRUE(by_env.wait_for_socket(chosen)) << by_env.stderr_text();
}

TEST_F(DemoCoreTest, TwoClientsAreServedAtOnceEachWithItsOwnHello) {
  start_greeted();
  RawClient other(socket_);
  ASSERT_TRUE(other.connected());
  EXPECT_EQ(error_code(other.call("mcp.status")), "hello_required");

  // The first client asks for several MB and does not read yet; the second
  // is answered meanwhile.
  Json catalogue = flow_with_path("/v2/catalog/full");
  client_->send_line(json::compact(
      {{"id", 99}, {"method", "flow.getDetail"}, {"params", {{"flowId", catalogue["flowId"]}}}}));
  EXPECT_EQ(other.hello()["result"]["protocolVersion"], 1u);
  EXPECT_TRUE(other.call("mcp.status").contains("result"));

  auto big = json::parse(client_->read_line().value_or(""));
  ASSERT_TRUE(big.ok());
  EXPECT_EQ(big.value()["id"], 99u);
  EXPECT_TRUE(client_->call("mcp.status").contains("result"));
}

}  // namespace
