// What the parser of core replies costs, against the two fast parsers that
// Debian packages: the two replies of the end-to-end benchmark (200 flows;
// a 10 MB JSON body in base64), parsed again and again into reused state.
// Built only where rapidjson-dev and libsimdjson-dev are installed; the
// program itself depends on neither.
#include <rapidjson/document.h>
#include <simdjson.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

#include "base64_text.h"
#include "json.h"
#include "json_tape.h"

namespace {

std::string list_reply() {
  Json flows = Json::array();
  for (unsigned i = 0; i < 200; ++i) {
    flows.push_back({{"flowId", 40000 + i},
                     {"seq", i},
                     {"ts", 1700000000123u + i},
                     {"method", "GET"},
                     {"scheme", "https"},
                     {"host", "api.example.test"},
                     {"path", "/v2/items/" + std::to_string(i) + "?page=2"},
                     {"status", 200u},
                     {"durationMs", 131u},
                     {"respSize", 1234u},
                     {"contentType", "application/json; charset=utf-8"},
                     {"completed", true},
                     {"error", nullptr}});
  }
  return json::compact(Json{{"id", 2u}, {"result", {{"flows", flows}, {"matchedTotal", 200u}}}});
}

std::string detail_reply() {
  std::string body = "[";
  for (int i = 0; body.size() < 10000000; ++i) {
    body += R"({"id":)" + std::to_string(i) + R"(,"name":"item )" + std::to_string(i) +
            R"(","tags":["a","b"],"price":12.5},)";
  }
  body.back() = ']';
  return R"({"id":2,"result":{"summary":{"flowId":1},"respBodyB64":")" + base64(body) +
         R"(","respBodyMeta":{"total":)" + std::to_string(body.size()) + "}}}";
}

// Best of `runs` timings of `parse`, in microseconds.
double best_us(int runs, const std::function<bool()>& parse) {
  double best = 1e18;
  for (int i = 0; i < runs; ++i) {
    auto start = std::chrono::steady_clock::now();
    if (!parse()) return -1;
    std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

void compare(const char* name, const std::string& text, int runs) {
  std::string copy = text;
  json::Tape tape;
  double tape_us = best_us(runs, [&] {
    copy.assign(text);  // the server parses the bytes where they were read
    return tape.parse(copy.data(), copy.size());
  });
  double copy_us = best_us(runs, [&] {
    copy.assign(text);
    return true;
  });
  double exact_us =
      best_us(std::max(1, runs / 10), [&] { return !Json::parse(text).is_discarded(); });
  rapidjson::Document document;
  double rapid_us = best_us(runs, [&] {
    copy.assign(text);
    document
        .ParseInsitu<rapidjson::kParseValidateEncodingFlag | rapidjson::kParseFullPrecisionFlag>(
            copy.data());
    return !document.HasParseError();
  });
  simdjson::dom::parser parser;
  simdjson::padded_string padded(text);
  double simd_us = best_us(runs, [&] { return parser.parse(padded).error() == simdjson::SUCCESS; });
  std::printf(
      "%-26s %10zu bytes  tape %9.1f us  rapidjson %9.1f us  simdjson %9.1f us  exact %9.1f us"
      "  (copy in %7.1f us, counted in tape and rapidjson)\n",
      name, text.size(), tape_us, rapid_us, simd_us, exact_us, copy_us);
}

}  // namespace

int main() {
  compare("flow.list, 200 flows", list_reply(), 2000);
  compare("flow.getDetail, 10 MB", detail_reply(), 30);
}
