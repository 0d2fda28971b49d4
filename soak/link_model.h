// What trelvo-mcp must answer, given what the chaos core logged.
//
// The chaos core logs every request it receives, with the fault it is about
// to inflict, before acting on it. The model replays the server's rules for
// its core connection over those records: connect and hello when there is no
// connection, the 64-line budget, the one reconnect-and-resend after a
// transport failure (none for an expression once it was written), and the
// overall deadline. From them it predicts each tool result exactly, and it
// says so when the records could not have come from those rules.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "json.h"
#include "result.h"

namespace soak {

struct CoreRequest;

inline const std::string kNotRunning = "Trelvo is not running. Launch Trelvo to start capturing.";
inline const std::string kMismatch =
    "Trelvo core protocol mismatch \u2014 update Trelvo and retry.";
inline const std::string kMcpDisabled =
    "MCP access is disabled. Enable it in Trelvo \u2192 Settings \u2192 AI Agents.";
inline const std::string kNoResponse =
    "Trelvo did not respond in time. Retry, or restart Trelvo if this keeps happening.";
inline const std::string kLostExpression =
    "Lost the connection to Trelvo while the expression was running; it may or may not have "
    "run. Check the page before running it again.";

// A tool call's predicted result: the core's answer (the same every time for
// the same call, as the chaos core's data does not change), or an error with
// one of the sentences above.
struct Expected {
  bool answered = false;
  std::string sentence;
};

class LinkModel {
 public:
  // The connection trelvo-mcp opens as it starts, before any call.
  Result<Done, std::string> startup(const std::vector<Json>& events);
  // A tool call that asks the core `method`; `events` are all records logged
  // since the previous call.
  Result<Expected, std::string> call(const std::string& method, const std::vector<Json>& events);
  // Records logged while the server asked the core nothing (a call it
  // answers itself, or between calls): connections closing, the core back.
  Result<Done, std::string> quiet(const std::vector<Json>& events);

  // Until the log shows the core back, the next call would race its return.
  bool core_down() const { return down_; }
  // A connection the server holds that the core closes after its reply:
  // until the log shows it closed, whether the server finds it closed before
  // its next write would be a race.
  std::optional<std::uint64_t> closing() const;

  // Requests and faults the core logged, by kind.
  const std::map<std::string, int>& faults() const { return faults_; }

 private:
  enum class Exchange { Answered, Refused, Transport, Deadline, Broken };

  void begin(const std::vector<Json>& events, bool timed);
  const Json* peek();
  bool core_back_in_time();
  Exchange exchange(const std::string& method, bool hello);
  std::optional<std::string> connect();
  Expected run(const std::string& method);
  Result<Done, std::string> finish();
  void disconnect();
  void count(const CoreRequest& request);
  void broken(std::string problem);

  // The server's connection, as the server sees it.
  bool connected_ = false;
  std::uint64_t conn_ = 0;
  bool dead_ = false;  // closed by the core
  int unread_ = 0;     // whole lines the core sent on it that the server has not read

  // The core.
  bool down_ = false;
  std::uint64_t last_conn_ = 0;
  std::uint64_t last_id_ = 0;
  std::set<std::uint64_t> closed_;
  std::map<std::string, int> faults_;

  // The call being replayed.
  const std::vector<Json>* events_ = nullptr;
  std::size_t next_ = 0;
  bool timed_ = true;  // under the overall deadline
  int stalls_ = 0;
  std::string refusal_;  // of the last refused hello
  std::string problem_;  // the first disagreement, sticky
};

}  // namespace soak
