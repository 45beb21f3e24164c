#include "tools/svf_lexer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace jtag::tools {
namespace {

// What each byte is inside parentheses: a digit's value, or one of these.
constexpr uint8_t kBlank = 0x10, kLineEnd = 0x11, kClose = 0x12, kOther = 0xff;

constexpr std::array<uint8_t, 256> hex_classes() {
  std::array<uint8_t, 256> t{};
  for (auto &c : t) c = kOther;
  for (int d = 0; d < 10; ++d) t['0' + d] = uint8_t(d);
  for (int d = 0; d < 6; ++d) t['a' + d] = t['A' + d] = uint8_t(10 + d);
  t[' '] = t['\t'] = t['\r'] = t['\f'] = t['\v'] = kBlank;
  t['\n'] = kLineEnd;
  t[')'] = kClose;
  return t;
}
constexpr std::array<uint8_t, 256> kHexClass = hex_classes();

bool blank(int c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }
bool ends_word(int c) { return c < 0 || blank(c) || c == '\n' || std::strchr("();!/", c) != nullptr; }

std::string shown(int c) {
  if (c >= 0x21 && c <= 0x7e) return std::string("'") + char(c) + "'";
  char text[16];
  std::snprintf(text, sizeof text, "byte 0x%02x", unsigned(c));
  return text;
}

std::string beyond(std::string_view what, size_t bits) {
  return std::string(what) + " has bits set beyond its length of " + std::to_string(bits);
}

// Digits, most significant first, as bits: sixteen digits to a 64-bit word
// from the least significant end.
BitVector pack(const std::vector<uint8_t> &digits, size_t bits) {
  BitVector out(bits);
  size_t bit = 0;
  for (size_t i = digits.size(); i > 0 && bit < bits; bit += 64) {
    uint64_t word = 0;
    for (unsigned n = 0; n < 16 && i > 0; ++n) word |= uint64_t(digits[--i]) << (4 * n);
    out.set_bits(bit, unsigned(std::min<size_t>(64, bits - bit)), word);
  }
  return out;
}

}  // namespace

SvfLexer::SvfLexer(std::string path)
    : name_(std::move(path)), fd_(::open(name_.c_str(), O_RDONLY | O_CLOEXEC)), buffer_(kBufferBytes) {
  if (fd_.get() < 0) throw SvfError("cannot open " + name_ + ": " + std::strerror(errno));
  struct stat st {};
  if (::fstat(fd_.get(), &st) == 0 && S_ISREG(st.st_mode)) size_ = uint64_t(st.st_size);
}

int SvfLexer::refill() {
  consumed_ += end_;
  pos_ = end_ = 0;
  ssize_t n = 0;
  do {
    n = ::read(fd_.get(), buffer_.data(), buffer_.size());
  } while (n < 0 && errno == EINTR);
  if (n < 0) throw SvfError("cannot read " + name_ + ": " + std::strerror(errno));
  if (n == 0) return -1;
  end_ = size_t(n);
  return static_cast<unsigned char>(buffer_[pos_++]);
}

[[noreturn]] void SvfLexer::fail(const std::string &text) const { throw SvfError(where() + ": " + text); }

void SvfLexer::skip_comment() {
  for (int c = get(); c >= 0; c = get())
    if (c == '\n') {
      ++line_;
      return;
    }
}

std::string SvfLexer::word(int first) {
  std::string text;
  int c = first;
  for (; !ends_word(c); c = get()) {
    if (text.size() == kMaxWordBytes) fail("a word longer than " + std::to_string(kMaxWordBytes) + " characters");
    text += char(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  }
  if (c >= 0) unget();  // the byte that ended the word is read again
  return text;
}

SvfToken SvfLexer::next() {
  for (;;) {
    const int c = get();
    if (c < 0) return {SvfToken::Kind::End, {}};
    if (c == '\n') {
      ++line_;
    } else if (blank(c)) {
      continue;
    } else if (c == '!') {
      skip_comment();
    } else if (c == '/') {
      if (get() != '/') fail("a single '/' (comments start with \"//\" or '!')");
      skip_comment();
    } else if (c == ';') {
      return {SvfToken::Kind::Semicolon, {}};
    } else if (c == '(') {
      return {SvfToken::Kind::Open, {}};
    } else if (c == ')') {
      fail("')' without '('");
    } else {
      return {SvfToken::Kind::Word, word(c)};
    }
  }
}

std::vector<uint8_t> SvfLexer::significant_digits(size_t bits, std::string_view what) {
  const size_t limit = (bits + 3) / 4;
  std::vector<uint8_t> digits;
  for (;;) {
    const int c = get();
    if (c < 0) fail("the file ends inside the parentheses of " + std::string(what));
    const uint8_t v = kHexClass[size_t(c)];
    if (v < 16) {
      if (v == 0 && digits.empty()) continue;  // leading zeros hold no bits
      if (digits.size() == limit) fail(beyond(what, bits));
      digits.push_back(v);
    } else if (v == kLineEnd) {
      ++line_;
    } else if (v == kClose) {
      return digits;
    } else if (v != kBlank) {
      fail(shown(c) + " in the hex digits of " + std::string(what));
    }
  }
}

BitVector SvfLexer::hex(size_t bits, std::string_view what) {
  const std::vector<uint8_t> digits = significant_digits(bits, what);
  if (!digits.empty() && digits.size() == (bits + 3) / 4 && bits % 4 != 0 && (digits.front() >> (bits % 4)) != 0)
    fail(beyond(what, bits));
  return pack(digits, bits);
}

}  // namespace jtag::tools
