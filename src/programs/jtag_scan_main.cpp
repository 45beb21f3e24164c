// jtag-scan: scan dumps read, compared and changed by latch name, through a
// scan map (jtag-scan(5)), and the lengths of the board's chains.
//
//   jtag-scan decode MAP CHAIN DUMP [--json] [--only NAME,GLOB...]
//   jtag-scan diff MAP CHAIN A B [--json]
//   jtag-scan set MAP CHAIN DUMP NAME=VALUE... --out FILE [--force]
//   jtag-scan measure cpu N chain KK | vnx N [--max BITS]
//   jtag-scan skeleton [--max BITS]
//
// Every failure is one line on standard error and status 2, so that diff
// can answer 0 (equal) and 1 (different) as cmp(1) does.  The map, dump and
// measuring work is the library's (scanmap/); this file reads the command
// line and chooses the words.
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "files/checked_file.h"
#include "platform/run_end.h"
#include "programs/program_frame.h"
#include "scanmap/chain_measure.h"
#include "scanmap/dump_bits.h"
#include "scanmap/latches.h"
#include "scanmap/scan_map.h"

namespace {

namespace frame = jtag::frame;
namespace sm = jtag::scanmap;

constexpr int kDiffer = 1;
constexpr uint64_t kDefaultMax = 65536;

constexpr const char *kUsage =
    "usage: jtag-scan COMMAND\n"
    "  decode MAP CHAIN DUMP [--json] [--only NAME,GLOB...]\n"
    "                          every latch of CHAIN in DUMP, NAME = 0xVALUE\n"
    "  diff MAP CHAIN A B [--json]\n"
    "                          the latches that differ, NAME 0xA -> 0xB, and the\n"
    "                          unmapped bits; status 0 equal, 1 different\n"
    "  set MAP CHAIN DUMP NAME=VALUE... --out FILE [--force]\n"
    "                          DUMP with those latches set, as a pattern file for\n"
    "                          JTAG_ScanDump -f=FILE\n"
    "  measure cpu N chain KK | vnx N [--max BITS]\n"
    "                          a chain's length on the board JTAG_PLATFORM names\n"
    "  skeleton [--max BITS]   a chain line for every chain the board lets it measure\n"
    "Every failure is one line on standard error and status 2 (jtag-scan(1),\n"
    "the map format in jtag-scan(5)).\n";

struct Words {
  std::vector<std::string> positional;
  bool json = false, force = false;
  std::optional<std::string> out, only, max;
};

// The words after the command: --json, --force, --out FILE, --only LIST
// and --max BITS anywhere; the rest in order.  nullopt after a usage error
// was said.
std::optional<Words> read_words(int argc, char **argv, std::string_view allowed) {
  Words w;
  for (int i = 2; i < argc; ++i) {
    const std::string word = argv[i];
    if (word.rfind("--", 0) != 0 || word == "--") {
      w.positional.push_back(word);
      continue;
    }
    const std::string option = word.substr(2);
    if (allowed.find(" " + option + " ") == std::string_view::npos) {
      frame::usage_error(std::string(argv[1]) + " takes no option " + word);
      return std::nullopt;
    }
    if (option == "json") {
      w.json = true;
    } else if (option == "force") {
      w.force = true;
    } else {
      if (i + 1 >= argc) {
        frame::usage_error(word + " needs a value");
        return std::nullopt;
      }
      std::optional<std::string> &slot = option == "out" ? w.out : option == "only" ? w.only : w.max;
      slot = argv[++i];
    }
  }
  return w;
}

int wrong_count(const char *command) { return frame::usage_error(std::string("usage: jtag-scan ") + command); }

void print(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

std::vector<std::string> split_commas(const std::string &list) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t comma = list.find(',', start);
    parts.push_back(list.substr(start, comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return parts;
}

int decode(int argc, char **argv) {
  const std::optional<Words> w = read_words(argc, argv, " json only ");
  if (!w) return frame::kUsageError;
  if (w->positional.size() != 3) return wrong_count("decode MAP CHAIN DUMP [--json] [--only NAME,GLOB...]");
  const sm::ScanMap map = sm::read_scan_map(w->positional[0]);
  const sm::Chain &chain = map.chain(w->positional[1]);
  const std::vector<bool> picked =
      sm::pick_latches(chain, w->only ? split_commas(*w->only) : std::vector<std::string>{});
  const jtag::BitVector bits = sm::read_dump(w->positional[2], chain.length);
  sm::decode(bits, chain, picked, w->json, print);
  return frame::kSuccess;
}

int diff(int argc, char **argv) {
  const std::optional<Words> w = read_words(argc, argv, " json ");
  if (!w) return frame::kUsageError;
  if (w->positional.size() != 4) return wrong_count("diff MAP CHAIN A B [--json]");
  const sm::ScanMap map = sm::read_scan_map(w->positional[0]);
  const sm::Chain &chain = map.chain(w->positional[1]);
  const jtag::BitVector a = sm::read_dump(w->positional[2], chain.length);
  const sm::DumpDelta b = sm::read_dump_against(w->positional[3], chain.length, a);
  return sm::diff(chain, a, b, w->json, print) ? kDiffer : frame::kSuccess;
}

int set(int argc, char **argv) {
  const std::optional<Words> w = read_words(argc, argv, " out force ");
  if (!w) return frame::kUsageError;
  if (w->positional.size() < 4 || !w->out) return wrong_count("set MAP CHAIN DUMP NAME=VALUE... --out FILE [--force]");
  const sm::ScanMap map = sm::read_scan_map(w->positional[0]);
  const sm::Chain &chain = map.chain(w->positional[1]);
  jtag::BitVector bits = sm::read_dump(w->positional[2], chain.length);
  sm::set_latches(chain, bits, std::vector<std::string>(w->positional.begin() + 3, w->positional.end()));
  jtagbox::files::write_new_file(*w->out, sm::dump_text(bits), w->force);
  return frame::kSuccess;
}

// A decimal count, or nullopt.
std::optional<uint64_t> count_of(const std::string &word) {
  if (word.empty() || word.size() > 9 || word.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  return std::stoull(word);
}

std::optional<uint64_t> max_of(const Words &w) {
  if (!w.max) return kDefaultMax;
  const std::optional<uint64_t> max = count_of(*w.max);
  if (!max || *max == 0 || *max > sm::kMaxMeasure) {
    frame::usage_error("--max " + *w.max + ": not a bit count from 1 to " + std::to_string(sm::kMaxMeasure));
    return std::nullopt;
  }
  return max;
}

// "cpu N chain KK" or "vnx N".
std::optional<sm::ChainAddress> address_of(const std::vector<std::string> &p) {
  const auto device = [](const std::string &word) -> std::optional<unsigned> {
    if (word.size() != 1 || word[0] < '0' || word[0] > '3') return std::nullopt;
    return unsigned(word[0] - '0');
  };
  if (p.size() == 2 && p[0] == "vnx" && device(p[1])) return sm::ChainAddress{true, *device(p[1]), 0};
  if (p.size() != 4 || p[0] != "cpu" || !device(p[1]) || p[2] != "chain") return std::nullopt;
  std::string kk = p[3];
  if (kk.rfind("0x", 0) == 0) kk = kk.substr(2);
  if (kk.empty() || kk.size() > 2 || kk.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
    return std::nullopt;
  const unsigned chain = unsigned(std::stoul(kk, nullptr, 16));
  if (chain > 0x3f) return std::nullopt;
  return sm::ChainAddress{false, *device(p[1]), chain};
}

// The end of a run on the board: confirmed, else one line.
int end_board(int status) {
  if (const std::optional<std::string> why = jtag::end_run()) return frame::failure(*why);
  return status;
}

int on_board(int (*work)(const Words &, uint64_t), const Words &w, uint64_t max) {
  try {
    return end_board(work(w, max));
  } catch (const jtag::PlatformError &e) {
    return frame::failure(jtag::end_run_after_failure(e.what()));
  }
}

std::string nothing_back(const sm::ChainAddress &a, uint64_t max) {
  return a.name() + ": nothing came back within " + std::to_string(max) + " bits";
}

int measure(int argc, char **argv) {
  const std::optional<Words> w = read_words(argc, argv, " max ");
  if (!w) return frame::kUsageError;
  if (!address_of(w->positional))
    return wrong_count("measure cpu N chain KK | vnx N [--max BITS]  (N 0..3, KK 00..3f)");
  const std::optional<uint64_t> max = max_of(*w);
  if (!max) return frame::kUsageError;
  return on_board(
      [](const Words &words, uint64_t bound) {
        const sm::ChainAddress a = *address_of(words.positional);
        const std::optional<uint64_t> length = sm::measure_chain(a, bound);
        if (!length) return frame::failure(nothing_back(a, bound));
        print(std::to_string(*length) + "\n");
        return int(frame::kSuccess);
      },
      *w, *max);
}

int skeleton(int argc, char **argv) {
  const std::optional<Words> w = read_words(argc, argv, " max ");
  if (!w) return frame::kUsageError;
  if (!w->positional.empty()) return wrong_count("skeleton [--max BITS]");
  const std::optional<uint64_t> max = max_of(*w);
  if (!max) return frame::kUsageError;
  return on_board(
      [](const Words &, uint64_t bound) {
        std::string out = "# the chains of the board JTAG_PLATFORM names, measured by jtag-scan skeleton\n";
        for (const sm::ChainAddress &a : sm::reachable_chains()) {
          const std::optional<uint64_t> length = sm::measure_chain(a, bound);
          out += length ? "chain " + a.name() + " " + std::to_string(*length) + "\n"
                        : "# " + nothing_back(a, bound) + "\n";
        }
        print(out);
        return int(frame::kSuccess);
      },
      *w, *max);
}

int run(int argc, char **argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0))
    return frame::print_help(kUsage);
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) return frame::print_version();
  if (argc < 2) return frame::usage_error("no command", kUsage);
  const std::string_view command = argv[1];
  if (command == "decode") return decode(argc, argv);
  if (command == "diff") return diff(argc, argv);
  if (command == "set") return set(argc, argv);
  if (command == "measure") return measure(argc, argv);
  if (command == "skeleton") return skeleton(argc, argv);
  return frame::usage_error("unknown command " + std::string(command));
}

}  // namespace

int main(int argc, char **argv) {
  frame::set_failure_status(frame::kUsageError);
  return frame::run("jtag-scan", argc, argv, run);
}
