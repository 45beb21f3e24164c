// JTAG_CPUSelect and JTAG_VNXSelect: route the JTAG chain through the FPGA's
// scan-mode switch.  The word handed over depends on the arguments alone
// (nothing is read back and merged); the scan control register is only read
// to show it before and after when debugging.
//
// The words are those of select/scan_mode.h.
//
// Each value is judged when the scan reaches it, so an invalid one ends the
// command even when -h stands after it.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "main/cli.h"
#include "main/commands.h"
#include "platform/jtag_platform.h"
#include "select/scan_mode.h"

namespace jtagbox {
namespace {

constexpr unsigned kModeCodeMask = 0x7;
constexpr unsigned kVornexCode = 0x7;
constexpr unsigned kVornexShift = 6;
constexpr unsigned kDeviceCount = kScanModeDevices;

struct Selector {
  const char *name;  // for the debug lines
  const char *usage;
  const char *no_argument;  // nothing at all after the command name
  const char *no_value;     // only words that chose nothing
  const char *invalid;
  // The word for a device number 0..3.
  unsigned (*device_word)(unsigned number);
  // The word for a positional that does not start with a digit, or nullopt
  // when the word is to be ignored; may end the process with the invalid
  // message.
  std::optional<unsigned> (*other_word)(const char *word);
};

bool starts_with_digit(const char *word) { return std::isdigit(static_cast<unsigned char>(word[0])) != 0; }

// atoi kept to its low eight bits: only those count as the device number.
unsigned device_number(const char *word) { return static_cast<unsigned char>(std::atoi(word)); }

constexpr const char *kCpuUsage = "JTAG_CPUSelect <cpu# | fullscan | scandump> [-d=<level>] [-h]\n";
constexpr const char *kCpuInvalid = "JTAG_CPUSelect: Error: Invalid system scan mode.";

std::optional<unsigned> processor_keyword(const char *word) {
  if (std::strcmp(word, "fullscan") == 0) return kFullScanWord;
  if (std::strcmp(word, "scandump") == 0) return kScanDumpWord;
  cli::fail(kCpuInvalid, kCpuUsage);
}

std::optional<unsigned> ignore_word(const char *) { return std::nullopt; }

constexpr Selector kCpuSelect = {
    .name = "JTAG_CPUSelect",
    .usage = kCpuUsage,
    .no_argument = "JTAG_CPUSelect: ERROR, value not specified!",
    .no_value = "JTAG_CPUSelect: ERROR, value not specified!",
    .invalid = kCpuInvalid,
    .device_word = processor_mode_word,
    .other_word = processor_keyword,
};

constexpr Selector kVnxSelect = {
    .name = "JTAG_VNXSelect",
    .usage = "JTAG_VNXSelect <vnx#> [-d=<level>] [-h]\n",
    .no_argument = "JTAG_VNXSelect: ERROR, value not specified!",
    .no_value = "JTAG_VNXSelect: Error: Vornex not specified.",
    .invalid = "JTAG_VNXSelect: Error: Invalid system scan mode.",
    .device_word = vornex_mode_word,
    .other_word = ignore_word,
};

// With debugging on, the scan control register as it stands; it is read
// only then.
void show_scan_control(const char *name) {
  if (!debug_level) return;
  std::printf("%s: scan_mode = 0x%x\n", name, JTAG_read_scan_control_reg());
}

[[noreturn]] void run_select(const Selector &s, int argc, char **argv) {
  if (argc <= 1) cli::fail(s.no_argument, s.usage);

  std::optional<unsigned> word;
  cli::scan(
      argc, argv, [&s](const char *option) { cli::common_option(option, s.usage); },
      [&s, &word](char *const *words, int) {
        const char *w = words[0];
        if (starts_with_digit(w)) {
          const unsigned number = device_number(w);
          if (number >= kDeviceCount) cli::fail(s.invalid, s.usage);
          word = s.device_word(number);
        } else if (const auto other = s.other_word(w)) {
          word = other;
        }
        return 1;
      });
  if (!word) cli::fail(s.no_value, s.usage);

  select_scan_mode(s.name, *word);
  cli::exit_command(0);
}

}  // namespace

unsigned processor_mode_word(unsigned number) {
  static constexpr unsigned kProcessorCodes[kDeviceCount] = {1, 3, 4, 5};
  return kProcessorCodes[number] & kModeCodeMask;
}

unsigned vornex_mode_word(unsigned number) { return (number << kVornexShift) | kVornexCode; }

void select_scan_mode(const char *name, unsigned word) {
  show_scan_control(name);
  JTAG_system_scan_mode_select(word);
  show_scan_control(name);
}

JTAGBOX_COMMAND(16, JTAG_CPUSelect, cmd_cpu_select, kCpuSelect.usage, "");
JTAGBOX_COMMAND(17, JTAG_VNXSelect, cmd_vnx_select, kVnxSelect.usage, "");

int cmd_cpu_select(int argc, char **argv) { run_select(kCpuSelect, argc, argv); }
int cmd_vnx_select(int argc, char **argv) { run_select(kVnxSelect, argc, argv); }

}  // namespace jtagbox
