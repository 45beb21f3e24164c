// The SVF (Serial Vector Format) that JTAG_SVF appends: the TCKs of one
// process turned into statements any SVF player can replay and check.
//
// The rules:
//   - A TMS walk that reaches a stable state (Test-Logic-Reset,
//     Run-Test/Idle, Pause-DR, Pause-IR) is `STATE X;` when it is the
//     shortest path there, else the explicit path `STATE A B ... X;`.  Any
//     walk that ends in Test-Logic-Reset is `STATE RESET;`.
//   - TCKs that stay in Run-Test/Idle or a Pause state are
//     `RUNTEST X n TCK ENDSTATE X;`; those that stay in Test-Logic-Reset
//     belong to the reset.
//   - Each visit to Shift-IR/Shift-DR is one `SIR`/`SDR` with the TDI of
//     every bit, and `TDO` and `MASK` when the platform read some of them:
//     MASK has a 1 for each bit read, TDO 0 for those not read.  The scan
//     ends in Run-Test/Idle when the TAP goes on through Update, in the
//     pause state when it goes to Pause or the process ends in Exit1 (the
//     `ENDIR`/`ENDDR` before the scan say which).
//   - SVF ends every statement in a stable state, so a state that is not
//     stable is written as the nearest stable one: Select-xR, Capture-xR and
//     Update-xR as Run-Test/Idle, Shift-xR, Exit1-xR and Exit2-xR as
//     Pause-xR.  A process that ends in one (JTAG_CapDR_To_Exit1DR ends in
//     Exit1-DR) leaves the record there; the next one goes on from it, by the
//     shortest path from that stable state to where its TAP goes next.  When
//     a walk goes back into Capture-xR straight from Pause-xR, through Exit2
//     and Update, it is written to Run-Test/Idle first: one more TCK there.
//   - What the platform does beside the TAP (scan mode, FPGA registers, the
//     accelerator) is a comment, `! ...`.
#ifndef JTAGBOX_RECORDERS_SVF_WRITER_H
#define JTAGBOX_RECORDERS_SVF_WRITER_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/bits.h"
#include "base/tap_state.h"
#include "svf/svf_states.h"

namespace jtag {

// Where the text goes.
class SvfSink {
 public:
  virtual ~SvfSink() = default;
  virtual void put(std::string_view text) = 0;
};

class SvfWriter {
 public:
  SvfWriter(SvfSink &out, TapState start) : out_(out), real_(start) { sync_to(start); }

  // The start of a process: a header when the file is new, then a comment
  // naming the program; a new file also says the state the TAP is in.
  void begin(bool new_file, std::string_view program);
  void tck(TapState before, bool tms, bool tdi, std::optional<bool> tdo);
  void shift(TapState before, const BitVector &in, const BitVector &out, bool recycle);
  // Another TAP from here (a scan-mode switch).
  void restart(TapState state);
  // TRST asserted (the TAP in Test-Logic-Reset from here) or released:
  // TRST ON; or TRST OFF;.
  void trst(bool asserted);
  void note(std::string_view text);
  // The end of the process: everything pending is written.
  void end();

 private:
  enum class Scan { None, Open, Done };

  void sync_to(TapState state);
  void stay();
  void flush_run();
  void flush_path();
  void open_scan();
  void resume_scan();
  void append_bit(bool tdi, std::optional<bool> tdo);
  void write_scan(TapState end);
  void settle();
  void put_state_line(const std::vector<TapState> &path);

  SvfSink &out_;
  TapState real_;               // the board's TAP
  TapState mapped_{};           // where the record's player is, or its stand-in for real_
  TapState written_{};          // the stable state the statements written so far end in
  std::vector<TapState> path_;  // from written_ to mapped_, not yet written
  std::vector<TapState> lead_;  // the walk into the open scan
  uint64_t run_ = 0;            // TCKs staying in written_, not yet written
  Scan scan_ = Scan::None;
  bool scan_ir_ = false;
  BitVector tdi_, tdo_, mask_;
  size_t bits_ = 0;
  bool any_tdo_ = false;
  std::optional<TapState> end_ir_, end_dr_;  // unknown at the start of a process
};

}  // namespace jtag

#endif
