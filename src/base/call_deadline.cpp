#include "base/call_deadline.h"

namespace jtag {
namespace {

thread_local std::optional<Deadline> t_deadline;

}  // namespace

CallDeadline::CallDeadline(std::chrono::steady_clock::duration within) : before_(t_deadline) {
  t_deadline = std::chrono::steady_clock::now() + within;
}

CallDeadline::~CallDeadline() { t_deadline = before_; }

std::optional<Deadline> call_deadline() { return t_deadline; }

}  // namespace jtag
