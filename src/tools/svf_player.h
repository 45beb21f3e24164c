// Plays SVF statements on the board JTAG_PLATFORM names, through the
// platform core's TAP follower, so the recorders (JTAG_WAVE, JTAG_SVF) and
// JTAG_TRACE see every TCK like any command's.
//
// The rules of play:
//   - A scan walks by the shortest TMS path from the stable state the TAP is
//     in to Shift-IR/Shift-DR (from its own pause state that is Exit2 and
//     straight back into Shift, without a capture), shifts the header, the
//     statement's bits and the trailer in one bulk shift, and walks on to
//     the ENDIR/ENDDR state (Run-Test/Idle until one is given).  A scan
//     longer than kShiftPieceBits goes in pieces of that many bits, TMS low
//     on all but the last TCK of the last piece, so the TAP stays in Shift
//     from the first bit to the last and only a piece is held at a time: a
//     value given as a few digits (TDI (0)) is zeros above them, and those
//     are never held (SvfBits).
//   - The header bits (HIR/HDR) go in first: they belong to the devices
//     between the addressed one and TDO, and theirs are the first bits out.
//   - TDI and MASK are kept per statement kind for the next scan of the
//     same length; a new length forgets them (MASK is then all ones, and TDI
//     must be given).  TDO is checked only where given, under MASK.  SMASK
//     is read and changes nothing: every TDI bit is driven as given, which
//     is what a don't-care allows.
//   - A checked scan is compared before the next statement goes, so nothing
//     after a failing check reaches the board, on every backend.  With
//     `ahead` (a backend that defers shifts, a wire) up to that many checked
//     scans may be on the wire before their TDO is compared; a mismatch then
//     says how many statements after it had already gone to the board.
//   - STATE with one stable state walks SVF's default path
//     (svf_default_path).  A path is checked first: each state one TCK
//     from the one before.
//   - RUNTEST clocks in its run state for the larger of its TCK count and
//     its minimum time at the FREQUENCY in force (kDefaultHz until one is
//     given), and stays there until that minimum time has passed by a
//     steady clock, from when the TAP was in the run state on the board,
//     whatever the rate the backend's TCKs really go at; then it walks to
//     its end state.  Both states carry over: a run state named stays the
//     run state of the RUNTESTs after it (Run-Test/Idle at first), and the
//     end state is the last ENDSTATE named, or the run state of a RUNTEST
//     that named one but no ENDSTATE (Run-Test/Idle at first).  A MAXIMUM
//     shorter than those TCKs at that frequency is an error.
//   - TRST ON asserts the TRST line where the backend has one (the
//     simulated board, remote_bitbang): every TAP goes to Test-Logic-Reset
//     without a TCK, so no Update state is passed; OFF and Z release it,
//     ABSENT leaves it.  While it is ON, a statement that would clock the
//     TAP is an error.  A backend without the line gets five TCKs with TMS
//     high for ON.
//   - FREQUENCY sets the rate at which times become TCKs.  No backend's TCK
//     rate is set by it (an FTDI probe's is its khz key, the others have
//     none the platform sets), and the first FREQUENCY with a rate says so
//     once.
#ifndef JTAGBOX_TOOLS_SVF_PLAYER_H
#define JTAGBOX_TOOLS_SVF_PLAYER_H

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/bits.h"
#include "platform/tap_follower.h"
#include "tools/svf_statement.h"

namespace jtag::tools {

inline constexpr double kDefaultHz = 1e6;  // one TCK a microsecond, as in JTAG_WAVE
// A TDO mismatch in a scan up to this long shows the whole scan in hex; in
// a longer one, the 64 bits around the first difference and where they are.
inline constexpr size_t kWholeMismatchBits = 256;
// The most checked scans `ahead` may let run ahead of their checks, and the
// most bits those may have.
inline constexpr size_t kMaxAhead = 4096;
inline constexpr uint64_t kMaxUncheckedBits = uint64_t{1} << 22;
// The bits of a scan held at a time: a longer scan goes in pieces.
inline constexpr size_t kShiftPieceBits = size_t{1} << 20;
// The longest time one RUNTEST may wait.
inline constexpr double kMaxRunTestSeconds = 86400;

// The TMS levels of SVF's default path from one stable state to another,
// as STATE takes it when no path is given: the shortest, except from a
// pause state to itself, which goes round through Update and Capture
// (Pause-DR, Exit2-DR, Update-DR, Select-DR-Scan, Capture-DR, Exit1-DR,
// Pause-DR, and the same for the IR); from Run-Test/Idle or
// Test-Logic-Reset to itself no TCK.
std::vector<bool> svf_default_path(TapState from, TapState to);

struct SvfPlayerOptions {
  // At most this many checked scans run ahead of their checks; 0: none,
  // each is compared before the next statement goes.
  size_t ahead = 0;
  // On an adapter without a TRST line, TRST ON may be five TMS-high TCKs
  // even from a state where they pass Update-xR or Capture-xR.
  bool tms_trst = false;
  // Where a line for the person playing the file goes (the program prints
  // it); none: nowhere.
  std::function<void(const std::string &)> say;
};

class SvfPlayer {
 public:
  explicit SvfPlayer(SvfPlayerOptions options = {}) : options_(std::move(options)) {}

  // Plays `s`, which starts at `where` ("FILE:LINE").  Throws SvfError for a
  // statement that cannot be played and for a TDO mismatch, which may be
  // that of an earlier scan, at its own FILE:LINE.
  void play(SvfStatement &&s, const std::string &where);
  // Compares every scan still unchecked (none after a mismatch was found:
  // the scans after it are not counted as played).  Throws SvfError for a
  // mismatch.
  void finish() {
    if (!mismatch_) check_until(0);
  }

 private:
  // What a scan kind keeps between statements.  The values are shared with
  // the scans still unchecked, never copied.
  struct Pattern {
    size_t length = 0;
    std::shared_ptr<const SvfBits> tdi;
    std::shared_ptr<const SvfBits> mask;  // none: all ones
    std::shared_ptr<const SvfBits> tdo;   // headers and trailers check theirs on every scan
  };

  // A checked scan on the wire whose TDO has not been compared yet: what
  // its parts expect (their TDI is not kept), and the statements that had
  // gone to the board when it went.
  struct Unchecked {
    std::string where;
    bool ir;
    Pattern head, body, tail;
    uint64_t sent;
  };

  TapFollower &board(const std::string &trace_line);
  void scan(SvfScan &&s, const std::string &where);
  void scan_in_pieces(const Unchecked &u, const std::array<const Pattern *, 3> &parts, bool checked, TapState end);
  void check_until(size_t left);
  [[noreturn]] void failed_check(const SvfError &e, uint64_t sent);
  void check_scan(const Unchecked &u, const BitVector &out) const;
  void take(Pattern &p, SvfScan &&s, const std::string &where);
  void check(const Pattern &p, const BitVector &out, size_t out_at, size_t from, size_t to, const char *part,
             const std::string &where) const;
  static std::string mismatch_text(const Pattern &p, const BitVector &out, size_t out_at, size_t at, size_t length);
  void state_path(const SvfStatePath &s, const std::string &where);
  void run_test(const SvfRunTest &r, const std::string &where);
  uint64_t run_tcks(const SvfRunTest &r, const std::string &where) const;
  void end_state(const SvfEndState &e);
  void trst(SvfTrst mode, const std::string &where);
  void frequency(const SvfFrequency &f, const std::string &where);
  void say(const std::string &line) const {
    if (options_.say) options_.say(line);
  }

  std::array<Pattern, kSvfScanKinds> patterns_{};
  TapState end_ir_ = TapState::RunTestIdle, end_dr_ = TapState::RunTestIdle;
  TapState run_state_ = TapState::RunTestIdle;
  TapState run_end_ = TapState::RunTestIdle;  // RUNTEST's end state
  double hz_ = kDefaultHz;
  void trst_by_tms(const std::string &where);

  bool trst_on_ = false;  // TRST asserted by the file
  bool tms_trst_said_ = false;
  bool frequency_said_ = false;
  SvfPlayerOptions options_;
  bool mismatch_ = false;
  uint64_t sent_ = 0;  // statements that have gone to the board
  std::deque<Unchecked> unchecked_;
  uint64_t unchecked_bits_ = 0;
};

}  // namespace jtag::tools

#endif
