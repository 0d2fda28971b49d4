// A process's memory as the tests, the soak and the benchmarks read it, on
// each system in its own way.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <optional>

namespace process {

struct Memory {
  long resident_kib;
  // The most it ever held. Linux: its peak resident memory (VmHWM). macOS:
  // its lifetime peak physical footprint, which counts memory the system
  // compressed or swapped out too.
  long peak_kib;
};
// What `peak_kib` is called on this system, for reports.
#ifdef __APPLE__
inline constexpr const char* kPeakName = "peak footprint";
#else
inline constexpr const char* kPeakName = "peak resident";
#endif
// Linux: VmRSS and VmHWM of /proc/PID/status. macOS: proc_pid_rusage.
std::optional<Memory> memory(pid_t pid);
// Its resident memory and its peak now, in KiB; -1 where the system does not tell.
long resident_kib(pid_t pid);
long peak_kib(pid_t pid);

// The peak resident memory in `usage` (as wait4() fills it), in KiB.
// Linux: ru_maxrss is in KiB. macOS: in bytes.
long peak_kib(const struct rusage& usage);

// Whether a limit on a process's address space (RLIMIT_AS) is enforced, so
// that a test can make allocations fail. Linux: yes. macOS: accepted and
// ignored.
#ifdef __APPLE__
inline constexpr bool kAddressSpaceLimit = false;
#else
inline constexpr bool kAddressSpaceLimit = true;
#endif

}  // namespace process
