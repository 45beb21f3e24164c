// The length of a scan chain on the board JTAG_PLATFORM names, by the
// usual flush, in one shift of 2 MAX + 1 bits: MAX zeros, a one, MAX
// zeros.  What comes out first is the chain's own contents (LENGTH bits),
// then the zeros, then the one, LENGTH + MAX bits in; the one must follow
// MAX zeros, so contents that happen to hold a one are never taken for it.
// A second shift puts the contents back, and must see the zeros the first
// left: a chain longer than MAX, or one that does not pass its bits on,
// is found out there.
//
// The chain is reached as the scan dumps reach it (JTAG_ScanDump,
// JTAG_VnxScanDump).  Where the backend selects the scan mode (the
// simulated board in the process), the device is routed first and the
// scan-mode word put back after; where it cannot (rbb:, xvc:), the device
// must be the one the board already routes, told by its IDCODE alone on
// the chain.  A Vornex chip's clock is stopped around the shifts (its chain
// moves at every capture while it runs) and put back as it was, where the
// backend reaches the FPGA registers.  The TAP ends in Test-Logic-Reset.
#ifndef JTAGBOX_SCANMAP_CHAIN_MEASURE_H
#define JTAGBOX_SCANMAP_CHAIN_MEASURE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace jtag::scanmap {

struct ChainAddress {
  bool vornex = false;
  unsigned device = 0;       // 0..3
  unsigned chain = 0;        // the processor chain selector, 0..0x3f
  std::string name() const;  // cpu2.chain.0c, vnx1.chain: jtag-sim's keys
};

inline constexpr uint64_t kMaxMeasure = uint64_t{1} << 24;

// The chain's length, or nullopt when no one came back within `max` bits.
// Throws PlatformError: the board, a device that is not routed (Argument).
std::optional<uint64_t> measure_chain(const ChainAddress &address, uint64_t max);

// The chains `skeleton` measures: every chain of every device the backend
// can route, or of the one device it routes.
std::vector<ChainAddress> reachable_chains();

}  // namespace jtag::scanmap

#endif
