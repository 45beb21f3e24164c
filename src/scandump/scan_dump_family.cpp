#include "scandump/scan_dump_family.h"

#include <climits>
#include <cstdio>
#include <optional>

#include "base/error.h"
#include "base/heap_text.h"
#include "files/input_file.h"
#include "files/output_file.h"
#include "main/cli.h"
#include "platform/jtag_platform.h"

namespace jtagbox::scandump {
namespace {

constexpr int kSelectedPathMode = 1;  // internal shift that ends in Run-Test/Idle
constexpr int kExit1Mode = 2;         // internal shift that stays in Exit1-DR

struct Scan {
  Request request;
  bool group_complete = false;
};

int group_size(const Variant &v) { return v.has_chain_selector ? 3 : 2; }

// "NAME: ERROR, ChainSel/Length/File not specified !": the count test spells
// it "ChainSel", the test after the scan "Chainsel"; the Vornex dump names
// no chain selector.
std::string not_specified(const Variant &v, const char *chain_selector) {
  const std::string words = v.has_chain_selector ? std::string(chain_selector) + "/Length/File" : "Length/File";
  return std::string(v.name) + ": ERROR, " + words + " not specified !";
}

// The usage of -h and of every failure but the count test: the long one
// without its "-a ".
std::string short_usage(const Variant &v) {
  std::string usage = v.long_usage;
  if (const size_t at = usage.find("-a "); at != std::string::npos) usage.erase(at, 3);
  return usage;
}

[[noreturn]] void input_name_missing(const Variant &v) {
  const std::string message = std::string(v.name) + ": ERROR Input File Name not specified";
  cli::fail(message.c_str(), short_usage(v).c_str());
}

[[noreturn]] void recycle_with_input(const Variant &v) {
  const std::string message = std::string(v.name) + ": ERROR :-r[ecycle] and -f=<infile> are mutually exclusive\n";
  cli::fail(message.c_str());
}

void take_option(const Variant &v, Scan &scan, const char *word) {
  Request &r = scan.request;
  switch (cli::letter(word)) {
    case 'a': r.accelerate = true; break;
    case 'f': {
      if (!cli::has_equals(word) || word[3] == '\0') input_name_missing(v);
      if (r.recycle) recycle_with_input(v);
      std::string name = cli::option_value(word, "-f=%s");
      if (name.empty()) input_name_missing(v);
      r.input_name = std::move(name);  // a later -f= replaces the name
      break;
    }
    case 'r':
      r.recycle = true;
      if (!r.input_name.empty()) recycle_with_input(v);
      break;
    default: cli::common_option(word, short_usage(v).c_str());
  }
}

// The positional group: chain selector (when the variant has one), length,
// output file; its words are taken whatever they begin with.
void take_group(const Variant &v, Scan &scan, char *const *words, int present) {
  Request &r = scan.request;
  int at = 0;
  if (v.has_chain_selector) r.chain_selector = words[at++];
  if (at < present) cli::read_int(words[at], r.length);
  ++at;
  if (at < present) r.output_name = words[at];
  scan.group_complete = present == group_size(v);
}

Scan scan_arguments(const Variant &v, int argc, char **argv) {
  if (argc - 1 < group_size(v)) cli::fail(not_specified(v, "ChainSel").c_str(), v.long_usage);
  Scan scan;
  cli::scan(
      argc, argv, [&](const char *word) { take_option(v, scan, word); },
      cli::group_of(group_size(v), [&](char *const *words, int present) { take_group(v, scan, words, present); }));
  const Request &r = scan.request;
  // A negative length is refused like a missing one: it would name no chain,
  // and the pattern it implies is empty.  So is one that recycle would push
  // past the largest bit count.
  const bool length_ok = r.length > 0 && !(r.recycle && r.length == INT_MAX);
  if ((v.has_chain_selector && r.chain_selector == nullptr) || !length_ok || !scan.group_complete)
    cli::fail(not_specified(v, "Chainsel").c_str(), short_usage(v).c_str());
  return scan;
}

void print_start(const Variant &v, const Request &r) {
  if (v.has_chain_selector)
    cli::debug("%s: Starting Scandump of chainsel=%s (%d) to file %s \n", v.name, r.chain_selector, r.length,
               r.output_name);
  else
    cli::debug("%s: Starting Scandump (%d) to file %s \n", v.name, r.length, r.output_name);
}

// Without an input file zeros go in: "0", which the platform pads to the
// full bit count (in recycle mode the chain's own output goes in instead).
std::string make_pattern(std::optional<files::InputFile> &in, int length) {
  if (!in) return "0";
  std::string pattern = files::read_pattern(*in, length);
  cli::debug("Inchain = %s \n", pattern.c_str());
  return pattern;
}

// The only result of the platform that a dump checks: the scan-dump
// accelerator that will not switch.  The output file stays empty.
void switch_accelerator(int on, const char *failure) {
  if (jtag_pelustr_fpga_accelerate(on) == 0) return;
  throw jtag::PlatformError(failure);
}

jtag::HeapText shift_chain(const Variant &v, const Request &r, const char *pattern, int bit_count) {
  const int recycle = r.recycle ? 1 : 0;
  switch (v.shift) {
    case ChainShift::SelectedPath: return jtag::HeapText(JTAG_Shift(pattern, bit_count, recycle, 0, '0'));
    case ChainShift::FromSelectDR:
      JTAG_SetTms(0);
      return jtag::HeapText(JTAG_Shift_internal(pattern, bit_count, recycle, 0, '0', kSelectedPathMode));
    case ChainShift::FromCaptureDR:
      return jtag::HeapText(JTAG_Shift_internal(pattern, bit_count, recycle, 0, '0', kExit1Mode));
  }
  return nullptr;
}

}  // namespace

int run(const Variant &v, int argc, char **argv) {
  const Scan scan = scan_arguments(v, argc, argv);
  const Request &r = scan.request;

  files::OutputFile out(v.name, r.output_name);
  std::optional<files::InputFile> in;
  if (!r.input_name.empty()) in.emplace(v.name, r.input_name.c_str());  // failing, it leaves out empty
  print_start(v, r);
  const std::string pattern = make_pattern(in, r.length);
  std::string dump_text;
  try {
    dump_text = dump(v, r, pattern);
  } catch (const jtag::PlatformError &e) {
    // Only the accelerator's switch is thrown here: the board's own
    // failures end the run through the platform's failure handler.
    std::fprintf(stderr, "%s\n", e.what());
    cli::exit_command(1);
  }
  out.write(dump_text.c_str());
  out.close();
  return 0;
}

std::string dump(const Variant &v, const Request &r, const std::string &pattern) {
  if (v.setup_line != nullptr) cli::debug("%s\n", v.setup_line);
  v.set_up(r);
  cli::debug("Starting  Scan Dump (%d)\n", r.length);

  const int bit_count = r.recycle ? r.length + 1 : r.length;
  const bool switch_around = r.accelerate && v.switches_accelerator;
  if (switch_around)
    switch_accelerator(1, "can't activate the scan dump accelerator");
  else if (r.accelerate)
    jtag_fpga_accelerate = 1;  // only now: the setup shifts go bit by bit
  const jtag::HeapText bits = shift_chain(v, r, pattern.c_str(), bit_count);
  // In recycle mode the first bit back is the one that went round: dropped.
  const char *dumped = r.recycle && bits.get()[0] != '\0' ? bits.get() + 1 : bits.get();
  const jtag::HeapText dump_text(bin2hex(dumped));
  if (switch_around) switch_accelerator(0, "can't de-activate the scan dump accelerator");
  if (v.select_ir_after) JTAG_Select_IR();
  return dump_text.get();
}

}  // namespace jtagbox::scandump
