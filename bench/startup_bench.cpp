// How long an MCP host waits for the answer to `initialize` when no core is
// running: process start, the one connect attempt, and the first response.

#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

void BM_InitializeWithoutCore(benchmark::State& state) {
  const std::string request =
      R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})"
      "\n";
  for (auto _ : state) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) {
      state.SkipWithError("pipe failed");
      return;
    }
    pid_t pid = fork();
    if (pid == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[1]);
      close(out[0]);
      setenv("TRELVO_MCP_SOCKET", "/nonexistent/trelvo-bench.sock", 1);
      execl(TRELVO_MCP_BIN, TRELVO_MCP_BIN, static_cast<char*>(nullptr));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    if (write(in[1], request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
      state.SkipWithError("write failed");
    }
    std::string answer;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') answer += c;
    close(in[1]);
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (answer.find("\"serverInfo\"") == std::string::npos) state.SkipWithError("no answer");
  }
}
BENCHMARK(BM_InitializeWithoutCore)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
