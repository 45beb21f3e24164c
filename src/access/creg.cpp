// JTAG_ReadCreg and JTAG_WriteCreg: one 64-bit control register of the
// device the chain reaches, read or written through the TAP.
//   read:  IR 08, DR address (40), IR 0d, 11 TCK, IR 0a, DR 64 bits out
//   write: IR 08, DR address (40), IR 09, DR data (64), IR 0c, 11 TCK
// The address and data texts are shifted exactly as typed.
#include <cstdio>
#include <cstdlib>

#include "access/access.h"
#include "access/tap_steps.h"
#include "main/cli.h"
#include "main/commands.h"
#include "platform/jtag_platform.h"

namespace jtagbox {
namespace {

constexpr int kCregDataBits = 64;
constexpr int kCregAccessCycles = 11;  // the device needs eleven TCKs, not ten

constexpr const char *kReadHelp = "JTAG_ReadCreg <addr> [-d=<level>] [-h] [-m=<bytemask>]\n";
constexpr const char *kReadLongUsage = "JTAG_ReadCreg <address> [-d=<level>] [-h] [-m=<bytemask>]\n";
constexpr const char *kReadShortUsage = "JTAG_ReadCreg <address> [-d=<level>] [-h]\n";
constexpr const char *kReadNoAddress = "JTAG_ReadCreg: ERROR, Address not specified !";

constexpr const char *kWriteUsage = "JTAG_WriteCreg <addr> <data> [-d=<level>] [-h]\n";
constexpr const char *kWriteTooFew = "JTAG_WriteCreg: ERROR, Address/Data not specified !";
constexpr const char *kWriteNoAddress = "JTAG_WriteCreg: ERROR, Address not specified !";
constexpr const char *kWriteNoData = "JTAG_WriteCreg: ERROR, data not specified !";

void replace(char *&text, char *with) {
  std::free(text);
  text = with;
}

// -m=<bytemask>: a later one replaces the earlier; "-m" without '=' (or with
// nothing after it) leaves the mask as it was.
void take_byte_mask(const char *word, char *&mask) {
  if (!cli::has_equals(word)) return;
  if (char *value = cli::option_value(word, "-m=%s")) replace(mask, value);
}

}  // namespace

int cmd_read_creg(int argc, char **argv) {
  if (argc < 2) cli::fail(kReadNoAddress, kReadLongUsage);
  char *address = nullptr;
  char *mask = cli::copy_word("03");
  cli::scan(
      argc, argv,
      [&](const char *word) {
        if (cli::common_option(word, kReadHelp)) return;
        if (cli::letter(word) == 'm') take_byte_mask(word, mask);
      },
      [&](char *const *words, int) {
        replace(address, cli::copy_word(words[0]));
        return 1;
      });
  if (address == nullptr) {
    std::free(mask);
    cli::fail(kReadNoAddress, kReadShortUsage);
  }

  if (debug_level) std::printf("JTAG_ReadCreg: Reading CREG %s\n", address);
  int access_length = 0;
  char *access = build_creg_access(address, &access_length, mask);
  load_instruction("08");
  load_data(access, access_length);
  load_instruction("0d");
  run_clocks(kCregAccessCycles);
  load_instruction("0a");
  char *bits = unload_data(kCregDataBits, 1);
  if (debug_level) std::printf("JTAG_ReadCreg: Data for CREG (Addr=%s) is :", address);
  char *value = bin2hex(bits);
  std::puts(value);
  std::free(value);
  std::free(bits);
  std::free(address);
  std::free(access);
  std::free(mask);
  return 0;
}

// A positional word opens the pair address, data.  A later pair replaces
// both; a pair cut short by the end of the line has no data (so it is
// reported, never written with the data of an earlier pair).
int cmd_write_creg(int argc, char **argv) {
  if (argc < 3) cli::fail(kWriteTooFew, kWriteUsage);
  char *address = nullptr;
  char *data = nullptr;
  char *mask = cli::copy_word("FF");
  cli::scan(
      argc, argv,
      [&](const char *word) {
        if (cli::common_option(word, kWriteUsage)) return;
        if (cli::letter(word) == 'm') take_byte_mask(word, mask);
      },
      cli::group_of(2, [&](char *const *words, int present) {
        replace(address, cli::copy_word(words[0]));
        replace(data, present > 1 ? cli::copy_word(words[1]) : nullptr);
      }));
  if (address == nullptr) {
    std::free(mask);
    cli::fail(kWriteNoAddress, kWriteUsage);
  }
  if (data == nullptr) {
    std::free(mask);
    std::free(address);
    cli::fail(kWriteNoData, kWriteUsage);
  }

  if (debug_level) std::printf("JTAG_WriteCreg: Writing CREG %s with %s\n", address, data);
  int access_length = 0;
  char *access = build_creg_access(address, &access_length, mask);
  load_instruction("08");
  load_data(access, access_length);
  load_instruction("09");
  load_data(data, kCregDataBits);
  load_instruction("0c");
  run_clocks(kCregAccessCycles);
  std::free(access);
  std::free(address);
  std::free(data);
  std::free(mask);
  return 0;
}

}  // namespace jtagbox
