// The board JTAG_PLATFORM names as jtag-serve holds it for a client, and
// remote_bitbang on top of it.
#ifndef JTAGBOX_SERVE_BACKEND_HOLD_H
#define JTAGBOX_SERVE_BACKEND_HOLD_H

#include <optional>

#include "backends/backend.h"
#include "serve/rbb_server.h"

namespace jtag::serve {

// The board as the server holds it for a client: opened through its backend
// when a shift needs it, finished and let go whenever the client does not.
class BackendHold {
 public:
  explicit BackendHold(const char *platform) : platform_(platform) {}
  ~BackendHold() { release(); }
  BackendHold(const BackendHold &) = delete;
  BackendHold &operator=(const BackendHold &) = delete;

  // Throws PlatformError when the board cannot be taken.
  BackendLines &lines();
  TapRecord &record() { return record_; }
  bool held() const { return backend_.has_value(); }

  // The rate the client asked for, set on the backend now and again each
  // time it is taken; returns the rate taken, or none where the backend
  // sets none.  None forgets the rate: the backend keeps the one it has.
  std::optional<double> set_tck_hz(std::optional<double> hz);

  // Finished first, its record saved, then it goes.  Once the wave is lost
  // nothing more is confirmed: the board keeps the state of the run before.
  void release();

 private:
  const char *platform_;
  std::optional<Backend> backend_;
  TapRecord record_;
  std::optional<double> tck_hz_;
};

// A backend's board under a remote_bitbang session: TCKs whose TDO no
// read asks for are pulses (a backend may queue them), the others clocks;
// TRST and SRST go to the backend's lines where it has them and are ignored
// where it has none (OpenOCD releases both at every start).
class LinesRbbBoard final : public RbbBoard {
 public:
  explicit LinesRbbBoard(const char *platform) : hold_(platform) {}

  std::optional<bool> tdo_now() override { return std::nullopt; }
  bool rising_edge(bool tms, bool tdi, bool read) override;
  void set_resets(bool trst, bool srst) override;
  void set_tck_hz(std::optional<double> hz) override { hold_.set_tck_hz(hz); }
  bool held() const override { return hold_.held(); }
  void release() override { hold_.release(); }

 private:
  BackendHold hold_;
  bool trst_ = false, srst_ = false;
};

}  // namespace jtag::serve

#endif
