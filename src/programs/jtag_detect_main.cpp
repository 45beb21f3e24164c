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
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/bits.h"
#include "base/errno_text.h"
#include "base/error.h"
#include "base/heap_text.h"
#include "base/number_text.h"
#include "base/printable.h"
#include "base/unique_fd.h"
#include "main/cli.h"
#include "platform/backend_description.h"
#include "platform/jtag_platform.h"
#include "platform/run_end.h"
#include "programs/program_frame.h"
#include "tools/chain_analysis.h"
#include "tools/chain_diagnosis.h"
#include "tools/expected_taps.h"
#include "tools/idcode_fields.h"

namespace {

using jtag::BitVector;
namespace tools = jtag::tools;

constexpr size_t kMargin = 1024;
constexpr uint64_t kDefaultIntegrityBits = uint64_t{1} << 20;
constexpr uint64_t kMaxIntegrityBits = uint64_t{1} << 32;
constexpr size_t kIntegrityPiece = size_t{1} << 20;  // bits per scan of the test
// --find-tck: from this rate down, halving, to the floor; the error rate it
// must detect by default; how close two rates may be and still differ.
constexpr double kFastestTckHz = 100e6;
constexpr double kSlowestTckHz = 1e3;
constexpr double kDefaultDetectRate = 1e-5;
constexpr double kErrorsToSee = 20;  // on average, at the rate to detect

constexpr const char *kUsage =
    "usage: jtag-detect [-v] [--json] [--expect LIST|@FILE | --expect-board] [--integrity [N]] [--find-tck [RATE]]\n"
    "Lists the TAPs of the chain JTAG_PLATFORM reaches, the one nearest TDO\n"
    "first: IDCODE (or BYPASS) and IR length of each, then the totals.  A\n"
    "broken chain is read for its likely cause: one line each on standard\n"
    "error, status 1 (jtag-detect(1), DIAGNOSIS).\n"
    "  -v              each IDCODE's fields too\n"
    "  --json          one JSON object with the same facts\n"
    "  --expect LIST   the TAPs expected, TAP 0 first: IDCODE[/MASK]:IRLEN or\n"
    "                  bypass:IRLEN, separated by commas or blanks; @FILE\n"
    "                  reads them from FILE (# starts a comment)\n"
    "  --expect-board  the full-scan chain of the board jtagbox models\n"
    "  --integrity [N] then N random bits (default 1048576) through BYPASS\n"
    "  --find-tck [RATE]\n"
    "                  the fastest TCK that passes the integrity test twice,\n"
    "                  with bits enough to see a bit error rate of RATE\n"
    "                  (default 1e-5) 20 times\n";

struct Options {
  bool verbose = false;
  bool json = false;
  std::optional<uint64_t> integrity_bits;
  std::optional<double> find_tck_rate;  // the error rate to detect
  std::optional<std::vector<tools::ExpectedTap>> expected;
};

// What --find-tck found: the fastest rate that passed, the bits of each test.
struct TckSearch {
  std::optional<double> fastest_hz;
  uint64_t bits = 0;
  bool settable = true;
};

// What one run found: the probe's line, the TAPs that answer, the findings.
struct Report {
  std::string probe;
  std::vector<tools::Tap> taps;
  std::optional<size_t> ir_total;
  bool counted = false;  // the TAP list and totals stand (the chain was counted)
  std::vector<std::string> findings;
  std::optional<tools::IntegrityCount> integrity;
  std::optional<TckSearch> tck;
};

// The bits out of a JTAG_Shift, bit i the one out on TCK i.
BitVector shift(const std::string &hex, size_t count) {
  const jtag::HeapText text(JTAG_Shift(hex.c_str(), int(count), 0, 0, '0'));
  return jtag::from_bit_string(text.get());
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

// A TAP's IR length where it is known: the expected TAP at its place, when
// that is the one found there; else one of the board's own parts.
tools::KnownIrLength known_ir_lengths(const std::optional<std::vector<tools::ExpectedTap>> &expected) {
  return [&expected](size_t k, std::optional<uint32_t> idcode) -> std::optional<size_t> {
    if (expected && k < expected->size() && tools::idcode_matches((*expected)[k], idcode))
      return (*expected)[k].ir_length;
    if (!idcode) return std::nullopt;
    for (const tools::ExpectedTap &part : tools::board_expected_taps())
      if (tools::idcode_matches(part, idcode)) return part.ir_length;
    return std::nullopt;
  };
}

std::vector<tools::Tap> taps_of(const std::vector<std::optional<uint32_t>> &codes) {
  std::vector<tools::Tap> taps(codes.size());
  for (size_t i = 0; i < codes.size(); ++i) taps[i].idcode = codes[i];
  return taps;
}

// Random bits through every TAP's BYPASS register, in scans of a piece
// each: every IR full of ones first, then one DR scan a piece, each bit
// coming out `taps` bits after it went in.
tools::IntegrityCount test_integrity(uint64_t bits, size_t taps, size_t ir_total) {
  std::mt19937_64 random(std::random_device{}());
  JTAG_Reset();
  JTAG_Select_IR();
  shift(std::string((ir_total + 3) / 4, 'f'), ir_total);
  tools::IntegrityCount count;
  for (uint64_t done = 0; done < bits;) {
    const size_t piece = size_t(std::min<uint64_t>(kIntegrityPiece, bits - done));
    BitVector in(piece + taps);
    for (size_t i = 0; i < piece; ++i) in.set(i, (random() & 1) != 0);
    JTAG_Select_DR();
    const BitVector out = shift(jtag::to_hex(in), in.size());
    BitVector sent(piece);
    sent.copy_from(0, in, 0, piece);
    tools::count_bypass_errors(sent, out, taps, done, count);
    done += piece;
  }
  JTAG_Reset();
  return count;
}

// 1000 kHz, 4285.714 kHz: as the FTDI probe's line gives a rate.
std::string khz_text(double hz) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", hz / 1e3);
  std::string out = text;
  while (out.back() == '0') out.pop_back();
  if (out.back() == '.') out.pop_back();
  return out + " kHz";
}

// The fastest TCK at which two integrity tests see no error.  From the
// fastest rate the backend takes down, halving, to the first that passes;
// then between it and the last that failed, halving the gap, as long as
// the backend has a setting in between.  Errors that come with a fast clock
// come at every faster rate too, so the rates that pass are those below a
// limit, and the search ends at the fastest setting below it.
TckSearch find_tck(double detect_rate, size_t taps, size_t ir_total) {
  TckSearch search;
  search.bits = uint64_t(std::ceil(kErrorsToSee / detect_rate));
  // At the rate last set: each rate is set once, where it is chosen.
  const auto passes = [&] {
    return test_integrity(search.bits, taps, ir_total).errors == 0 &&
           test_integrity(search.bits, taps, ir_total).errors == 0;
  };
  std::optional<double> failed;
  std::optional<double> rate = jtag::set_tck_hz(kFastestTckHz);
  if (!rate) {
    search.settable = false;
    return search;
  }
  while (*rate >= kSlowestTckHz && !passes()) {
    failed = rate;
    const std::optional<double> slower = jtag::set_tck_hz(*rate / 2);
    if (!slower || *slower >= *rate) return search;  // no slower setting
    rate = slower;
  }
  if (*rate < kSlowestTckHz) return search;
  double passed = *rate;
  while (failed) {
    const std::optional<double> between = jtag::set_tck_hz((passed + *failed) / 2);
    if (!between || *between <= passed * (1 + 1e-9) || *between >= *failed * (1 - 1e-9) || *failed / passed < 1 + 1e-4)
      break;  // no setting in between, or as close as matters
    if (passes())
      passed = *between;
    else
      failed = between;
  }
  jtag::set_tck_hz(passed);
  search.fastest_hz = passed;
  return search;
}

std::string tck_line(const TckSearch &search) {
  if (!search.settable) return "find-tck: this backend cannot set its TCK";
  const std::string tests = " (each setting tested twice with " + std::to_string(search.bits) + " bits)";
  if (!search.fastest_hz)
    return "find-tck: no TCK down to " + khz_text(kSlowestTckHz) + " passes" + tests +
           ": the errors do not come from the clock's speed";
  return "find-tck: fastest TCK without bit errors: " + khz_text(*search.fastest_hz) + tests;
}

// Bit by bit, what two of three reads say.
tools::ChainRead majority(const tools::ChainRead &a, const tools::ChainRead &b, const tools::ChainRead &c) {
  auto vote = [](const BitVector &x, const BitVector &y, const BitVector &z) {
    BitVector out(x.size());
    for (size_t i = 0; i < x.size() && i < y.size() && i < z.size(); ++i)
      out.set(i, int(x.get(i)) + int(y.get(i)) + int(z.get(i)) >= 2);
    return out;
  };
  return {vote(a.ir, b.ir, c.ir), vote(a.bypass, b.bypass, c.bypass)};
}

// Reads the chain and says what it found.  A noisy chain ends the report,
// unless the integrity test is to measure it: then the chain is what two of
// three reads say.
Report examine(const Options &options) {
  Report report;
  tools::ChainRead read = read_chain();
  const tools::ChainRead second = read_chain();
  if (auto stuck = tools::stuck_line(read, second, std::nullopt)) {
    // Only a TDO stuck high asks what the FPGA routes: a mode with no
    // device reads the pull-up too.
    if (stuck->starts_with("TDO stuck at 1")) stuck = tools::stuck_line(read, second, jtag::routed_scan_mode());
    JTAG_Reset();
    report.findings.push_back(*stuck);
    return report;
  }
  if (const auto errors = tools::errors_line(read, second)) {
    report.findings.push_back(*errors);
    if (!options.integrity_bits && !options.find_tck_rate) {
      JTAG_Reset();
      return report;
    }
    read = majority(read, second, read_chain());
  }
  // A probe's line first: the TCK a marginal chain was read at matters.
  report.probe = jtag::backend_description();

  const size_t before_one = tools::bits_before_first_one(read.bypass);
  if (before_one < kMargin) {
    // TDI does not come through: the TAPs that shifted a BYPASS 0 answer.
    JTAG_Reset();
    if (before_one == 0) {
      report.findings.emplace_back("the chain is unreadable: its BYPASS scan starts with a 1");
      return report;
    }
    const auto codes = read_idcodes(before_one);
    report.findings.push_back(codes ? tools::open_line(before_one, *codes)
                                    : "the IDCODE scan does not match the device count");
    return report;
  }
  const std::optional<size_t> ir_total = tools::ones_delay(read.ir, kMargin);
  const size_t count = before_one - kMargin;
  JTAG_Reset();
  if (!ir_total || before_one >= read.bypass.size()) {
    report.findings.emplace_back("the chain is longer than 1024 bits or does not pass TDI on to TDO");
    return report;
  }
  if (count == 0) {
    report.findings.emplace_back("no device: TDI comes straight back on TDO");
    return report;
  }
  const auto codes = read_idcodes(count);
  if (!codes) {
    report.findings.emplace_back("the IDCODE scan does not match the device count");
    return report;
  }
  report.taps = taps_of(*codes);
  report.ir_total = ir_total;
  report.counted = true;
  for (std::string &line :
       tools::check_ir_captures(read.ir, *ir_total, report.taps, known_ir_lengths(options.expected)))
    report.findings.push_back(std::move(line));
  if (options.expected)
    for (std::string &line : tools::compare_with_expected(report.taps, *options.expected))
      report.findings.push_back(std::move(line));
  if (options.integrity_bits) {
    report.integrity = test_integrity(*options.integrity_bits, count, *ir_total);
    if (report.integrity->errors > 0) report.findings.push_back(tools::integrity_line(*report.integrity));
  }
  if (options.find_tck_rate) {
    report.tck = find_tck(*options.find_tck_rate, count, *ir_total);
    if (!report.tck->fastest_hz) report.findings.push_back(tck_line(*report.tck));
  }
  return report;
}

std::string text_of(const Report &report, const Options &options) {
  std::string out = report.probe.empty() ? "" : report.probe + "\n";
  if (!report.counted) return out;
  out += tools::describe(report.taps, *report.ir_total);
  if (options.verbose)
    for (size_t i = 0; i < report.taps.size(); ++i)
      if (report.taps[i].idcode)
        out += "TAP " + std::to_string(i) + ": " + tools::idcode_fields(*report.taps[i].idcode) + "\n";
  if (report.integrity && report.integrity->errors == 0) out += tools::integrity_line(*report.integrity) + "\n";
  if (report.tck && report.tck->fastest_hz) out += tck_line(*report.tck) + "\n";
  return out;
}

std::string json_string(const std::string &text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(static_cast<unsigned char>(c)));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// One object: "probe" (or null), "taps" (each "idcode" a hex string or
// null for BYPASS, "ir_length" a number or null), "ir_total", "integrity",
// "findings" (the lines of standard error, without the program's name) and
// "status".
std::string json_of(const Report &report, int status) {
  std::string out = "{\"probe\": " + (report.probe.empty() ? std::string("null") : json_string(report.probe));
  out += ", \"taps\": [";
  for (size_t i = 0; i < report.taps.size(); ++i) {
    const tools::Tap &tap = report.taps[i];
    out += std::string(i > 0 ? ", " : "") + "{\"tap\": " + std::to_string(i) +
           ", \"idcode\": " + (tap.idcode ? "\"" + tools::idcode_text(*tap.idcode) + "\"" : std::string("null")) +
           ", \"ir_length\": " + (tap.ir_length ? std::to_string(*tap.ir_length) : std::string("null")) + "}";
  }
  out += "], \"ir_total\": " + (report.ir_total ? std::to_string(*report.ir_total) : std::string("null"));
  out += ", \"integrity\": ";
  if (report.integrity) {
    out += "{\"bits\": " + std::to_string(report.integrity->bits) +
           ", \"errors\": " + std::to_string(report.integrity->errors) + ", \"first\": [";
    for (size_t i = 0; i < report.integrity->first.size(); ++i)
      out += (i > 0 ? ", " : "") + std::to_string(report.integrity->first[i]);
    out += "]}";
  } else {
    out += "null";
  }
  out += ", \"fastest_tck_hz\": ";
  if (report.tck && report.tck->fastest_hz) {
    char hz[32];
    std::snprintf(hz, sizeof hz, "%.0f", *report.tck->fastest_hz);
    out += hz;
  } else {
    out += "null";
  }
  out += ", \"findings\": [";
  for (size_t i = 0; i < report.findings.size(); ++i) out += (i > 0 ? ", " : "") + json_string(report.findings[i]);
  return out + "], \"status\": " + std::to_string(status) + "}\n";
}

// One line, even when the board cannot keep the run either.
int fail(const std::string &why) { return jtag::frame::failure(jtag::end_run_after_failure(why)); }

// The report on standard output, then the findings on standard error, one
// line each, and the end of the run: status 1 when anything was found.
// With --json the object alone, on standard output.
int finish(const Report &report, const Options &options) {
  const int status = report.findings.empty() ? jtag::frame::kSuccess : jtag::frame::kFailure;
  if (options.json) {
    std::fputs(json_of(report, status).c_str(), stdout);
    return cli::end_board_run() ? status : jtag::frame::kFailure;
  }
  std::fputs(text_of(report, options).c_str(), stdout);
  if (report.findings.empty()) return cli::end_board_run() ? jtag::frame::kSuccess : jtag::frame::kFailure;
  std::fflush(stdout);
  for (size_t i = 0; i + 1 < report.findings.size(); ++i)
    std::fprintf(stderr, "jtag-detect: %s\n", report.findings[i].c_str());
  return fail(report.findings.back());
}

// An --expect file's text; at most 1 MiB (1,024 TAPs take far less).
std::string read_list(const std::string &file) {
  constexpr size_t kMostBytes = size_t{1} << 20;
  const jtag::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) throw jtag::ArgumentError("cannot read " + jtag::printable(file) + ": " + jtag::errno_text());
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw jtag::ArgumentError("cannot read " + jtag::printable(file) + ": " + jtag::errno_text());
    if (got == 0) return text;
    text.append(buffer, size_t(got));
    if (text.size() > kMostBytes) throw jtag::ArgumentError(jtag::printable(file) + " is longer than 1 MiB");
  }
}

// The options; a usage error's message, or nothing.
std::optional<std::string> parse(int argc, char **argv, Options &options) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "-v") {
      options.verbose = true;
    } else if (word == "--json") {
      options.json = true;
    } else if (word == "--integrity") {
      options.integrity_bits = kDefaultIntegrityBits;
      if (i + 1 < argc && std::isdigit(static_cast<unsigned char>(argv[i + 1][0]))) {
        const std::optional<uint64_t> n = jtag::parse_number(argv[++i]);
        if (!n || *n == 0 || *n > kMaxIntegrityBits)
          return "bad bit count '" + jtag::printable(argv[i]) + "' for --integrity (1 to 4294967296)";
        options.integrity_bits = n;
      }
    } else if (word == "--expect" && i + 1 < argc) {
      const std::string list = argv[++i];
      try {
        options.expected = tools::parse_expected_taps(list.starts_with("@") ? read_list(list.substr(1)) : list);
      } catch (const jtag::ArgumentError &e) {
        return std::string(e.what());
      }
    } else if (word == "--expect-board") {
      options.expected = tools::board_expected_taps();
    } else if (word == "--find-tck") {
      options.find_tck_rate = kDefaultDetectRate;
      if (i + 1 < argc && (std::isdigit(static_cast<unsigned char>(argv[i + 1][0])) || argv[i + 1][0] == '.')) {
        char *end = nullptr;
        const double rate = std::strtod(argv[++i], &end);
        if (*end != '\0' || !(rate >= 1e-9 && rate <= 0.5))
          return "bad error rate '" + jtag::printable(argv[i]) + "' for --find-tck (1e-9 to 0.5)";
        options.find_tck_rate = rate;
      }
    } else {
      return "unknown option '" + jtag::printable(word) + "'";
    }
  }
  return std::nullopt;
}

int run(int argc, char **argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0))
    return jtag::frame::print_help(kUsage);
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) return jtag::frame::print_version();
  Options options;
  if (const std::optional<std::string> wrong = parse(argc, argv, options))
    return jtag::frame::usage_error(*wrong, kUsage);
  return finish(examine(options), options);
}

}  // namespace

int main(int argc, char **argv) {
  jtag::set_failure_handler(cli::end_on_board_failure);
  return jtag::frame::run("jtag-detect", argc, argv, [](int n, char **words) {
    jtag::frame::show_notices_as("jtagbox");  // the board's lines are the commands'
    return run(n, words);
  });
}
