// Every limit the server applies, each with the reason for it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace limits {
using namespace std::chrono_literals;

// The upstream. Each wait is bounded by its own limit and by the call's
// deadline, so a core that stops in the middle of anything costs one call
// kCallDeadline at most.

// A core whose queue of connections stays full is waited for this long.
inline constexpr std::chrono::milliseconds kConnect = 10s;
// Writing one request may take this long: a core that stops reading is given up on.
inline constexpr std::chrono::milliseconds kWrite = 10s;
// A core that stops sending is given up on after this long; each line starts it anew.
inline constexpr std::chrono::milliseconds kLineRead = 10s;
// The longest an agent waits for one tool call, a reconnect and a retry included.
inline constexpr std::chrono::milliseconds kCallDeadline = 15s;
// A refusal that may be a full queue (platform::Refused::MaybeBusy) is retried
// this long only, so that a socket file left by a core that is gone still
// reads as not running at once.
inline constexpr std::chrono::milliseconds kMaybeBusyRetry = 500ms;
// The pause between attempts on a full queue: no spinning, and a place freed
// in the queue is taken soon after.
inline constexpr std::chrono::milliseconds kBusyPause = 10ms;
// Lines read looking for the reply to a request: a core that sends nothing but
// other lines fails the exchange instead of holding it.
inline constexpr int kLineBudget = 64;
// Room offered for each read from the core, so a large reply comes in few reads.
inline constexpr std::size_t kMinRead = 65536;

// Standard input is read this much at a time, so a long line comes in few reads.
inline constexpr std::size_t kInputRead = 65536;

// Memory. Buffers grown past this for one outsized reply or response are given
// back when the call is over; ordinary sizes are kept for the next call.
inline constexpr std::size_t kKeptBuffer = 32u << 20;
// Once standard input has been quiet this long, buffers are given back down
// to this size: warm buffers serve back-to-back calls, not a resting session.
inline constexpr std::chrono::milliseconds kIdle = 1s;
inline constexpr std::size_t kIdleKeptBuffer = 1u << 20;

// The core's observation window for recent flows, when a finding does not
// say its own.
inline constexpr std::chrono::seconds kObservationWindow = 60s;

// JSON text. Values are built, copied and written out recursively, so nesting
// deeper than this is refused before any value is built (nothing sent to us
// needs more).
inline constexpr int kMaxDepth = 127;
// The tape declines texts this long unread: its node lengths are 32-bit.
inline constexpr std::size_t kMaxText = UINT32_MAX / 2;
}  // namespace limits
