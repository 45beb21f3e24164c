// The remote_bitbang byte protocol (OpenOCD's remote_bitbang adapter
// driver), written once for the client backend and for `jtag-sim serve`.
//
// One ASCII byte per action:
//   '0'..'7'  drive TCK, TMS, TDI (bits 2, 1, 0); TAPs act on the rising edge
//   'R'       read TDO: the server answers '0' or '1'
//   'r' 's' 't' 'u'  TRST and SRST levels ('t' and 'u' assert TRST, 's' and
//             'u' SRST)
//   'B' 'b'   blink LED on/off      'Z' 'z'  sleep (long/short)
//   'Q'       the client is done
// A client gives one TCK as three bytes: TCK low with TMS and TDI, 'R' when
// it wants TDO (sampled before the rising edge), then TCK high.
//
// The protocol carries no TCK frequency.  jtagbox's servers take one more
// request, which no other client sends: 'F' and ten decimal digits, the
// rate in whole Hz the client clocks at from then on (all zeros: unknown
// again), no answer.  A client that drives real lines behind the server (the
// test suite's FTDI emulator) tells the board its clock this way.
#ifndef JTAGBOX_PROTOCOLS_RBB_PROTOCOL_H
#define JTAGBOX_PROTOCOLS_RBB_PROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace jtag::rbb {

inline constexpr char kReadTdo = 'R';
inline constexpr char kQuit = 'Q';
inline constexpr char kTdoLow = '0';
inline constexpr char kTdoHigh = '1';
inline constexpr char kTckRate = 'F';
inline constexpr std::size_t kTckRateDigits = 10;

// The byte that drives the three lines.
constexpr char line_byte(bool tck, bool tms, bool tdi) {
  return char('0' + (tck ? 4 : 0) + (tms ? 2 : 0) + (tdi ? 1 : 0));
}

struct Lines {
  bool tck;
  bool tms;
  bool tdi;
};

// The line levels a byte drives, or nothing when it is not a line byte.
constexpr std::optional<Lines> lines_of(char byte) {
  if (byte < '0' || byte > '7') return std::nullopt;
  const int bits = byte - '0';
  return Lines{(bits & 4) != 0, (bits & 2) != 0, (bits & 1) != 0};
}

constexpr char tdo_answer(bool tdo) { return tdo ? kTdoHigh : kTdoLow; }

// The byte that sets the reset lines: 'r' + 2 * TRST + SRST, each 1 when
// asserted ('r' releases both, 't' asserts TRST alone).
constexpr char reset_byte(bool trst, bool srst) { return char('r' + (trst ? 2 : 0) + (srst ? 1 : 0)); }
// Whether a reset byte ('r'..'u') asserts TRST.
constexpr bool trst_of(char reset) { return reset == 't' || reset == 'u'; }
// Whether a reset byte asserts SRST.
constexpr bool srst_of(char reset) { return reset == 's' || reset == 'u'; }

// The TDO level an answer byte carries, or nothing for any other byte.
constexpr std::optional<bool> tdo_of(char answer) {
  if (answer == kTdoLow) return false;
  if (answer == kTdoHigh) return true;
  return std::nullopt;
}

// The TCK rate request for `hz` (at most ten digits' worth).
inline std::string tck_rate_request(uint64_t hz) {
  std::string request(1 + kTckRateDigits, '0');
  request[0] = kTckRate;
  hz = hz > 9999999999U ? 9999999999U : hz;
  for (std::size_t at = kTckRateDigits; hz > 0; --at, hz /= 10) request[at] = char('0' + hz % 10);
  return request;
}

enum class Command { Lines, ReadTdo, Resets, Ignored, TckRate, Quit, Unknown };

// What a byte from a client asks of the server.
constexpr Command command_of(char byte) {
  if (lines_of(byte)) return Command::Lines;
  switch (byte) {
    case kReadTdo: return Command::ReadTdo;
    case 'r':
    case 's':
    case 't':
    case 'u': return Command::Resets;
    case 'B':
    case 'b':
    case 'Z':
    case 'z': return Command::Ignored;
    case kTckRate: return Command::TckRate;
    case kQuit: return Command::Quit;
    default: return Command::Unknown;
  }
}

}  // namespace jtag::rbb

#endif
