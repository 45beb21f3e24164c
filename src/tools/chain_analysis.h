// What a chain's answers say about it, as jtag-detect reads them:
//
// - The number of devices: with every instruction register full of ones
//   (BYPASS), a data scan of m zeros then m ones; each device delays TDO by
//   its one-bit BYPASS register, so the first one comes out after m + N bits.
// - The IDCODEs: after Test-Logic-Reset each device holds IDCODE (32 bits,
//   least significant bit 1) or BYPASS (one 0 bit).  Read from TDO, the
//   device nearest TDO first.
// - The IR lengths: Capture-IR loads each IR with a pattern whose two least
//   significant bits are 01.  The scan out of all IRs, device nearest TDO
//   first, least significant bit first, is split into the devices' IRs at
//   places where a 1 is followed by a 0.  When more than one split fits,
//   the devices whose length differs between splits are ambiguous.
#ifndef JTAGBOX_TOOLS_CHAIN_ANALYSIS_H
#define JTAGBOX_TOOLS_CHAIN_ANALYSIS_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/bits.h"

namespace jtag::tools {

// Where the first 1 comes out at or after `from`, minus `from`; none when
// no 1 does.
std::optional<size_t> ones_delay(const BitVector &tdo, size_t from);

// The IDCODE of each of `count` devices (none for BYPASS) from the data
// scan after Test-Logic-Reset, or nothing when the bits run out.
std::optional<std::vector<std::optional<uint32_t>>> idcodes(const BitVector &tdo, size_t count);

// The IR length of each of `count` devices whose captured IRs are the first
// `total` bits of `captured` (none for a device whose length the pattern
// leaves open).  Empty when no split fits at all.
std::vector<std::optional<size_t>> ir_lengths(const BitVector &captured, size_t total, size_t count);

struct Tap {
  std::optional<uint32_t> idcode;
  std::optional<size_t> ir_length;
};

// The report: one line per TAP, then the totals.
std::string describe(const std::vector<Tap> &taps, size_t ir_total);

}  // namespace jtag::tools

#endif
