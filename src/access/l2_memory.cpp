// JTAG_ReadMem and JTAG_WriteMem: runs of 64-bit L2 memory words, one TAP
// access per word, the address advancing by 8 from one word to the next.
//   read:  IR 58, DR access word (65), IR 5b, 65 TCK, DR 64 bits out (wait 3)
//   write: IR 58, DR access word (65), IR 59, DR data word (65), IR 5a, 129 TCK
// A read run prints one word per line and, with -f=<file>, saves the words
// as "%s " each (no newline anywhere): the form a write run reads back.
//
// Beyond the checks every run makes (words present, address within 64 bits,
// files that open), a run is refused before its first access, with one line
// saying so and status 1, when
//   - an address of the run does not fit the 56-bit address field: its
//     hex2bin would push the access word past 65 characters and the shift
//     would cut off the direction bits (a read could turn into a write);
//   - a data text (from -x= or the file) is longer than 31 characters or has
//     more than 64 bits: it could neither be held nor written uncut;
//   - the file holds fewer words than the length: no word may be written
//     from data that was never read.  The file is read whole before the first
//     access, so in every refused case no word has been written.
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "access/access.h"
#include "access/tap_steps.h"
#include "main/cli.h"
#include "main/commands.h"
#include "platform/jtag_platform.h"

namespace jtagbox {
namespace {

constexpr int kAccessWordBits = 65;
constexpr int kReadDataBits = 64;
constexpr int kReadCycles = 65;    // not 64
constexpr int kWriteCycles = 129;  // not 128
constexpr int kReadWait = 3;
constexpr uint64_t kWordBytes = 8;
constexpr uint64_t kAddressLimit = uint64_t{1} << kL2AddressBits;
constexpr size_t kMaxDataText = 31;  // the data text's buffer holds 31 characters

constexpr const char *kReadUsage = "JTAG_ReadMem <address> <length> [-f=<file>] [-d=<level>] [-h]\n";
constexpr const char *kReadNotSpecified = "JTAG_ReadMem: ERROR, Address/Length not specified !";
constexpr const char *kReadNoFileName = "JTAG_ReadMe): ERROR File Name not specified";
constexpr const char *kReadBadAddress = "JTAG_ReadMem: ERROR, Address not valid!";

constexpr const char *kWriteFirstUsage = "JTAG_WriteMem <address> <length> -x=<data|-f=<file> [-d=<level>] [-h]\n";
constexpr const char *kWriteHelp = "JTAG_WriteMem <address> <length> [-f=<file>] [-d=<level>] [-h]\n";
constexpr const char *kWriteFileUsage = "JTAG_WriteMem <address> <length> -x=data|-f=<file> [-d=<level>] [-h]\n";
constexpr const char *kWriteFullUsage = "JTAG_WriteMem <address> <length> -x=<data>|-f=<file> [-d=<level>] [-h]\n";
constexpr const char *kWriteNotSpecified = "JTAG_WriteMem: ERROR, Address/Length/data|file not specified !";
constexpr const char *kWriteNoFileName = "JTAG_WriteMem): ERROR File Name not specified";
constexpr const char *kWriteDataSpec = "JTAG_WriteMem): ERROR Data spec";
constexpr const char *kWriteBadAddress = "JTAG_WriteMem: address not valid!";

// The words of one run as the command line gives them.
struct RunWords {
  char *address = nullptr;  // heap copy, as typed
  int length = 0;           // read with "%d"; 0 counts as not given
  char *file = nullptr;     // -f=<file>
  bool file_flag = false;
};

void replace(char *&text, char *with) {
  std::free(text);
  text = with;
}

// A positional word is the address and the word after it, whatever it looks
// like, the length; a length word that is no number leaves the length as it
// was.
cli::PositionalHandler address_and_length(RunWords &run) {
  return cli::group_of(2, [&run](char *const *words, int present) {
    replace(run.address, cli::copy_word(words[0]));
    if (present > 1) cli::read_int(words[1], run.length);
  });
}

// -f=<file>: false when there is no '=' or no name after it.
bool take_file(const char *word, RunWords &run) {
  if (!cli::has_equals(word)) return false;
  char *name = cli::option_value(word, "-f=%s");
  if (name == nullptr) return false;
  replace(run.file, name);
  run.file_flag = true;
  return true;
}

// Only a value too big for 64 bits fails; the rest is left to hex2dec.
bool address_is_valid(const char *address) {
  errno = 0;
  std::strtoull(address, nullptr, 16);
  return errno == 0;
}

// The run's addresses, start + 8 * i, must all fit the 56-bit field.
void refuse_run_past_address_field(const char *command, uint64_t start, int length, const char *nothing_done) {
  uint64_t last = start;
  if (length > 1) last = start + kWordBytes * uint64_t(length - 1);
  if (start < kAddressLimit && last < kAddressLimit) return;
  std::printf("%s: ERROR, L2 address 0x%llx is beyond the 56-bit address field; %s\n", command,
              static_cast<unsigned long long>(start < kAddressLimit ? last : start), nothing_done);
  cli::exit_command(1);
}

void format_address(char (&text)[32], uint64_t address) {
  std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(address));
}

// Shift a 65-character bit string as the hex text bin2hex makes of it.
void load_word(const char (&word)[kL2WordBuffer]) {
  char *hex = bin2hex(word);
  load_data(hex, kAccessWordBits);
  std::free(hex);
}

// ---- reading ----

char *read_one_word(const char *address_text) {
  char word[kL2WordBuffer];
  build_l2_read_access_word(address_text, word);  // the run was checked to fit
  load_instruction("58");
  load_word(word);
  load_instruction("5b");
  run_clocks(kReadCycles);
  return unload_data(kReadDataBits, kReadWait);
}

// ---- writing ----

// Why a data text cannot be written, or "" when it can.
std::string data_text_problem(const std::string &text) {
  if (text.size() > kMaxDataText) return "is longer than 31 characters";
  char *bits = hex2bin(text.c_str());
  const size_t n = std::strlen(bits);
  std::free(bits);
  if (n > size_t(kL2DataBits)) return "has more than 64 bits (16 hex digits)";
  return "";
}

// The next white-space separated word of a file, as fscanf's "%s " takes
// it; at most kMaxDataText + 1 characters are kept, enough to tell that it
// is too long.  False at the end of the file.
bool next_token(std::FILE *in, std::string &token) {
  token.clear();
  int c;
  while ((c = std::fgetc(in)) != EOF && std::isspace(c)) {
  }
  if (c == EOF) return false;
  do {
    if (token.size() <= kMaxDataText) token += char(c);
  } while ((c = std::fgetc(in)) != EOF && !std::isspace(c));
  return true;
}

// The first `length` words of the file, each one fit to write; otherwise
// one line saying why and status 1, before anything was written.
std::vector<std::string> read_data_words(std::FILE *in, const char *name, int length) {
  std::vector<std::string> words;
  std::string token;
  while (int(words.size()) < length && next_token(in, token)) {
    const std::string problem = data_text_problem(token);
    if (!problem.empty()) {
      std::printf("JTAG_WriteMem: ERROR, word %zu of file %s %s; nothing written\n", words.size() + 1, name,
                  problem.c_str());
      cli::exit_command(1);
    }
    words.push_back(token);
  }
  if (int(words.size()) < length) {
    std::printf("JTAG_WriteMem: ERROR, file %s holds %zu words, fewer than the length %d; nothing written\n", name,
                words.size(), length);
    cli::exit_command(1);
  }
  return words;
}

void write_one_word(const char *address_text, const char *data_text) {
  char word[kL2WordBuffer];
  build_l2_write_access_word(address_text, word);  // the run was checked to fit
  load_instruction("58");
  load_word(word);
  load_instruction("59");
  build_l2_data_word(data_text, word);  // the data was checked to fit
  load_word(word);
  load_instruction("5a");
  run_clocks(kWriteCycles);
}

}  // namespace

int cmd_read_mem(int argc, char **argv) {
  if (argc < 3) cli::fail(kReadNotSpecified, kReadUsage);
  RunWords run;
  cli::scan(
      argc, argv,
      [&](const char *word) {
        if (cli::common_option(word, kReadUsage)) return;
        if (cli::letter(word) == 'f' && !take_file(word, run)) cli::fail(kReadNoFileName, kReadUsage);
      },
      address_and_length(run));
  if (run.address == nullptr || run.length == 0) cli::fail(kReadNotSpecified, kReadUsage);
  if (!address_is_valid(run.address)) cli::fail(kReadBadAddress, kReadUsage);
  uint64_t address = hex2dec(run.address);
  refuse_run_past_address_field("JTAG_ReadMem", address, run.length, "nothing read");

  std::FILE *out = nullptr;
  if (run.file_flag) {
    out = std::fopen(run.file, "w");
    if (out == nullptr) {
      std::printf("JTAG_ReadMem: ERROR, Could not open file %s for writing\n", run.file);
      cli::exit_command(1);
    }
    chmod(run.file, 0777);  // as the dump files: everyone may read, write and run it
  }
  if (debug_level) std::printf("JTAG_ReadMem: Reading L2 @ 0x%s (%d)\n", run.address, run.length);
  for (int i = 0; i < run.length; ++i, address += kWordBytes) {
    char current[32];
    format_address(current, address);
    if (debug_level) std::printf("JTAG_ReadMem: Reading L2 @ 0x%s\n", current);
    char *bits = read_one_word(current);
    if (debug_level) std::printf("JTAG_ReadMem: Data for L2 Mem (Addr=%s) is :", current);
    char *value = bin2hex(bits);
    std::puts(value);
    std::free(value);
    if (out != nullptr) {
      value = bin2hex(bits);
      std::fprintf(out, "%s ", value);
      std::free(value);
    }
    std::free(bits);
  }
  if (out != nullptr) std::fclose(out);
  std::free(run.file);
  std::free(run.address);
  return 0;
}

// The source of the data: a -x=<data> that does not begin with 'x' makes the
// run one word long; otherwise a -f=<file> given after every -x= supplies
// one word per access.  The data text starts as the marker "x", no data.
int cmd_write_mem(int argc, char **argv) {
  if (argc < 4) cli::fail(kWriteNotSpecified, kWriteFirstUsage);
  RunWords run;
  std::string data = "x";
  cli::scan(
      argc, argv,
      [&](const char *word) {
        if (cli::common_option(word, kWriteHelp)) return;
        switch (cli::letter(word)) {
          case 'f':
            if (!take_file(word, run)) cli::fail(kWriteNoFileName, kWriteFileUsage);
            break;
          case 'x':
            if (!cli::has_equals(word)) cli::fail(kWriteDataSpec, kWriteFullUsage);
            if (char *value = cli::option_value(word, "-x=%s")) {  // empty: data as it was
              data = value;
              std::free(value);
            }
            run.file_flag = false;
            break;
          default:
            break;
        }
      },
      address_and_length(run));
  if (run.address == nullptr || run.length == 0 || (!run.file_flag && data[0] == 'x'))
    cli::fail(kWriteNotSpecified, kWriteFullUsage);
  if (!address_is_valid(run.address)) cli::fail(kWriteBadAddress, kWriteFullUsage);
  const bool one_word = data[0] != 'x';
  if (one_word) {
    const std::string problem = data_text_problem(data);
    if (!problem.empty()) {
      std::printf("JTAG_WriteMem: ERROR, Data %s %s; nothing written\n", data.c_str(), problem.c_str());
      cli::exit_command(1);
    }
  }
  uint64_t address = hex2dec(run.address);
  refuse_run_past_address_field("JTAG_WriteMem", address, one_word ? 1 : run.length, "nothing written");

  std::FILE *in = nullptr;
  if (run.file_flag) {
    in = std::fopen(run.file, "r");
    if (in == nullptr) {
      std::printf("JTAG_WriteMem: ERROR, Could not open file %s for reading\n", run.file);
      cli::exit_command(1);
    }
  }
  if (one_word) {
    run.length = 1;
    run.file_flag = false;  // a file named after -x= is opened but not read
  }
  std::vector<std::string> file_words;
  if (run.file_flag) file_words = read_data_words(in, run.file, run.length);

  if (debug_level) std::printf("JTAG_WriteMem: Writing L2 @ 0x%s (%d)\n", run.address, run.length);
  for (int i = 0; i < run.length; ++i, address += kWordBytes) {
    const char *data_text = run.file_flag ? file_words[size_t(i)].c_str() : data.c_str();
    char current[32];
    format_address(current, address);
    if (debug_level) std::printf("JTAG_WriteMem: Writing L2 %s @ 0x%s\n", data_text, current);
    write_one_word(current, data_text);
  }
  if (in != nullptr) std::fclose(in);
  std::free(run.file);
  std::free(run.address);
  return 0;
}

}  // namespace jtagbox
