// The board as a library caller holds it (the Python module's jtagbox.open):
// named once by its platform text, taken for each call and let go after it,
// as jtag-serve holds a board per request, so that commands run on the same
// board between calls.  Each call is one run, as one command is: when it
// ends well its effect is confirmed (the backend flushed and finished, the
// TAP record kept); when it fails the board keeps the state it had before
// the call, as after a failing command.  The recorders (trace, waveform,
// SVF record) are opened with the handle, before any call, and kept across
// its calls; the waveform and the SVF record show this handle's calls only.
//
// One thread at a time: a call made while another thread's call on the same
// handle runs is refused with a PlatformError, never let into the TAP.
#ifndef JTAGBOX_PLATFORM_BOARD_HANDLE_H
#define JTAGBOX_PLATFORM_BOARD_HANDLE_H

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/jtag_platform.h"
#include "platform/platform_session.h"
#include "platform/trace.h"
#include "recorders/record_file.h"
#include "recorders/tap_observer.h"

namespace jtag {

class BoardHandle {
 public:
  // The files to record to; empty: none.
  struct RecorderPaths {
    std::string trace, wave, svf;
  };

  // `platform` as JTAG_PLATFORM takes it; nullopt: what the commands would
  // use (JTAG_PLATFORM, else the default).  Opens the recorders' files (a
  // file that cannot be one throws PlatformError); the board itself is not
  // taken until the first call.
  BoardHandle(std::optional<std::string> platform, const RecorderPaths &paths);
  ~BoardHandle();
  BoardHandle(const BoardHandle &) = delete;
  BoardHandle &operator=(const BoardHandle &) = delete;

  // What the handle names: the platform text as given, or as the commands
  // would take it.
  const std::string &platform() const { return platform_; }
  bool closed() const { return closed_; }

  // Runs `body` (platform calls, the commands' steps) as one run on the
  // board.  jtag_fpga_accelerate, which a scan dump's -a sets for the rest
  // of its process, is as it was before once the call is over.  Throws
  // PlatformError.
  template <typename Body>
  auto run(Body body) -> decltype(body());

  // Closes the recorders: everything recorded is in its file.  Later calls
  // are refused.  Throws PlatformError when a record cannot be completed.
  void close();

 private:
  class Claim;
  std::unique_ptr<PlatformSession> open_session();
  void start_recorders_at(const TapRecord &start);

  std::string platform_;
  std::optional<TraceFile> trace_;
  RecorderFiles files_;  // until the first call starts their recorders
  std::vector<std::unique_ptr<TapObserver>> recorders_;
  std::atomic<bool> busy_{false};
  bool closed_ = false;
};

// Marks the handle busy for one call, or refuses the call; the
// accelerate flag is put back when the call is over.
class BoardHandle::Claim {
 public:
  explicit Claim(BoardHandle &handle);
  ~Claim() {
    jtag_fpga_accelerate = accelerate_before_;
    handle_.busy_ = false;
  }
  Claim(const Claim &) = delete;
  Claim &operator=(const Claim &) = delete;

 private:
  BoardHandle &handle_;
  int accelerate_before_;
};

template <typename Body>
auto BoardHandle::run(Body body) -> decltype(body()) {
  const Claim claim(*this);
  // A failure in the body destroys the session unconfirmed: the board
  // keeps the state of the run before.
  std::unique_ptr<PlatformSession> session = open_session();
  if constexpr (std::is_void_v<decltype(body())>) {
    {
      const SessionBinding bound(*session, trace_ ? &*trace_ : nullptr);
      body();
    }
    session->end();
  } else {
    auto result = [&] {
      const SessionBinding bound(*session, trace_ ? &*trace_ : nullptr);
      return body();
    }();
    session->end();
    return result;
  }
}

}  // namespace jtag

#endif
