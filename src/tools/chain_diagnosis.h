// Why a chain does not answer as a healthy one does, from the same scans
// jtag-detect reads it with (chain_analysis.h).  Each finding is one line
// of a fixed form that a script can match (jtag-detect(1), DIAGNOSIS):
//
//   TDO stuck at 1: no device drives TDO (check the cable, the target's power and its TDO pull-up; or TAP 0 is held in
//   reset) TDO stuck at 1: scan mode 0x06 routes no device to TDO (select one with JTAG_CPUSelect or JTAG_VNXSelect)
//   TDO stuck at 0: something holds TDO low (check the cable for a short to ground, and the target's power)
//   TDO errors: two reads of the chain differ in N of M bits (check the wiring and its ground, or lower TCK;
//   --integrity measures the rate) chain open after TAP j (IDCODE 0x...): TAPs 0 to j answer, nothing comes through
//   from TDI (TAP j's TDI is open, or the next TAP toward TDI is held in reset) TAP k (IDCODE 0x...) IR capture 0bBITS
//   does not end in 01 the captured IR pattern HEX does not split into N IRs ending in 01 (a TAP's IR capture is
//   broken; --expect with the IR lengths tells which)
//
// How the faults look on the wire:
// - A TDO nobody drives reads its pull-up, all ones; so does a TAP 0 held
//   in reset (its TDO is not driven in Test-Logic-Reset), and so does a
//   scan mode that routes no device.  All zeros is a short to ground.
// - An open TDI floats high: the TAPs between the break and TDO shift as
//   ever, and after their own bits only ones come out.  In the BYPASS scan
//   each of them gives its captured 0 first, so the first 1 comes out after
//   as many bits as TAPs answer, before any of the m zeros shifted in could
//   arrive.  A TAP held in reset drives nothing, so the TAP after it toward
//   TDO reads ones: the same picture, one TAP nearer TDO.
// - Random bit errors make two reads of the same chain differ.
// - A broken IR capture leaves the captured pattern unsplittable; with the
//   IR length of every TAP known (its part, or --expect), the TAP is found.
#ifndef JTAGBOX_TOOLS_CHAIN_DIAGNOSIS_H
#define JTAGBOX_TOOLS_CHAIN_DIAGNOSIS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/bits.h"
#include "tools/chain_analysis.h"

namespace jtag::tools {

// The two scans of one read: from Test-Logic-Reset an IR scan of m zeros
// then m ones, then a DR scan of the same with every IR left in BYPASS.
struct ChainRead {
  BitVector ir;
  BitVector bypass;
};

// A TDO that never moves, in both reads; `scan_mode` the FPGA's word where
// the backend can tell it.
std::optional<std::string> stuck_line(const ChainRead &first, const ChainRead &second,
                                      std::optional<unsigned> scan_mode);
// Two reads that differ.
std::optional<std::string> errors_line(const ChainRead &first, const ChainRead &second);

// How many TAPs shift their BYPASS bit out before the first 1: with the
// chain whole, m + N; fewer than m when TDI does not come through.
size_t bits_before_first_one(const BitVector &bypass);

// The open chain's line; `answering` TAPs (at least 1) with `idcodes`.
std::string open_line(size_t answering, const std::vector<std::optional<uint32_t>> &idcodes);

// Bits shifted through every TAP's BYPASS register and what came back: bit
// i of `in` comes out as bit i + `taps` of `out`.
struct IntegrityCount {
  uint64_t bits = 0;
  uint64_t errors = 0;
  std::vector<uint64_t> first;  // the first few wrong bits' numbers
};
void count_bypass_errors(const BitVector &in, const BitVector &out, size_t taps, uint64_t first_bit,
                         IntegrityCount &count);
// "integrity: N bits through BYPASS, E errors" and, with errors, the rate
// and where the first were: ", rate R, first at bits a, b, c".
std::string integrity_line(const IntegrityCount &count);

// The IR length a TAP's part has, where it is known: (position, IDCODE).
using KnownIrLength = std::function<std::optional<size_t>(size_t, std::optional<uint32_t>)>;

// The IR lengths of `taps` whose IRs are the first `total` bits of `ir`,
// and the lines about their captures: from the parts' lengths where every
// TAP's is known and they add up, else from the split of the pattern.
std::vector<std::string> check_ir_captures(const BitVector &ir, size_t total, std::vector<Tap> &taps,
                                           const KnownIrLength &known);

}  // namespace jtag::tools

#endif
