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
// A NUL is part of a word (strchr would find it: it ends the string).
bool ends_word(int c) { return c < 0 || blank(c) || c == '\n' || (c != 0 && std::strchr("();!/", c) != nullptr); }

std::string shown(int c) {
  if (c >= 0x21 && c <= 0x7e) return std::string("'") + char(c) + "'";
  char text[16];
  std::snprintf(text, sizeof text, "byte 0x%02x", unsigned(c));
  return text;
}

std::string beyond(std::string_view what, size_t bits) {
  return std::string(what) + " has bits set beyond its length of " + std::to_string(bits);
}

// Swaps the sixteen digits of a word end for end.
uint64_t reversed_digits(uint64_t w) {
  w = ((w >> 4) & 0x0f0f0f0f0f0f0f0fULL) | ((w & 0x0f0f0f0f0f0f0f0fULL) << 4);
  return __builtin_bswap64(w);
}

// `digits` hex digits held in reading order (digit k in bits 4k..4k+3 of
// the words) turned, in place, into the number they write (the last digit
// in bits 0..3): the words end for end, each word's digits end for end, and
// then all of it down by the digits the last word had spare.
void to_number_order(std::vector<uint64_t> &words, size_t digits) {
  std::reverse(words.begin(), words.end());
  for (uint64_t &w : words) w = reversed_digits(w);
  const unsigned down = unsigned(4 * ((16 - digits % 16) % 16));
  if (down == 0) return;
  for (size_t i = 0; i < words.size(); ++i)
    words[i] = (words[i] >> down) | (i + 1 < words.size() ? words[i + 1] << (64 - down) : 0);
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

SvfBits SvfLexer::hex(size_t bits, std::string_view what, bool keep) {
  const size_t limit = (bits + 3) / 4;  // the digits that hold `bits` bits
  std::vector<uint64_t> words;
  // No more digits than the value may have or the file has left: memory for
  // the value is taken once.  The count is at most `limit`, a size_t, on a
  // 32-bit target too.
  if (keep) words.reserve(size_t(std::min<uint64_t>(limit, size_ > bytes_read() ? size_ - bytes_read() : 0) / 16 + 1));
  size_t digits = 0;
  uint8_t first = 0;
  for (;;) {
    const int c = get();
    if (c < 0) fail("the file ends inside the parentheses of " + std::string(what));
    const uint8_t v = kHexClass[size_t(c)];
    if (v < 16) {
      if (v == 0 && digits == 0) continue;  // leading zeros hold no bits
      if (digits == limit) fail(beyond(what, bits));
      if (digits == 0) first = v;
      if (keep && digits % 16 == 0) words.push_back(0);
      if (keep) words.back() |= uint64_t(v) << (4 * (digits % 16));
      ++digits;
    } else if (v == kLineEnd) {
      ++line_;
    } else if (v == kClose) {
      break;
    } else if (v != kBlank) {
      fail(shown(c) + " in the hex digits of " + std::string(what));
    }
  }
  if (digits == limit && bits % 4 != 0 && (first >> (bits % 4)) != 0) fail(beyond(what, bits));
  if (!keep) return {};
  to_number_order(words, digits);
  return {BitVector::from_words(std::move(words), std::min(bits, 4 * digits)), bits};
}

}  // namespace jtag::tools
