#include "scandump/scan_dump_family.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "main/cli.h"
#include "platform/jtag_platform.h"
#include "scandump/dump_files.h"

namespace jtagbox::scandump {
namespace {

constexpr int kSelectedPathMode = 1;  // internal shift that ends in Run-Test/Idle
constexpr int kExit1Mode = 2;         // internal shift that stays in Exit1-DR

struct Scan {
  Request request;
  bool group_complete = false;
};

[[noreturn]] void input_name_missing(const Variant &v) {
  const std::string message = std::string(v.name) + ": ERROR Input File Name not specified";
  cli::fail(message.c_str(), v.short_usage);
}

[[noreturn]] void recycle_with_input(const Variant &v) {
  const std::string message = std::string(v.name) + ": ERROR :-r[ecycle] and -f=<infile> are mutually exclusive\n";
  cli::fail(message.c_str());
}

void take_option(const Variant &v, Scan &scan, const char *word) {
  Request &r = scan.request;
  switch (cli::letter(word)) {
    case 'a':
      r.accelerate = true;
      break;
    case 'f': {
      if (!cli::has_equals(word) || word[3] == '\0') input_name_missing(v);
      if (r.recycle) recycle_with_input(v);
      char *name = cli::option_value(word, "-f=%s");
      if (name == nullptr) input_name_missing(v);
      std::free(r.input_name);
      r.input_name = name;  // a later -f= replaces the name
      break;
    }
    case 'r':
      r.recycle = true;
      if (r.input_name != nullptr) recycle_with_input(v);
      break;
    default:
      cli::common_option(word, v.short_usage);
  }
}

// The positional group: chain selector (when the variant has one), length,
// output file; its words are taken whatever they begin with.
void take_group(const Variant &v, Scan &scan, char *const *words, int present) {
  Request &r = scan.request;
  const int size = v.has_chain_selector ? 3 : 2;
  int at = 0;
  if (v.has_chain_selector) {
    std::free(r.chain_selector);
    r.chain_selector = cli::copy_word(words[at++]);
  }
  if (at < present) cli::read_int(words[at], r.length);
  ++at;
  if (at < present) r.output_name = words[at];
  scan.group_complete = present == size;
}

Scan scan_arguments(const Variant &v, int argc, char **argv) {
  const int size = v.has_chain_selector ? 3 : 2;
  if (argc - 1 < size) cli::fail(v.too_few_message, v.long_usage);
  Scan scan;
  cli::scan(
      argc, argv, [&](const char *word) { take_option(v, scan, word); },
      cli::group_of(size, [&](char *const *words, int present) { take_group(v, scan, words, present); }));
  const Request &r = scan.request;
  // A negative length is refused like a missing one: it would name no chain,
  // and the pattern buffer it implies is empty.  So is one that recycle would
  // push past the largest bit count.
  const bool length_ok = r.length > 0 && !(r.recycle && r.length == INT_MAX);
  if ((v.has_chain_selector && r.chain_selector == nullptr) || !length_ok || !scan.group_complete)
    cli::fail(v.missing_message, v.short_usage);
  return scan;
}

[[noreturn]] void accelerator_failure(const char *message, Request &r, char *pattern) {
  std::fputs(message, stderr);
  std::free(r.input_name);
  std::free(pattern);
  cli::exit_command(1);
}

char *shift_chain(const Variant &v, Request &r, char *pattern, int bit_count) {
  const int recycle = r.recycle ? 1 : 0;
  switch (v.shift) {
    case ChainShift::SelectedPath:
      return JTAG_Shift(pattern, bit_count, recycle, 0, '0');
    case ChainShift::FromSelectDR:
      JTAG_SetTms(0);
      return JTAG_Shift_internal(pattern, bit_count, recycle, 0, '0', kSelectedPathMode);
    case ChainShift::FromCaptureDR:
      return JTAG_Shift_internal(pattern, bit_count, recycle, 0, '0', kExit1Mode);
  }
  return nullptr;
}

}  // namespace

int run(const Variant &v, int argc, char **argv) {
  Scan scan = scan_arguments(v, argc, argv);
  Request &r = scan.request;

  std::FILE *out = dump::open_output(v.name, r.output_name);
  if (out == nullptr) cli::exit_command(1);
  std::FILE *in = nullptr;
  if (r.input_name != nullptr) {
    in = dump::open_input(v.name, r.input_name);
    if (in == nullptr) cli::exit_command(1);  // the output file stays behind, empty
  }
  if (debug_level) v.print_start(r);
  char *pattern = in != nullptr ? dump::read_pattern(in, r.length, true) : dump::zero_pattern();
  if (debug_level && v.setup_line != nullptr) std::puts(v.setup_line);
  v.set_up(r);
  if (debug_level) std::printf("Starting  Scan Dump (%d)\n", r.length);

  const int bit_count = r.recycle ? r.length + 1 : r.length;
  if (r.accelerate) {
    if (v.switches_accelerator) {
      if (jtag_pelustr_fpga_accelerate(1) != 0)
        accelerator_failure("can't activate the scan dump accelerator\n", r, pattern);
    } else {
      jtag_fpga_accelerate = 1;  // only now: the setup shifts go bit by bit
    }
  }
  char *bits = shift_chain(v, r, pattern, bit_count);
  // In recycle mode the first bit back is the one that went round: dropped.
  char *dump_text = bin2hex(r.recycle && bits[0] != '\0' ? bits + 1 : bits);
  if (r.accelerate && v.switches_accelerator && jtag_pelustr_fpga_accelerate(0) != 0)
    accelerator_failure("can't de-activate the scan dump accelerator\n", r, pattern);
  if (v.select_ir_after) JTAG_Select_IR();
  dump::write_dump(out, dump_text);

  std::free(pattern);
  std::free(bits);
  std::free(dump_text);
  std::free(r.input_name);
  std::free(r.chain_selector);
  return 0;
}

}  // namespace jtagbox::scandump
