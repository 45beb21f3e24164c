// JTAG_ReadCreg and JTAG_WriteCreg: one 64-bit control register of the
// device the chain reaches, read or written through the TAP.
//   read:  IR 08, DR address (40), IR 0d, 11 TCK, IR 0a, DR 64 bits out
//   write: IR 08, DR address (40), IR 09, DR data (64), IR 0c, 11 TCK
// The address and data texts are shifted exactly as typed.
#include <cstdio>
#include <string>

#include "access/access.h"
#include "base/heap_text.h"
#include "main/cli.h"
#include "main/commands.h"
#include "platform/jtag_platform.h"
#include "tap/tap_steps.h"

namespace jtagbox {
namespace {

constexpr int kCregDataBits = 64;
constexpr int kCregAccessCycles = 11;  // the device needs eleven TCKs, not ten
constexpr int kCregReadWait = 1;

constexpr const char *kReadHelp = "JTAG_ReadCreg <addr> [-d=<level>] [-h] [-m=<bytemask>]\n";
constexpr const char *kReadLongUsage = "JTAG_ReadCreg <address> [-d=<level>] [-h] [-m=<bytemask>]\n";
constexpr const char *kReadShortUsage = "JTAG_ReadCreg <address> [-d=<level>] [-h]\n";
constexpr const char *kReadNoAddress = "JTAG_ReadCreg: ERROR, Address not specified !";

constexpr const char *kWriteUsage = "JTAG_WriteCreg <addr> <data> [-d=<level>] [-h]\n";
constexpr const char *kWriteTooFew = "JTAG_WriteCreg: ERROR, Address/Data not specified !";
constexpr const char *kWriteNoAddress = "JTAG_WriteCreg: ERROR, Address not specified !";
constexpr const char *kWriteNoData = "JTAG_WriteCreg: ERROR, data not specified !";

// The options both commands share: -d, -h and -m=<bytemask>.  A later -m=
// replaces the earlier; "-m" without '=' (or with nothing after it) leaves
// the mask as it was.
void take_option(const char *word, const char *help, std::string &mask) {
  if (cli::common_option(word, help) || cli::letter(word) != 'm' || !cli::has_equals(word)) return;
  std::string value = cli::option_value(word, "-m=%s");
  if (!value.empty()) mask = std::move(value);
}

// IR 08 and the address into the 40-bit address register.
void load_address(const char *address, const std::string &mask) {
  int access_length = 0;
  const jtag::HeapText access = build_creg_access(address, &access_length, mask.c_str());
  load_instruction("08", kProcessorInstructionBits);
  load_data(access.get(), access_length);
}

}  // namespace

JTAGBOX_COMMAND(5, JTAG_ReadCreg, cmd_read_creg, kReadLongUsage, "-m=");
JTAGBOX_COMMAND(10, JTAG_WriteCreg, cmd_write_creg, kWriteUsage, "-m=");

int cmd_read_creg(int argc, char **argv) {
  if (argc < 2) cli::fail(kReadNoAddress, kReadLongUsage);
  const char *address = nullptr;
  std::string mask = "03";
  cli::scan(
      argc, argv, [&](const char *word) { take_option(word, kReadHelp, mask); },
      [&](char *const *words, int) {
        address = words[0];  // the last one counts
        return 1;
      });
  if (address == nullptr) cli::fail(kReadNoAddress, kReadShortUsage);

  cli::debug("JTAG_ReadCreg: Reading CREG %s\n", address);
  const std::string value = read_creg(address, mask);
  cli::debug("JTAG_ReadCreg: Data for CREG (Addr=%s) is :", address);
  std::puts(value.c_str());
  return 0;
}

// A positional word opens the pair address, data.  A later pair replaces
// both; a pair cut short by the end of the line has no data (so it is
// reported, never written with the data of an earlier pair).
int cmd_write_creg(int argc, char **argv) {
  if (argc < 3) cli::fail(kWriteTooFew, kWriteUsage);
  const char *address = nullptr;
  const char *data = nullptr;
  std::string mask = "FF";
  cli::scan(
      argc, argv, [&](const char *word) { take_option(word, kWriteUsage, mask); },
      cli::group_of(2, [&](char *const *words, int present) {
        address = words[0];
        data = present > 1 ? words[1] : nullptr;
      }));
  if (address == nullptr) cli::fail(kWriteNoAddress, kWriteUsage);
  if (data == nullptr) cli::fail(kWriteNoData, kWriteUsage);

  cli::debug("JTAG_WriteCreg: Writing CREG %s with %s\n", address, data);
  write_creg(address, data, mask);
  return 0;
}

std::string read_creg(const char *address, const std::string &mask) {
  load_address(address, mask);
  load_instruction("0d", kProcessorInstructionBits);
  run_clocks(kCregAccessCycles);
  load_instruction("0a", kProcessorInstructionBits);
  const jtag::HeapText bits = unload_data(kCregDataBits, kCregReadWait);
  return jtag::HeapText(bin2hex(bits.get())).get();
}

void write_creg(const char *address, const char *data, const std::string &mask) {
  load_address(address, mask);
  load_instruction("09", kProcessorInstructionBits);
  load_data(data, kCregDataBits);
  load_instruction("0c", kProcessorInstructionBits);
  run_clocks(kCregAccessCycles);
}

}  // namespace jtagbox
