#include "scanmap/latches.h"

#include <fnmatch.h>

#include <algorithm>
#include <bit>

#include "base/error.h"

namespace jtag::scanmap {
namespace {

constexpr char kHex[] = "0123456789abcdef";

// Text gathered for the sink, handed on about every 64 KiB and at the end.
class Pieces {
 public:
  explicit Pieces(Sink sink) : sink_(sink) { text_.reserve(kPiece + 4096); }
  Pieces(const Pieces &) = delete;
  Pieces &operator=(const Pieces &) = delete;
  Pieces &operator+=(std::string_view more) {
    text_ += more;
    return *this;
  }
  std::string &text() { return text_; }
  void finish() {
    if (!text_.empty()) sink_(text_);
    text_.clear();
  }
  void maybe_flush() {
    if (text_.size() < kPiece) return;
    sink_(text_);
    text_.clear();
  }

 private:
  static constexpr size_t kPiece = 65536;
  Sink sink_;
  std::string text_;
};

bool is_glob(std::string_view word) { return word.find_first_of("*?[") != std::string_view::npos; }

// The second dump's bits: the first's, but for the words that differ.
class Patched {
 public:
  Patched(const BitVector &a, const DumpDelta &b) : a_(a), b_(b.words) {}
  // The first of the differing words at or after word `index`.
  auto from_word(size_t index) const {
    return std::lower_bound(b_.begin(), b_.end(), index, [](const auto &w, size_t i) { return w.first < i; });
  }
  auto end() const { return b_.end(); }
  uint64_t a_word(size_t index) const { return a_.words()[index]; }
  // Up to 4 bits from `offset`, as get_bits.
  uint64_t get_bits(uint64_t offset, unsigned count) const {
    uint64_t v = 0;
    for (unsigned k = 0; k < count; ++k) v |= uint64_t(bit(offset + k)) << k;
    return v;
  }

 private:
  bool bit(uint64_t at) const {
    const auto w = from_word(size_t(at >> 6));
    const uint64_t word = w != b_.end() && w->first == size_t(at >> 6) ? w->second : a_word(size_t(at >> 6));
    return ((word >> (at & 63)) & 1) != 0;
  }
  const BitVector &a_;
  const std::vector<std::pair<size_t, uint64_t>> &b_;
};

// The number of bits of [from, to) in which the dumps differ, and the
// first of them (`to` when none): only the differing words are looked at.
std::pair<uint64_t, uint64_t> differing(const Patched &b, uint64_t from, uint64_t to) {
  uint64_t count = 0, first = to;
  if (from >= to) return {0, to};
  for (auto w = b.from_word(size_t(from >> 6)); w != b.end() && uint64_t(w->first) * 64 < to; ++w) {
    const uint64_t base = uint64_t(w->first) * 64;
    uint64_t x = b.a_word(w->first) ^ w->second;
    if (from > base) x &= ~uint64_t{0} << (from - base);
    if (to - base < 64) x &= (uint64_t{1} << (to - base)) - 1;
    if (x == 0) continue;
    if (first == to) first = base + uint64_t(std::countr_zero(x));
    count += uint64_t(std::popcount(x));
  }
  return {count, first};
}

template <class Bits>
void append_value(std::string &out, const Bits &bits, const Latch &latch) {
  out += "0x";
  // Offsets and widths are 32-bit: every bit index is a size, even on the
  // 32-bit board.
  const size_t digits = (size_t{latch.width} + 3) / 4;
  for (size_t d = digits; d-- > 0;) {
    const size_t at = size_t{latch.offset} + 4 * d;
    const unsigned take = unsigned(std::min<size_t>(4, latch.width - 4 * d));
    out += kHex[bits.get_bits(at, take)];
  }
}

// The value of "NAME=VALUE" as the latch's bits.
BitVector parse_value(std::string_view text, const Latch &latch, std::string_view assignment) {
  const auto bad = [&](const std::string &why) {
    return ArgumentError(printable(std::string(assignment)) + ": " + why);
  };
  BitVector value(latch.width);
  const std::string too_wide = "the value does not fit latch " + std::string(latch.name) + " (" +
                               std::to_string(latch.width) + (latch.width == 1 ? " bit)" : " bits)");
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    size_t bit = 0;
    for (size_t i = text.size(); i-- > 2;) {
      const int v = hex_digit_value(text[i]);
      if (v < 0) throw bad("'" + std::string(text.substr(2)) + "' is not a hex number");
      for (int k = 0; k < 4; ++k, ++bit) {
        if (((v >> k) & 1) == 0) continue;
        if (bit >= latch.width) throw bad(too_wide);
        value.set(bit, true);
      }
    }
    return value;
  }
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos)
    throw bad("the value is neither 0x hex nor decimal");
  uint64_t number = 0;
  for (const char c : text) {
    if (number > (UINT64_MAX - uint64_t(c - '0')) / 10) throw bad("a decimal value above 2^64 - 1; write it in 0x hex");
    number = number * 10 + uint64_t(c - '0');
  }
  if (latch.width < 64 && (number >> latch.width) != 0) throw bad(too_wide);
  for (size_t k = 0; k < std::min<size_t>(latch.width, 64); ++k) value.set(k, ((number >> k) & 1) != 0);
  return value;
}

}  // namespace

std::vector<bool> pick_latches(const Chain &chain, const std::vector<std::string> &only) {
  for (const std::string &word : only)
    if (!is_glob(word) && chain.find(word) == nullptr)
      throw ArgumentError("chain " + chain.name + " has no latch " + printable(word));
  std::vector<bool> picked(chain.latches.size(), only.empty());
  if (only.empty()) return picked;
  std::string name;
  for (size_t i = 0; i < chain.latches.size(); ++i) {
    name = chain.latches[i].name;
    picked[i] = std::any_of(only.begin(), only.end(), [&](const std::string &word) {
      return is_glob(word) ? fnmatch(word.c_str(), name.c_str(), 0) == 0 : word == name;
    });
  }
  return picked;
}

void decode(const BitVector &bits, const Chain &chain, const std::vector<bool> &picked, bool json, Sink sink) {
  Pieces out(sink);
  if (json) out += "{";
  bool first = true;
  for (size_t i = 0; i < chain.latches.size(); ++i) {
    if (!picked[i]) continue;
    const Latch &l = chain.latches[i];
    if (json) {
      out += first ? "\n  \"" : ",\n  \"";
      out += l.name;
      out += "\": \"";
      append_value(out.text(), bits, l);
      out += "\"";
    } else {
      out += l.name;
      out += " = ";
      append_value(out.text(), bits, l);
      out += "\n";
    }
    first = false;
    out.maybe_flush();
  }
  if (json) out += first ? "}\n" : "\n}\n";
  out.finish();
}

bool diff(const Chain &chain, const BitVector &a, const DumpDelta &delta, bool json, Sink sink) {
  const Patched b(a, delta);
  Pieces out(sink);
  bool differ = false;
  if (json) out += "{\n  \"latches\": {";
  bool first = true;
  for (const Latch &l : chain.latches) {
    if (differing(b, l.offset, uint64_t(l.offset) + l.width).first == 0) continue;
    differ = true;
    if (json) {
      out += first ? "\n    \"" : ",\n    \"";
      out += l.name;
      out += "\": [\"";
      append_value(out.text(), a, l);
      out += "\", \"";
      append_value(out.text(), b, l);
      out += "\"]";
    } else {
      out += l.name;
      out += " ";
      append_value(out.text(), a, l);
      out += " -> ";
      append_value(out.text(), b, l);
      out += "\n";
    }
    first = false;
    out.maybe_flush();
  }
  // The gaps between the latches, walked by offset.
  uint64_t count = 0, first_bit = chain.length, at = 0;
  const auto gap = [&](uint64_t to) {
    const auto [n, f] = differing(b, at, to);
    if (n != 0 && first_bit == chain.length) first_bit = f;
    count += n;
  };
  for (size_t i = 0; i < chain.latches.size(); ++i) {
    const Latch &l = chain.nth_by_offset(i);
    gap(l.offset);
    at = uint64_t(l.offset) + l.width;
  }
  gap(chain.length);
  if (count != 0) differ = true;
  if (json) {
    out += first ? "},\n" : "\n  },\n";
    out += "  \"unmapped_bits_differing\": " + std::to_string(count) +
           ",\n  \"first_unmapped_bit_differing\": " + (count == 0 ? "null" : std::to_string(first_bit)) + "\n}\n";
  } else if (count == 0) {
    out += "unmapped bits: none differs\n";
  } else {
    out += "unmapped bits: " + std::to_string(count) + (count == 1 ? " differs" : " differ") + ", the first at bit " +
           std::to_string(first_bit) + "\n";
  }
  out.finish();
  return differ;
}

void set_latches(const Chain &chain, BitVector &bits, const std::vector<std::string> &assignments) {
  for (const std::string &assignment : assignments) {
    const size_t eq = assignment.find('=');
    if (eq == std::string::npos) throw ArgumentError(printable(assignment) + ": not NAME=VALUE");
    const std::string name = assignment.substr(0, eq);
    const Latch *latch = chain.find(name);
    if (latch == nullptr) throw ArgumentError("chain " + chain.name + " has no latch " + printable(name));
    const BitVector value = parse_value(std::string_view(assignment).substr(eq + 1), *latch, assignment);
    bits.copy_from(latch->offset, value, 0, latch->width);
  }
}

}  // namespace jtag::scanmap
