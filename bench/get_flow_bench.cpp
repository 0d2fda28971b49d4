// get_flow of a multi-megabyte body: time per call, and how many bytes the
// call allocates per byte of body (each extra copy of the body shows up as
// roughly one more unit). And list_flows of 200 flows, the call an agent
// makes most, without the pipes and the socket around it.

#include <benchmark/benchmark.h>

#include <string>

#include "alloc_counter.h"
#include "base64_text.h"
#include "tools/bodies.h"
#include "tools/dispatch.h"
#include "upstream.h"

namespace {

// A JSON body of about `size` bytes, plain ASCII like most API answers.
std::string json_body(std::size_t size) {
  std::string body = "[";
  for (int i = 0; body.size() < size; ++i) {
    body += R"({"id":)" + std::to_string(i) + R"(,"name":"item )" + std::to_string(i) +
            R"(","tags":["a","b"],"price":12.5},)";
  }
  body.back() = ']';
  return body;
}

// Hands over a prepared answer, as the upstream hands over the reply it
// parsed, so neither reading nor copying the answer is counted against the tool.
class CannedCore : public Upstream {
 public:
  explicit CannedCore(const Json& answer) : Upstream(""), answer_(json::compact(answer)) {
    refill();
  }
  AnswerResult call(const std::string&, const Json&, Resend) override { return Answer(tape_, 0); }
  // get_flow decodes the body where it was read, so each call reads afresh.
  void refill() {
    text_ = answer_;
    (void)tape_.parse(text_.data(), text_.size());
  }

 private:
  std::string answer_;
  std::string text_;
  json::Tape tape_;
};

void BM_GetFlowLargeBody(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const auto limit = static_cast<std::uint64_t>(state.range(1));
  std::string body = json_body(size);
  Json detail = {{"summary", {{"flowId", 1u}, {"host", "api.example.test"}}},
                 {"respHeaders", {{"content-type", "application/json"}}},
                 {"respBodyB64", base64(body)},
                 {"respBodyMeta", {{"total", body.size()}}}};
  CannedCore core(detail);
  Json params = {
      {"name", "get_flow"},
      {"arguments", {{"flow_id", 1u}, {"include_bodies", true}, {"max_body_bytes", limit}}}};
  std::size_t allocated = 0;
  for (auto _ : state) {
    std::size_t before = allocated_bytes();
    Buffer response;
    tools::dispatch(response, core, "tools/call", 1u, params);
    allocated += allocated_bytes() - before;
    benchmark::DoNotOptimize(response.data());
    state.PauseTiming();
    core.refill();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
  state.counters["alloc_per_body_byte"] =
      static_cast<double>(allocated) / static_cast<double>(state.iterations() * body.size());
}
// 5 MB body: cut to the default 16 KiB, and returned whole.
BENCHMARK(BM_GetFlowLargeBody)
    ->Args({5 << 20, 16384})
    ->Args({5 << 20, 64 << 20})
    ->Unit(benchmark::kMillisecond);

void BM_ListFlows(benchmark::State& state) {
  std::string flows;
  for (unsigned i = 1; i <= 200; ++i) {
    std::string n = std::to_string(i);
    flows += std::string(i > 1 ? "," : "") + R"({"flowId":)" + n + R"(,"seq":)" + n +
             R"(,"ts":1767225600000,"method":"GET","scheme":"https","host":"api.shop.test",)" +
             R"("path":"/v2/products/)" + n + R"(","status":200,"durationMs":)" + n +
             R"(,"respSize":48213,"contentType":"application/json; charset=utf-8",)" +
             R"("completed":true,"error":null})";
  }
  CannedCore core(Json::parse(R"({"flows":[)" + flows + R"(],"matchedTotal":200})"));
  Json params = {{"name", "list_flows"}, {"arguments", {{"limit", 200u}}}};
  for (auto _ : state) {
    Buffer response;
    tools::dispatch(response, core, "tools/call", 1u, params);
    benchmark::DoNotOptimize(response.data());
  }
}
BENCHMARK(BM_ListFlows)->Unit(benchmark::kMicrosecond);

}  // namespace
