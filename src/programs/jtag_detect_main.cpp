// jtag-detect: the chain the scan mode reaches, through whatever
// JTAG_PLATFORM names.  One line per TAP, the TAP nearest TDO first and
// numbered 0 (the order of OpenOCD's autoprobe), then the totals:
//
//   TAP 0: IDCODE 0x34a56093, IR length 6
//   TAP 1: BYPASS, IR length 8
//   2 TAPs (1 with IDCODE, 1 BYPASS only), IR 14 bits in all
//
// A probe that knows its chip and clock (ftdi:) says so in a first line:
//
//   FTDI probe 0403:6010 FT1 channel A (FT2232H): TCK 1000 kHz
//
// The scans, all through the platform's JTAG_Reset, JTAG_Select_IR and
// JTAG_Shift (chain_analysis.h says how the answers are read):
//   1. Test-Logic-Reset; an IR scan of m zeros then m ones: the captured
//      IRs come out first, and the first of the ones after m + (total IR
//      length) bits; every IR is left full of ones (BYPASS).
//   2. A DR scan of m zeros then m ones: the device count.
//   3. Test-Logic-Reset; a DR scan of 32 bits per device: the IDCODEs.
//   4. Test-Logic-Reset, where the chain is left.
// m is 1,024: chains of up to 1,024 devices and IR bits.  A TDO that never
// moves (all ones, as with no device routed, or all zeros) is reported as
// stuck, and a chain that answers no count as unreadable; both end with
// status 1.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/bits.h"
#include "base/printable.h"
#include "main/cli.h"
#include "platform/backend_description.h"
#include "platform/jtag_platform.h"
#include "platform/run_end.h"
#include "programs/program_frame.h"
#include "tools/chain_analysis.h"

namespace {

using jtag::BitVector;
namespace tools = jtag::tools;

constexpr size_t kMargin = 1024;

constexpr const char *kUsage =
    "usage: jtag-detect\n"
    "Lists the TAPs of the chain JTAG_PLATFORM reaches, the one nearest TDO\n"
    "first: IDCODE (or BYPASS) and IR length of each, then the totals.\n";

// The bits out of a JTAG_Shift, bit i the one out on TCK i.
BitVector shift(const std::string &hex, size_t count) {
  char *text = JTAG_Shift(hex.c_str(), int(count), 0, 0, '0');
  BitVector out = jtag::from_bit_string(text);
  std::free(text);
  return out;
}

// m zeros, then m ones: hex, least significant digit last.
std::string zeros_then_ones() { return std::string(kMargin / 4, 'f') + std::string(kMargin / 4, '0'); }

bool all(const BitVector &bits, bool value) {
  for (size_t i = 0; i < bits.size(); ++i)
    if (bits.get(i) != value) return false;
  return true;
}

// The report, then the end of the run; standard output is checked by the
// frame after it.
int finish(const std::string &report) {
  std::fputs(report.c_str(), stdout);
  return cli::end_board_run() ? jtag::frame::kSuccess : jtag::frame::kFailure;
}

// One line, even when the board cannot keep the run either.
int fail(const std::string &why) { return jtag::frame::failure(jtag::end_run_after_failure(why)); }

int detect() {
  JTAG_Reset();
  JTAG_Select_IR();
  const BitVector ir = shift(zeros_then_ones(), 2 * kMargin);
  if (all(ir, true)) return fail("TDO stuck at 1: no device answers");
  if (all(ir, false)) return fail("TDO stuck at 0: no device answers");
  const std::optional<size_t> ir_total = tools::ones_delay(ir, kMargin);

  JTAG_Select_DR();
  const BitVector bypass = shift(zeros_then_ones(), 2 * kMargin);
  const std::optional<size_t> count = tools::ones_delay(bypass, kMargin);
  if (!ir_total || !count) return fail("the chain is longer than 1024 bits or does not pass TDI on to TDO");
  if (*count == 0) return fail("no device: TDI comes straight back on TDO");

  JTAG_Reset();
  JTAG_Select_DR();
  const BitVector id_bits = shift(std::string(), 32 * *count);
  const auto codes = tools::idcodes(id_bits, *count);
  JTAG_Reset();
  if (!codes) return fail("the IDCODE scan does not match the device count");

  const auto lengths = tools::ir_lengths(ir, *ir_total, *count);
  std::vector<tools::Tap> taps(*count);
  for (size_t i = 0; i < *count; ++i) {
    taps[i].idcode = (*codes)[i];
    if (!lengths.empty()) taps[i].ir_length = lengths[i];
  }
  // A probe's line first: the TCK a marginal chain was read at matters.
  const std::string backend = jtag::backend_description();
  std::string report = (backend.empty() ? "" : backend + "\n") + tools::describe(taps, *ir_total);
  if (lengths.empty())
    report += "the captured IR pattern " + jtag::to_hex([&] {
                BitVector v(*ir_total);
                v.copy_from(0, ir, 0, *ir_total);
                return v;
              }()) +
              " does not split into " + std::to_string(*count) + " IRs ending in 01\n";
  return finish(report);
}

int run(int argc, char **argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0))
    return jtag::frame::print_help(kUsage);
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) return jtag::frame::print_version();
  if (argc != 1) return jtag::frame::usage_error("takes no arguments", kUsage);
  return detect();
}

}  // namespace

int main(int argc, char **argv) {
  jtag::set_failure_handler(cli::end_on_board_failure);
  return jtag::frame::run("jtag-detect", argc, argv, [](int n, char **words) {
    jtag::frame::show_notices_as("jtagbox");  // the board's lines are the commands'
    return run(n, words);
  });
}
