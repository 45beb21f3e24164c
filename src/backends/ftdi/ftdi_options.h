// What JTAG_PLATFORM=ftdi:KEY=VALUE,... asks of an FTDI MPSSE probe, read
// and checked before any USB device is touched.
#ifndef JTAGBOX_BACKENDS_FTDI_FTDI_OPTIONS_H
#define JTAGBOX_BACKENDS_FTDI_FTDI_OPTIONS_H

#include <cstdint>
#include <optional>
#include <string>

#include "backends/backend_arguments.h"

namespace jtag::ftdi {

// The keys in the order of the positional form ftdi:SERIAL[:CHANNEL...].
inline constexpr const char *kKeys = "serial,channel,khz,vid,pid,trst,srst";

// The fastest TCK of each family: the H chips divide 60 MHz, the FT2232D
// 12 MHz, and TCK is half the divided clock.
inline constexpr unsigned kMaxKhzH = 30000;
inline constexpr unsigned kMaxKhzD = 6000;
// The pins 0..15 are ADBUS0-7 and ACBUS0-7; ADBUS0-3 carry TCK, TDI, TDO, TMS.
inline constexpr unsigned kFirstFreePin = 4;
inline constexpr unsigned kLastPin = 15;

struct FtdiOptions {
  uint16_t vid = 0x0403;
  uint16_t pid = 0x6010;
  std::string serial;    // empty: any, when only one probe matches
  unsigned channel = 0;  // 0..3 for A..D
  unsigned khz = 1000;
  std::optional<unsigned> trst, srst;  // active-low reset pins
};

// Throws PlatformError, in the words every backend uses, for a bad key or value.
FtdiOptions read_ftdi_options(const BackendArguments &arguments);

// The divisor of the 0x86 command for the fastest TCK not above `hz` on a
// chip whose fastest TCK is `max_khz`: TCK = max_khz / (1 + divisor).  A
// rate below the slowest the divisor reaches (max_khz / 65536) gets the
// slowest.
uint16_t tck_divisor(double hz, unsigned max_khz);

// The name of the probe's TAP record: one per probe and channel.
std::string record_name(const FtdiOptions &options, const std::string &serial);

}  // namespace jtag::ftdi

#endif
