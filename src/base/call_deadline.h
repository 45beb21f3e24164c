// A library caller's bound on one call.  A program's waits with no end of
// their own (the simulated board's reset that never comes back) are ended by
// its watchdog, a signal; a library must not end the process, so its caller
// sets a deadline for the call instead, and such a wait ends there with a
// Timeout error.  Per thread: two threads' calls keep their own.
#ifndef JTAGBOX_BASE_CALL_DEADLINE_H
#define JTAGBOX_BASE_CALL_DEADLINE_H

#include <chrono>
#include <optional>

namespace jtag {

using Deadline = std::chrono::steady_clock::time_point;

// The deadline of this thread's call while it lives.
class CallDeadline {
 public:
  explicit CallDeadline(std::chrono::steady_clock::duration within);
  ~CallDeadline();
  CallDeadline(const CallDeadline &) = delete;
  CallDeadline &operator=(const CallDeadline &) = delete;

 private:
  std::optional<Deadline> before_;
};

// This thread's deadline, if a caller set one.
std::optional<Deadline> call_deadline();

}  // namespace jtag

#endif
