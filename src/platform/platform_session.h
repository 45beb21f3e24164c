// The board this process drives: opened at the first platform operation
// from JTAG_PLATFORM, through the backend table, and ended once by end_run()
// (run_end.h).
#ifndef JTAGBOX_PLATFORM_PLATFORM_SESSION_H
#define JTAGBOX_PLATFORM_PLATFORM_SESSION_H

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "driver/line_driver.h"
#include "platform/tap_follower.h"
#include "recorders/recorders.h"
#include "recorders/tap_observer.h"

namespace jtag {

class PlatformSession {
 public:
  // The session, opened on first use.  A JTAG_PLATFORM value that names no
  // backend, or a board that cannot be opened, ends the process with one
  // line on standard error and status 1.
  static PlatformSession &get();

  // `files` were opened before the backend took the board.
  PlatformSession(Backend backend, RecorderFiles files);
  PlatformSession(const PlatformSession &) = delete;
  PlatformSession &operator=(const PlatformSession &) = delete;

  TapFollower &tap() { return tap_; }
  LineDriver &lines() { return *backend_.lines; }
  // The board's services, or one line on standard error and status 1 when
  // this backend has none (`what` names the operation for that line).
  BoardServices &services(const char *what);
  bool has_services() const { return backend_.services != nullptr; }
  // After a scan-mode switch: the TAP the lines reach now is another one.
  void reload_tap_record();

  // Tells the recorders (JTAG_WAVE, JTAG_SVF) of an operation that is not
  // a TCK.
  void note(std::string_view text);

  // Closes the recorders, confirms the run and keeps the TAP record; throws
  // PlatformError.
  void end();

 private:
  Backend backend_;
  TapFollower tap_;
  std::vector<std::unique_ptr<TapObserver>> recorders_;
};

// The board a JTAG_PLATFORM value names (null: the default), opened through
// the backend table.  Throws PlatformError with the line to print.
Backend open_backend(const char *value);

// One line "jtagbox: <line>" on standard error, then exit status 1.
[[noreturn]] void fatal(const std::string &line);

// Runs `body`; a PlatformError from the backend, or memory the board could
// not get (a scan chain of 2^32 bits), ends the command (fatal).
template <typename Body>
auto guarded(Body body) -> decltype(body()) {
  try {
    return body();
  } catch (const PlatformError &e) {
    fatal(e.what());
  } catch (const std::bad_alloc &) {
    fatal("out of memory");
  }
}

}  // namespace jtag

#endif
