// The chain a board should have, for `jtag-detect --expect`, and how the
// chain jtag-detect found differs from it.
//
// The list, from a file or from the command line in one syntax: entries
// separated by commas, blanks or line ends (a run of them is one
// separator), `#` to the end of a line a comment.  An entry is
//   IDCODE[/MASK]:IRLEN   IDCODE and MASK hexadecimal, 0x optional, at most
//                         8 digits; only the IDCODE bits under MASK count
//   bypass:IRLEN          a TAP that comes up in BYPASS (no IDCODE)
// with IRLEN decimal, 1 to 1024.  TAP 0, the one nearest TDO, comes first,
// as jtag-detect lists them.  For example
//   0x04a56093:6, 0x0bc0e06b/0x0fffffff:8, bypass:4
//
// The differences, one line each, with no newline and no program name
// (scripts match these forms; k is a position, N the TAPs found, M those
// expected, "1 TAP" or "N TAPs" as jtag-detect counts them):
//   Same count, for each TAP k that differs, one line per field:
//     TAP k: IDCODE 0x%08x, expected 0x%08x[ (mask 0x%08x)]
//     TAP k: BYPASS, expected IDCODE 0x%08x[ (mask 0x%08x)]
//     TAP k: IDCODE 0x%08x, expected BYPASS
//     TAP k: IR length L, expected E
//     TAP k: IR length ambiguous, expected E
//   The mask is shown only when it is not 0xffffffff.
//   One TAP fewer, when leaving out one expected TAP makes the rest fit
//   (the lowest such k in the expected list's numbering):
//     N TAPs, M expected: TAP k (IDCODE 0x%08x) is missing
//     N TAPs, M expected: TAP k (BYPASS) is missing
//   One TAP more, when leaving out one found TAP makes the rest fit (the
//   lowest such k in the found numbering):
//     N TAPs, M expected: TAP k (IDCODE 0x%08x) is not expected
//     N TAPs, M expected: TAP k (BYPASS) is not expected
//   Either of these may be followed by `TAP k: IR length ambiguous,
//   expected E` lines (k in the found numbering) for the TAPs that fit on
//   IDCODE but whose IR length the chain left open.
//   Any other count, or one off with no TAP to leave out:
//     N TAPs, M expected
//   then the per-TAP lines above for the positions both lists have.
#ifndef JTAGBOX_TOOLS_EXPECTED_TAPS_H
#define JTAGBOX_TOOLS_EXPECTED_TAPS_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/chain_analysis.h"

namespace jtag::tools {

struct ExpectedTap {
  std::optional<uint32_t> idcode;  // none: the TAP comes up in BYPASS
  uint32_t mask = 0xffffffff;      // the IDCODE bits that must match
  size_t ir_length = 0;
};

inline constexpr size_t kMaxExpectedTaps = 1024;
inline constexpr size_t kMaxExpectedIrLength = 1024;

// The list in the syntax above.  A bad entry, an empty list or more than
// kMaxExpectedTaps entries throw ArgumentError with one line naming the
// entry and what is wrong with it.
std::vector<ExpectedTap> parse_expected_taps(const std::string &text);

// The chain of the board jtagbox is made for, in full-scan mode.
std::vector<ExpectedTap> board_expected_taps();

// Whether `idcode` (none: a BYPASS TAP) is the expected TAP's under its
// mask.
bool idcode_matches(const ExpectedTap &expected, std::optional<uint32_t> idcode);

// The differences between `found` and `expected` in the forms above; empty
// when the chain is as expected.
std::vector<std::string> compare_with_expected(const std::vector<Tap> &found, const std::vector<ExpectedTap> &expected);

}  // namespace jtag::tools

#endif
