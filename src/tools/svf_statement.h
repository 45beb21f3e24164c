// SVF statements as jtag-svf plays them, read one at a time from the text:
//
//   SIR/SDR/HIR/HDR/TIR/TDR length [TDI (hex)] [TDO (hex)] [MASK (hex)] [SMASK (hex)];
//   ENDIR/ENDDR stable_state;
//   STATE [path_state...] stable_state;
//   RUNTEST [run_state] [count TCK|SCK] [min_time SEC] [MAXIMUM max_time SEC] [ENDSTATE end_state];
//   TRST ON|OFF|Z|ABSENT;
//   FREQUENCY [hz HZ];
//
// The stable states are RESET, IDLE, DRPAUSE and IRPAUSE.  Anything else
// (PIO, PIOMAP, an unknown keyword, a parameter out of place, a number that
// does not fit) is an error naming the file and the line the statement
// starts on.
#ifndef JTAGBOX_TOOLS_SVF_STATEMENT_H
#define JTAGBOX_TOOLS_SVF_STATEMENT_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "base/bits.h"
#include "base/tap_state.h"
#include "tools/svf_lexer.h"

namespace jtag::tools {

// The longest scan, headers and trailers included, and the most TCKs one
// RUNTEST gives: the longest shift the platform interface can express (its
// counts are ints).
inline constexpr uint64_t kMaxSvfBits = 2147483647;

// The scans: the two that shift, then the headers and trailers they carry.
enum class SvfScanKind { SIR, SDR, HIR, HDR, TIR, TDR };
inline constexpr int kSvfScanKinds = 6;
const char *svf_scan_name(SvfScanKind kind);

struct SvfScan {
  SvfScanKind kind = SvfScanKind::SDR;
  size_t length = 0;
  std::optional<SvfBits> tdi, tdo, mask;  // as given in this statement
  bool smask = false;                     // given (its digits are checked, not kept)
};

struct SvfEndState {
  bool ir = false;  // ENDIR, else ENDDR
  TapState state = TapState::RunTestIdle;
};

struct SvfStatePath {
  std::vector<TapState> states;  // the last one stable
};

struct SvfRunTest {
  std::optional<TapState> run_state;
  std::optional<uint64_t> tcks;
  std::optional<double> min_seconds, max_seconds;
  std::optional<TapState> end_state;
};

enum class SvfTrst { On, Off, Z, Absent };

struct SvfFrequency {
  std::optional<double> hz;  // none: back to the default
};

struct SvfStatement {
  std::string keyword;
  std::variant<SvfScan, SvfEndState, SvfStatePath, SvfRunTest, SvfTrst, SvfFrequency> body;
};

// The next statement, or none at the end of the text.  Throws SvfError.
std::optional<SvfStatement> read_statement(SvfLexer &in);

}  // namespace jtag::tools

#endif
