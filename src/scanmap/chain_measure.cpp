#include "scanmap/chain_measure.h"

#include <cstdio>
#include <cstdlib>

#include "base/bits.h"
#include "base/error.h"
#include "base/heap_text.h"
#include "platform/jtag_platform.h"

namespace jtag::scanmap {
namespace {

constexpr unsigned kDevices = 4;
constexpr unsigned kProcessorChains = 64;  // a 6-bit chain selector
constexpr int kProcessorIr = 8;
constexpr int kVornexIr = 6;
constexpr uint32_t kProcessorIdcode = 0x0bc0e06b;  // the chip's number in bits 31..28
constexpr uint32_t kVornexIdcode = 0x04a56093;
constexpr uint32_t kMiscCsr = 0xCB1000;  // bit 0 stops the Vornex clocks
constexpr unsigned char kClockStop = 0x01;

// The scan-mode words: processors 0..3 are codes 1, 3, 4, 5; a Vornex chip
// is code 7 with its number in bits 7..6.
unsigned mode_word(const ChainAddress &a) {
  static constexpr unsigned kProcessorCodes[kDevices] = {1, 3, 4, 5};
  return a.vornex ? (a.device << 6) | 7 : kProcessorCodes[a.device];
}

// The bits out of one full shift of `in` from Select-xR-Scan.
BitVector shift(const BitVector &in) {
  const HeapText out(JTAG_Shift(to_hex(in).c_str(), int(in.size()), 0, 0, '0'));
  return from_bit_string(out.get());
}

void load(bool instruction, const char *hex, int bits) {
  if (instruction)
    JTAG_Select_IR();
  else
    JTAG_Select_DR();
  const HeapText dropped(JTAG_Shift(hex, bits, 0, 0, '0'));
}

// The setup of JTAG_ScanDump and JTAG_VnxScanDump: the chain becomes the
// data register.
void reach_chain(const ChainAddress &a) {
  if (a.vornex) {
    load(true, "3D", kVornexIr);
    load(true, "0A", kVornexIr);
    load(false, "01e0", 16);
    load(true, "3E", kVornexIr);
  } else {
    char selector[8];
    std::snprintf(selector, sizeof selector, "%02x", a.chain);
    load(true, "88", kProcessorIr);
    load(true, "81", kProcessorIr);
    load(false, selector, 6);
    load(true, "80", kProcessorIr);
  }
  JTAG_Select_DR();
}

// The scan-mode word in force, or nullopt where the backend cannot tell
// (nor select): a board on the wire.
std::optional<unsigned> scan_mode_in_force() {
  try {
    return JTAG_read_scan_control_reg() & 0xffu;
  } catch (const PlatformError &e) {
    if (e.kind() != ErrorKind::Unsupported) throw;
    return std::nullopt;
  }
}

// The one device the chain holds, by the IDCODE it gives after a reset and
// the zeros behind it; nullopt for anything else.
std::optional<ChainAddress> routed_device() {
  JTAG_Reset();
  JTAG_Select_DR();
  const BitVector out = shift(BitVector(64));
  const uint64_t id = out.get_bits(0, 32);
  if (out.get_bits(32, 32) != 0) return std::nullopt;
  for (unsigned n = 0; n < kDevices; ++n) {
    if (id == (kProcessorIdcode | (uint64_t(n) << 28))) return ChainAddress{false, n, 0};
    if (id == (kVornexIdcode | (uint64_t(n) << 28))) return ChainAddress{true, n, 0};
  }
  return std::nullopt;
}

std::string device_name(const ChainAddress &a) { return (a.vornex ? "vnx" : "cpu") + std::to_string(a.device); }

// The Vornex clock stopped for as long as it lives, then as it was; nothing
// where the backend has no FPGA registers.
class ClockHold {
 public:
  explicit ClockHold(bool vornex) {
    if (!vornex) return;
    try {
      csr_ = fpga_get8(kMiscCsr);
    } catch (const PlatformError &e) {
      if (e.kind() != ErrorKind::Unsupported) throw;
      return;
    }
    held_ = true;
    if ((csr_ & kClockStop) == 0) fpga_put8(kMiscCsr, static_cast<unsigned char>(csr_ | kClockStop));
  }
  void restore() {
    if (held_ && (csr_ & kClockStop) == 0) fpga_put8(kMiscCsr, csr_);
    held_ = false;
  }

 private:
  bool held_ = false;
  unsigned char csr_ = 0;
};

}  // namespace

std::string ChainAddress::name() const {
  if (vornex) return device_name(*this) + ".chain";
  char key[32];
  std::snprintf(key, sizeof key, "cpu%u.chain.%02x", device, chain);
  return key;
}

std::optional<uint64_t> measure_chain(const ChainAddress &address, uint64_t max) {
  if (address.device >= kDevices || (!address.vornex && address.chain >= kProcessorChains))
    throw ArgumentError("no such chain: " + address.name());
  if (max == 0 || max > kMaxMeasure) throw ArgumentError("--max must be 1 to " + std::to_string(kMaxMeasure) + " bits");
  const std::optional<unsigned> mode = scan_mode_in_force();
  if (mode) {
    JTAG_system_scan_mode_select(mode_word(address));
  } else {
    const std::optional<ChainAddress> routed = routed_device();
    if (!routed || routed->vornex != address.vornex || routed->device != address.device)
      throw ArgumentError("this backend cannot select the scan mode, and the board routes " +
                          (routed ? device_name(*routed) : std::string("no single device")) + ", not " +
                          device_name(address));
  }
  ClockHold clock(address.vornex);
  JTAG_Reset();
  reach_chain(address);
  // At most 2^24, checked above: a size even where size_t has 32 bits.
  const auto limit = static_cast<size_t>(max);
  BitVector flush(2 * limit + 1);
  flush.set(limit, true);
  const BitVector out = shift(flush);
  // The last one out, which must follow MAX zeros.
  std::optional<size_t> length;
  for (size_t k = out.size(); k-- > limit;) {
    if (!out.get(k)) continue;
    bool zeros = true;
    for (size_t j = k - limit; j < k && zeros; ++j) zeros = !out.get(j);
    if (zeros && k > limit) length = k - limit;
    break;
  }
  if (length) {
    BitVector contents(*length);
    contents.copy_from(0, out, 0, *length);
    JTAG_Select_DR();
    if (shift(contents) != BitVector(*length)) {
      JTAG_Reset();
      throw PlatformError(address.name() + " did not read back as a chain of " + std::to_string(*length) +
                          " bits; its contents may have changed");
    }
  }
  JTAG_Reset();
  clock.restore();
  if (mode) JTAG_system_scan_mode_select(*mode);
  if (!length) return std::nullopt;
  return uint64_t{*length};
}

std::vector<ChainAddress> reachable_chains() {
  std::vector<ChainAddress> chains;
  std::vector<ChainAddress> devices;
  if (scan_mode_in_force()) {
    for (unsigned n = 0; n < kDevices; ++n) devices.push_back(ChainAddress{false, n, 0});
    for (unsigned n = 0; n < kDevices; ++n) devices.push_back(ChainAddress{true, n, 0});
  } else if (const std::optional<ChainAddress> routed = routed_device()) {
    devices.push_back(*routed);
  }
  for (const ChainAddress &d : devices) {
    if (d.vornex) {
      chains.push_back(d);
      continue;
    }
    for (unsigned c = 0; c < kProcessorChains; ++c) chains.push_back(ChainAddress{false, d.device, c});
  }
  return chains;
}

}  // namespace jtag::scanmap
