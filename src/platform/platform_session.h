// The board a platform call drives.  A program's calls drive the process's
// session: opened at the first platform operation from JTAG_PLATFORM,
// through the backend table, and ended once by end_run() (run_end.h).  A
// library caller (the Python module, through platform/board_handle.h) binds
// a session of its own to the calling thread for one call instead
// (SessionBinding), so two threads can drive two boards at once.
#ifndef JTAGBOX_PLATFORM_PLATFORM_SESSION_H
#define JTAGBOX_PLATFORM_PLATFORM_SESSION_H

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "backends/backend.h"
#include "platform/run_end.h"
#include "platform/tap_follower.h"
#include "platform/trace.h"
#include "recorders/recorders.h"
#include "recorders/tap_observer.h"

namespace jtag {

class PlatformSession {
 public:
  // The session bound to this thread, else the process's, opened on first
  // use.  A JTAG_PLATFORM value that names no backend, or a board that
  // cannot be opened, is a failure (fail()).
  static PlatformSession &get();

  // `files` were opened before the backend took the board.
  PlatformSession(Backend backend, RecorderFiles files);
  // A recorder that belongs to the caller and outlives the session: it sees
  // every TCK and note from here on, and its owner closes it, not end().
  void add_recorder(TapObserver &recorder);
  PlatformSession(const PlatformSession &) = delete;
  PlatformSession &operator=(const PlatformSession &) = delete;

  TapFollower &tap() { return tap_; }
  BackendLines &lines() { return *backend_.lines; }
  // The board's services; throws UnsupportedError when this backend has
  // none (`what` names the operation in its line).
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

  // Switched on through jtag_pelustr_fpga_accelerate by this session.
  bool scan_dump_accelerator = false;

 private:
  Backend backend_;
  TapFollower tap_;
  std::vector<std::unique_ptr<TapObserver>> recorders_;
  std::vector<TapObserver *> noted_;  // every recorder, owned or borrowed
};

// Binds `session` to the calling thread while it lives: the platform calls
// made on this thread drive it, and trace lines go to `trace` (none when
// null) instead of JTAG_TRACE's file.  Bindings do not nest.
class SessionBinding {
 public:
  SessionBinding(PlatformSession &session, const TraceFile *trace);
  ~SessionBinding();
  SessionBinding(const SessionBinding &) = delete;
  SessionBinding &operator=(const SessionBinding &) = delete;
};
// True on a thread that a SessionBinding holds.
bool session_bound();

// The board a JTAG_PLATFORM value names (null: the default), opened through
// the backend table.  Throws PlatformError with the line to print.
Backend open_backend(const char *value);

// The failure given to the program's handler (run_end.h), or thrown on
// with none set.
[[noreturn]] void fail(const PlatformError &failure);

// Runs `body`; a PlatformError from the backend, or memory the board could
// not get (a scan chain of 2^32 bits), is a failure (fail()).
template <typename Body>
auto guarded(Body body) -> decltype(body()) {
  try {
    return body();
  } catch (const PlatformError &e) {
    fail(e);
  } catch (const std::bad_alloc &) {
    fail(PlatformError("out of memory", ErrorKind::Memory));
  }
}

}  // namespace jtag

#endif
