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
//   1 and 2 again: a chain whose two reads differ has bit errors.
//   3. Test-Logic-Reset; a DR scan of 32 bits per device: the IDCODEs.
//   4. Test-Logic-Reset, where the chain is left.
// m is 1,024: chains of up to 1,024 devices and IR bits.  What a broken
// chain shows is read as its likely cause (chain_diagnosis.h): a TDO stuck
// (or a scan mode that routes nothing), bit errors, a chain open after a
// TAP, a TAP whose IR capture does not end in 01.  Each finding is a line
// on standard error and the status is 1; the TAPs that do answer are still
// listed on standard output.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/bits.h"
#include "base/printable.h"
#include "main/cli.h"
#include "platform/backend_description.h"
#include "platform/jtag_platform.h"
#include "platform/run_end.h"
#include "programs/program_frame.h"
#include "tools/chain_analysis.h"
#include "tools/chain_diagnosis.h"

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

// Scans 1 and 2, from Test-Logic-Reset.
tools::ChainRead read_chain() {
  tools::ChainRead read;
  JTAG_Reset();
  JTAG_Select_IR();
  read.ir = shift(zeros_then_ones(), 2 * kMargin);
  JTAG_Select_DR();
  read.bypass = shift(zeros_then_ones(), 2 * kMargin);
  return read;
}

// Scan 3: the IDCODEs (or BYPASS bits) of `count` TAPs.
std::optional<std::vector<std::optional<uint32_t>>> read_idcodes(size_t count) {
  JTAG_Reset();
  JTAG_Select_DR();
  const BitVector id_bits = shift(std::string(), 32 * count);
  JTAG_Reset();
  return tools::idcodes(id_bits, count);
}

// The IR length of the board's own parts, told apart by the part number
// and manufacturer (the version is the chip's place on the board).
std::optional<size_t> board_part_ir_length(size_t, std::optional<uint32_t> idcode) {
  if (!idcode) return std::nullopt;
  const uint32_t part = *idcode & 0x0fffffffu;
  if (part == 0x0bc0e06bu) return 8;  // the processors
  if (part == 0x04a56093u) return 6;  // the Vornex chips
  return std::nullopt;
}

std::vector<tools::Tap> taps_of(const std::vector<std::optional<uint32_t>> &codes) {
  std::vector<tools::Tap> taps(codes.size());
  for (size_t i = 0; i < codes.size(); ++i) taps[i].idcode = codes[i];
  return taps;
}

// One line, even when the board cannot keep the run either.
int fail(const std::string &why) { return jtag::frame::failure(jtag::end_run_after_failure(why)); }

// The report on standard output, then the findings on standard error, one
// line each, and the end of the run: status 1 when anything was found.
int finish(const std::string &report, const std::vector<std::string> &findings) {
  std::fputs(report.c_str(), stdout);
  if (findings.empty()) return cli::end_board_run() ? jtag::frame::kSuccess : jtag::frame::kFailure;
  std::fflush(stdout);
  for (size_t i = 0; i + 1 < findings.size(); ++i) std::fprintf(stderr, "jtag-detect: %s\n", findings[i].c_str());
  return fail(findings.back());
}

int detect() {
  const tools::ChainRead first = read_chain();
  const tools::ChainRead second = read_chain();
  if (auto stuck = tools::stuck_line(first, second, std::nullopt)) {
    // Only a TDO stuck high asks what the FPGA routes: a mode with no
    // device reads the pull-up too.
    if (stuck->starts_with("TDO stuck at 1")) stuck = tools::stuck_line(first, second, jtag::routed_scan_mode());
    JTAG_Reset();
    return fail(*stuck);
  }
  if (const auto errors = tools::errors_line(first, second)) {
    JTAG_Reset();
    return fail(*errors);
  }
  // A probe's line first: the TCK a marginal chain was read at matters.
  const std::string backend = jtag::backend_description();
  const std::string probe = backend.empty() ? "" : backend + "\n";

  const size_t before_one = tools::bits_before_first_one(first.bypass);
  if (before_one < kMargin) {
    // TDI does not come through: the TAPs that shifted a BYPASS 0 answer.
    JTAG_Reset();
    if (before_one == 0) return fail("the chain is unreadable: its BYPASS scan starts with a 1");
    const auto codes = read_idcodes(before_one);
    if (!codes) return fail("the IDCODE scan does not match the device count");
    return finish(probe, {tools::open_line(before_one, *codes)});
  }
  const std::optional<size_t> ir_total = tools::ones_delay(first.ir, kMargin);
  const size_t count = before_one - kMargin;
  if (!ir_total || before_one >= first.bypass.size()) {
    JTAG_Reset();
    return fail("the chain is longer than 1024 bits or does not pass TDI on to TDO");
  }
  if (count == 0) {
    JTAG_Reset();
    return fail("no device: TDI comes straight back on TDO");
  }
  const auto codes = read_idcodes(count);
  if (!codes) return fail("the IDCODE scan does not match the device count");
  std::vector<tools::Tap> taps = taps_of(*codes);
  const std::vector<std::string> findings = tools::check_ir_captures(first.ir, *ir_total, taps, board_part_ir_length);
  return finish(probe + tools::describe(taps, *ir_total), findings);
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
