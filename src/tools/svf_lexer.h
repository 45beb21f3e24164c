// SVF text as jtag-svf reads it: a file read through a fixed buffer and cut
// into the words, opening parentheses and semicolons that statements are
// made of.  Comments (from '!' or "//" to the end of the line) and white
// space are dropped; words come back in upper case, since SVF does not care
// about case.  The hex data inside parentheses is read straight into bits,
// so the text of a scan is never held: memory follows the longest scan, not
// the size of the file.
#ifndef JTAGBOX_TOOLS_SVF_LEXER_H
#define JTAGBOX_TOOLS_SVF_LEXER_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/bits.h"
#include "base/printable.h"
#include "base/unique_fd.h"

namespace jtag::tools {

// A file that cannot be read or played; what() is the whole message after
// "jtag-svf: ", its place included, every byte of the file it quotes that
// is no printable character shown as \xHH (a NUL too, which would
// otherwise end the text).
class SvfError : public std::runtime_error {
 public:
  explicit SvfError(const std::string &message) : std::runtime_error(printable(message)) {}
};

// A value of a scan as SVF writes it: the bits its hex digits hold, and
// above them, up to the scan's length, zeros.  A short value in a long scan
// (SDR 100000000 TDI (0);) is held as the few bits it has, so the zeros can
// go to the board in pieces without ever being held.
class SvfBits {
 public:
  SvfBits() = default;
  SvfBits(BitVector digits, size_t length) : digits_(std::move(digits)), length_(length) {}

  size_t size() const { return length_; }
  // Up to 64 bits from `offset`, as BitVector::get_bits.
  uint64_t get_bits(size_t offset, unsigned count) const {
    if (offset >= digits_.size()) return 0;
    return digits_.get_bits(offset, unsigned(std::min<size_t>(count, digits_.size() - offset)));
  }
  // Bits [at, at + count) into `out` from `to`, where `out` has zeros.
  void copy_to(BitVector &out, size_t to, size_t at, size_t count) const {
    if (at < digits_.size()) out.copy_from(to, digits_, at, std::min(count, digits_.size() - at));
  }
  BitVector slice(size_t at, size_t count) const {
    BitVector out(count);
    copy_to(out, 0, at, count);
    return out;
  }

 private:
  BitVector digits_;  // no longer than length_
  size_t length_ = 0;
};

struct SvfToken {
  enum class Kind { Word, Open, Semicolon, End };
  Kind kind = Kind::End;
  std::string text;  // a word, in upper case
};

class SvfLexer {
 public:
  static constexpr size_t kBufferBytes = size_t{64} * 1024;
  // No keyword, state name or number is longer; a longer word is an error
  // rather than a string that grows with the file.
  static constexpr size_t kMaxWordBytes = 64;

  // Opens `path`; throws SvfError when it cannot.
  explicit SvfLexer(std::string path);

  // Marks the line the statement being read starts on: errors name it.
  void begin_statement() { statement_line_ = line_; }
  SvfToken next();
  // After an Open token: the hex digits up to ')', white space and line ends
  // allowed between them, as a number of `bits` bits.  Digits beyond the
  // ones that hold `bits` bits must be zeros.  `what` names the value in
  // messages ("TDI").  Without `keep` the digits are checked and dropped
  // (an empty value comes back).  The value is packed as it is read, four
  // bits a digit, and turned round in place at the ')' (the text gives the
  // most significant digit first): it is held once.
  SvfBits hex(size_t bits, std::string_view what, bool keep = true);

  // Throws SvfError "FILE:LINE: text" for the statement being read.
  [[noreturn]] void fail(const std::string &text) const;
  std::string where() const { return name_ + ":" + std::to_string(statement_line_); }
  const std::string &name() const { return name_; }
  uint64_t bytes_read() const { return consumed_ + pos_; }
  uint64_t size() const { return size_; }  // 0 when the file has no size (a pipe)

 private:
  int get() { return pos_ < end_ ? static_cast<unsigned char>(buffer_[pos_++]) : refill(); }
  int refill();
  void unget() { --pos_; }  // the byte get() just returned, never an end of file
  void skip_comment();
  std::string word(int first);

  std::string name_;
  UniqueFd fd_;
  std::vector<char> buffer_;
  size_t pos_ = 0, end_ = 0;
  uint64_t consumed_ = 0, size_ = 0;
  size_t line_ = 1, statement_line_ = 1;
};

}  // namespace jtag::tools

#endif
