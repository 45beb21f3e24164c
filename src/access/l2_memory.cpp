// JTAG_ReadMem and JTAG_WriteMem: runs of 64-bit L2 memory words, one TAP
// access per word, the address advancing by 8 from one word to the next.
//   read:  IR 58, DR access word (65), IR 5b, 65 TCK, DR 64 bits out (wait 3)
//   write: IR 58, DR access word (65), IR 59, DR data word (65), IR 5a, 129 TCK
// A read run prints one word per line and, with -f=<file>, saves the words
// as "%s " each (no newline anywhere): the form a write run reads back.
//
// Beyond the checks every run makes (words present, address within 64 bits,
// files that open), a run is refused before its first access, with one line
// on standard error saying why and status 1, when
//   - an address of the run does not fit the 56-bit address field: its
//     hex2bin would push the access word past 65 characters and the shift
//     would cut off the direction bits (a read could turn into a write);
//   - a data text (from -x= or the file) is longer than 31 characters or has
//     more than 64 bits: it could neither be held nor written uncut;
//   - the file holds fewer words than the length: no word may be written
//     from data that was never read;
//   - the file has more than 4096 characters of white space before a word:
//     no file the command could use looks like that, and a stream of blanks
//     must not keep the command reading for ever.
// The file is read whole before the first access, so in every refused case
// no word has been written.  Reading it is bounded: a word is read no
// further than one character past the longest that can be written, so
// /dev/zero ends the run at its first 32 bytes.
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "access/access.h"
#include "base/heap_text.h"
#include "files/input_file.h"
#include "files/output_file.h"
#include "main/cli.h"
#include "main/commands.h"
#include "platform/jtag_platform.h"
#include "tap/tap_steps.h"

namespace jtagbox {
namespace {

constexpr int kAccessWordBits = 65;
constexpr int kReadDataBits = 64;
constexpr int kReadCycles = 65;    // not 64
constexpr int kWriteCycles = 129;  // not 128
constexpr int kReadWait = 3;
constexpr uint64_t kWordBytes = kL2WordBytes;
constexpr uint64_t kAddressLimit = kL2AddressLimit;
constexpr size_t kMaxDataText = 31;      // the data text's buffer holds 31 characters
constexpr size_t kMaxWhiteSpace = 4096;  // before one word of the file

constexpr const char *kReadName = "JTAG_ReadMem";
constexpr const char *kReadUsage = "JTAG_ReadMem <address> <length> [-f=<file>] [-d=<level>] [-h]\n";
constexpr const char *kReadNotSpecified = "JTAG_ReadMem: ERROR, Address/Length not specified !";
constexpr const char *kReadNoFileName = "JTAG_ReadMe): ERROR File Name not specified";
constexpr const char *kReadBadAddress = "JTAG_ReadMem: ERROR, Address not valid!";

constexpr const char *kWriteName = "JTAG_WriteMem";
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
  const char *address = nullptr;  // as typed
  int length = 0;                 // read with "%d"; 0 counts as not given
  std::string file;               // -f=<file>
  bool file_flag = false;
};

// A run refused before its first access: one line on standard error.
[[noreturn]] void refuse(const std::string &line) {
  std::fprintf(stderr, "%s\n", line.c_str());
  cli::exit_command(1);
}

// A positional word is the address and the word after it, whatever it looks
// like, the length; a length word that is no number leaves the length as it
// was.
cli::PositionalHandler address_and_length(RunWords &run) {
  return cli::group_of(2, [&run](char *const *words, int present) {
    run.address = words[0];
    if (present > 1) cli::read_int(words[1], run.length);
  });
}

// -f=<file>: false when there is no '=' or no name after it.
bool take_file(const char *word, RunWords &run) {
  if (!cli::has_equals(word)) return false;
  std::string name = cli::option_value(word, "-f=%s");
  if (name.empty()) return false;
  run.file = std::move(name);
  run.file_flag = true;
  return true;
}

// Only a value too big for 64 bits fails; the rest is left to hex2dec.
bool address_is_valid(const char *address) {
  errno = 0;
  std::strtoull(address, nullptr, 16);
  return errno == 0;
}

std::string hex_address(uint64_t address) {
  char text[32];
  std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(address));
  return text;
}

// The run's addresses, start + 8 * i, must all fit the 56-bit field.
void refuse_run_past_address_field(const char *command, uint64_t start, int length, const char *nothing_done) {
  uint64_t last = start;
  if (length > 1) last = start + kWordBytes * uint64_t(length - 1);
  if (start < kAddressLimit && last < kAddressLimit) return;
  refuse(std::string(command) + ": ERROR, L2 address 0x" + hex_address(start < kAddressLimit ? last : start) +
         " is beyond the 56-bit address field; " + nothing_done);
}

// Shift a 65-character bit string as the hex text bin2hex makes of it.
void load_word(const char (&word)[kL2WordBuffer]) { load_data(jtag::HeapText(bin2hex(word)).get(), kAccessWordBits); }

// ---- writing ----

bool is_white_space(int c) { return std::isspace(c) != 0; }

// The words of a data file, one by one as fscanf's "%s " takes them: a run
// of characters other than white space, after any white space.  At most
// kMaxDataText + 1 characters of a word are read, enough to tell that it is
// too long, and at most kMaxWhiteSpace characters of white space before it.
class DataWords {
 public:
  explicit DataWords(files::InputFile &in) : in_(in), next_(in.next_char()) {}

  // The next word; false at the end of the file.
  bool next(std::string &word, size_t number) {
    word.clear();
    for (size_t blanks = 1; next_ != EOF && is_white_space(next_); ++blanks) {
      if (blanks > kMaxWhiteSpace)
        refuse("JTAG_WriteMem: ERROR, file " + std::string(in_.name()) + " has more than " +
               std::to_string(kMaxWhiteSpace) + " characters of white space before word " + std::to_string(number) +
               "; nothing written");
      next_ = in_.next_char();
    }
    while (next_ != EOF && !is_white_space(next_) && word.size() <= kMaxDataText) {
      word += char(next_);
      next_ = in_.next_char();
    }
    return !word.empty();
  }

 private:
  files::InputFile &in_;
  int next_;  // the character after the last one taken, read ahead
};

// The first `length` words of the file, each one fit to write; otherwise
// one line saying why and status 1, before anything was written.
std::vector<std::string> read_data_words(files::InputFile &in, int length) {
  std::vector<std::string> words;
  std::string word;
  DataWords file_words(in);
  while (int(words.size()) < length && file_words.next(word, words.size() + 1)) {
    const std::string problem = l2_data_problem(word);
    if (!problem.empty())
      refuse("JTAG_WriteMem: ERROR, word " + std::to_string(words.size() + 1) + " of file " + in.name() + " " +
             problem + "; nothing written");
    words.push_back(word);
  }
  if (int(words.size()) < length)
    refuse("JTAG_WriteMem: ERROR, file " + std::string(in.name()) + " holds " + std::to_string(words.size()) +
           " words, fewer than the length " + std::to_string(length) + "; nothing written");
  return words;
}

}  // namespace

std::string l2_data_problem(const std::string &text) {
  if (text.size() > kMaxDataText) return "is longer than 31 characters";
  if (std::strlen(jtag::HeapText(hex2bin(text.c_str())).get()) > size_t(kL2DataBits))
    return "has more than 64 bits (16 hex digits)";
  return "";
}

std::string read_l2_word(uint64_t address) {
  char word[kL2WordBuffer];
  build_l2_read_access_word(hex_address(address).c_str(), word);  // the run was checked to fit
  load_instruction("58", kProcessorInstructionBits);
  load_word(word);
  load_instruction("5b", kProcessorInstructionBits);
  run_clocks(kReadCycles);
  const jtag::HeapText bits = unload_data(kReadDataBits, kReadWait);
  return jtag::HeapText(bin2hex(bits.get())).get();
}

void write_l2_word(uint64_t address, const char *data_text) {
  char word[kL2WordBuffer];
  build_l2_write_access_word(hex_address(address).c_str(), word);  // the run was checked to fit
  load_instruction("58", kProcessorInstructionBits);
  load_word(word);
  load_instruction("59", kProcessorInstructionBits);
  build_l2_data_word(data_text, word);  // the data was checked to fit
  load_word(word);
  load_instruction("5a", kProcessorInstructionBits);
  run_clocks(kWriteCycles);
}

JTAGBOX_COMMAND(6, JTAG_ReadMem, cmd_read_mem, kReadUsage, "-f=");
JTAGBOX_COMMAND(9, JTAG_WriteMem, cmd_write_mem, kWriteFullUsage, "-f= -x=");

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
  refuse_run_past_address_field(kReadName, address, run.length, "nothing read");

  std::optional<files::OutputFile> out;
  if (run.file_flag) out.emplace(kReadName, run.file.c_str());
  cli::debug("JTAG_ReadMem: Reading L2 @ 0x%s (%d)\n", run.address, run.length);
  for (int i = 0; i < run.length; ++i, address += kWordBytes) {
    const std::string current = hex_address(address);
    cli::debug("JTAG_ReadMem: Reading L2 @ 0x%s\n", current.c_str());
    const std::string value = read_l2_word(address);
    cli::debug("JTAG_ReadMem: Data for L2 Mem (Addr=%s) is :", current.c_str());
    std::puts(value.c_str());
    if (out) {
      out->write(value.c_str());
      out->write(" ");
    }
  }
  if (out) out->close();
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
          case 'x': {
            if (!cli::has_equals(word)) cli::fail(kWriteDataSpec, kWriteFullUsage);
            std::string value = cli::option_value(word, "-x=%s");
            if (!value.empty()) data = std::move(value);  // empty: data as it was
            run.file_flag = false;
            break;
          }
          default: break;
        }
      },
      address_and_length(run));
  if (run.address == nullptr || run.length == 0 || (!run.file_flag && data[0] == 'x'))
    cli::fail(kWriteNotSpecified, kWriteFullUsage);
  if (!address_is_valid(run.address)) cli::fail(kWriteBadAddress, kWriteFullUsage);
  const bool one_word = data[0] != 'x';
  if (one_word) {
    const std::string problem = l2_data_problem(data);
    if (!problem.empty()) refuse("JTAG_WriteMem: ERROR, Data " + data + " " + problem + "; nothing written");
  }
  uint64_t address = hex2dec(run.address);
  refuse_run_past_address_field(kWriteName, address, one_word ? 1 : run.length, "nothing written");

  std::optional<files::InputFile> in;
  if (run.file_flag) in.emplace(kWriteName, run.file.c_str());
  if (one_word) {
    run.length = 1;
    run.file_flag = false;  // a file named after -x= is opened but not read
  }
  std::vector<std::string> file_words;
  if (run.file_flag) file_words = read_data_words(*in, run.length);

  cli::debug("JTAG_WriteMem: Writing L2 @ 0x%s (%d)\n", run.address, run.length);
  for (int i = 0; i < run.length; ++i, address += kWordBytes) {
    const char *data_text = run.file_flag ? file_words[size_t(i)].c_str() : data.c_str();
    const std::string current = hex_address(address);
    cli::debug("JTAG_WriteMem: Writing L2 %s @ 0x%s\n", data_text, current.c_str());
    write_l2_word(address, data_text);
  }
  return 0;
}

}  // namespace jtagbox
