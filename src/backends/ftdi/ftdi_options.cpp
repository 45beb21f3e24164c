#include "backends/ftdi/ftdi_options.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

namespace jtag::ftdi {
namespace {

std::optional<unsigned> reset_pin(const BackendArguments &arguments, const char *key) {
  if (!arguments.has(key)) return std::nullopt;
  const std::string text = arguments.get(key);
  const bool digits = !text.empty() && text.size() <= 2 &&
                      std::isdigit(static_cast<unsigned char>(text.front())) != 0 &&
                      std::isdigit(static_cast<unsigned char>(text.back())) != 0;
  const unsigned pin = digits ? unsigned(std::stoul(text)) : 0;
  if (!digits || pin < kFirstFreePin || pin > kLastPin)
    arguments.bad_value(key, "4..15: ADBUS4-7, then ACBUS0-7 as 8-15; 0-3 carry TCK, TDI, TDO, TMS");
  return pin;
}

}  // namespace

FtdiOptions read_ftdi_options(const BackendArguments &arguments) {
  FtdiOptions o;
  if (arguments.has("vid")) o.vid = uint16_t(arguments.hex_number("vid", 0xFFFF));
  if (arguments.has("pid")) o.pid = uint16_t(arguments.hex_number("pid", 0xFFFF));
  o.serial = arguments.get("serial");
  if (arguments.has("channel")) {
    const std::string c = arguments.get("channel");
    const char letter = c.size() == 1 ? char(std::toupper(static_cast<unsigned char>(c[0]))) : '?';
    if (letter < 'A' || letter > 'D') arguments.bad_value("channel", "A, B, C or D");
    o.channel = unsigned(letter - 'A');
  }
  if (arguments.has("khz")) o.khz = unsigned(arguments.number("khz", 1, kMaxKhzH));
  o.trst = reset_pin(arguments, "trst");
  o.srst = reset_pin(arguments, "srst");
  if (o.trst && o.srst && *o.trst == *o.srst) arguments.bad_value("srst", "a pin other than trst's");
  return o;
}

uint16_t tck_divisor(double hz, unsigned max_khz) {
  // 1 + divisor, rounded up: never faster than asked.  The slack keeps a
  // rate that divides exactly (1 MHz of 30 MHz) from rounding one step down.
  const double divided = std::ceil(double(max_khz) * 1e3 / hz - 1e-9);
  return uint16_t(std::clamp(divided, 1.0, 65536.0) - 1);
}

std::string record_name(const FtdiOptions &options, const std::string &serial) {
  char ids[32];
  std::snprintf(ids, sizeof ids, "ftdi-%04x-%04x-", unsigned(options.vid), unsigned(options.pid));
  // tap_record_file() makes any other character of the serial a '_'.
  return ids + (serial.empty() ? std::string("no-serial") : serial) + "-" + char('A' + options.channel);
}

}  // namespace jtag::ftdi
