#include "tools/expected_taps.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string_view>

#include "base/error.h"
#include "tools/idcode_fields.h"

namespace jtag::tools {

bool idcode_matches(const ExpectedTap &e, std::optional<uint32_t> idcode) {
  if (!idcode || !e.idcode) return !idcode && !e.idcode;
  return ((*idcode ^ *e.idcode) & e.mask) == 0;
}

namespace {

// The board's parts, TDI side first: four processors (IR 8 bits), then four
// Vornex chips (IR 6 bits).  Bits 31..28 of each IDCODE, the version, carry
// the chip's index on the board, so a full mask tells the chips apart.
constexpr uint32_t kProcessorIdcode = 0x0bc0e06b;
constexpr uint32_t kVornexIdcode = 0x04a56093;
constexpr uint32_t kBoardChips = 4;  // of each kind
constexpr size_t kProcessorIrLength = 8;
constexpr size_t kVornexIrLength = 6;

constexpr uint32_t kFullMask = 0xffffffff;
constexpr size_t kMaxHexDigits = 8;
constexpr size_t kQuotedMax = 40;  // the longest entry a message repeats in full

bool is_separator(char c) {
  return c == ',' || c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

[[noreturn]] void bad_entry(std::string_view entry, const std::string &why) {
  std::string quoted(entry.substr(0, kQuotedMax));
  if (entry.size() > kQuotedMax) quoted += "...";
  throw ArgumentError("bad expected TAP '" + quoted + "': " + why);
}

// A hexadecimal field of an entry: IDCODE or MASK.
uint32_t hex_field(std::string_view entry, std::string_view text, const std::string &what) {
  std::string_view digits = text;
  if (digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits.remove_prefix(2);
  if (digits.empty()) bad_entry(entry, what + " '" + std::string(text) + "' has no hexadecimal digits");
  uint32_t value = 0;
  for (const char c : digits) {
    unsigned d = 0;
    if (c >= '0' && c <= '9')
      d = unsigned(c - '0');
    else if (c >= 'a' && c <= 'f')
      d = unsigned(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
      d = unsigned(c - 'A' + 10);
    else
      bad_entry(entry, what + " '" + std::string(text) + "' is not a hexadecimal number");
    value = (value << 4) | d;
  }
  // Checked after the digits, so "0x1234567g9" is called not a number.
  if (digits.size() > kMaxHexDigits)
    bad_entry(entry, what + " '" + std::string(text) + "' has more than 8 hexadecimal digits");
  return value;
}

size_t ir_length_field(std::string_view entry, std::string_view text) {
  if (text.empty()) bad_entry(entry, "no IR length after ':'");
  size_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') bad_entry(entry, "IR length '" + std::string(text) + "' is not a decimal number");
    // Saturates just past the limit: any longer number is out of range too.
    value = std::min(value * 10 + size_t(c - '0'), kMaxExpectedIrLength + 1);
  }
  if (value < 1 || value > kMaxExpectedIrLength)
    bad_entry(entry, "IR length '" + std::string(text) + "' is out of range 1 to 1024");
  return value;
}

bool is_bypass(std::string_view text) {
  constexpr std::string_view kWord = "bypass";
  if (text.size() != kWord.size()) return false;
  for (size_t i = 0; i < kWord.size(); ++i)
    if ((text[i] | 0x20) != kWord[i]) return false;
  return true;
}

ExpectedTap parse_entry(std::string_view entry) {
  const size_t colon = entry.rfind(':');
  if (colon == std::string_view::npos) bad_entry(entry, "no ':' and IR length");
  std::string_view id = entry.substr(0, colon);
  ExpectedTap tap;
  tap.ir_length = ir_length_field(entry, entry.substr(colon + 1));
  std::optional<std::string_view> mask;
  if (const size_t slash = id.find('/'); slash != std::string_view::npos) {
    mask = id.substr(slash + 1);
    id = id.substr(0, slash);
  }
  if (is_bypass(id)) {
    if (mask) bad_entry(entry, "a BYPASS TAP has no IDCODE to mask");
    return tap;
  }
  tap.idcode = hex_field(entry, id, "IDCODE");
  if (mask) tap.mask = hex_field(entry, *mask, "mask");
  // Bit 0 is how a TAP's IDCODE is told from its one-bit BYPASS register.
  if ((tap.mask & 1u) != 0 && (*tap.idcode & 1u) == 0)
    bad_entry(entry, "IDCODE bit 0 is 0, but every IDCODE ends in a 1 bit");
  return tap;
}

std::string expected_idcode(const ExpectedTap &e) {
  std::string text = idcode_text(*e.idcode);
  if (e.mask != kFullMask) text += " (mask " + idcode_text(e.mask) + ")";
  return text;
}

std::string tap_count(size_t n) { return std::to_string(n) + (n == 1 ? " TAP" : " TAPs"); }

std::string identity(const std::optional<uint32_t> &idcode) {
  return idcode ? "IDCODE " + idcode_text(*idcode) : std::string("BYPASS");
}

// An IR length the chain left open does not contradict the expected one.
bool fits(const Tap &found, const ExpectedTap &e) {
  return idcode_matches(e, found.idcode) && (!found.ir_length || *found.ir_length == e.ir_length);
}

void difference_lines(size_t k, const Tap &found, const ExpectedTap &e, std::vector<std::string> &out) {
  const std::string tap = "TAP " + std::to_string(k) + ": ";
  if (!idcode_matches(e, found.idcode)) {
    if (found.idcode && e.idcode)
      out.push_back(tap + "IDCODE " + idcode_text(*found.idcode) + ", expected " + expected_idcode(e));
    else if (e.idcode)
      out.push_back(tap + "BYPASS, expected IDCODE " + expected_idcode(e));
    else
      out.push_back(tap + "IDCODE " + idcode_text(*found.idcode) + ", expected BYPASS");
  }
  const std::string expected_length = ", expected " + std::to_string(e.ir_length);
  if (!found.ir_length)
    out.push_back(tap + "IR length ambiguous" + expected_length);
  else if (*found.ir_length != e.ir_length)
    out.push_back(tap + "IR length " + std::to_string(*found.ir_length) + expected_length);
}

// Of a longer list of n + 1 entries against a shorter one of n, the lowest
// position k of the longer whose removal leaves every pair fitting: entry i
// of the shorter against entry i of the longer before k, i + 1 from k on.
// fits_at(i, j) says whether shorter i and longer j fit.
template <typename FitsAt>
std::optional<size_t> left_out(size_t n, const FitsAt &fits_at) {
  std::vector<bool> tail_fits(n + 1, true);  // [k]: shorter k.. fit longer k + 1..
  for (size_t i = n; i-- > 0;) tail_fits[i] = tail_fits[i + 1] && fits_at(i, i + 1);
  for (size_t k = 0; k < n; ++k) {
    if (tail_fits[k]) return k;
    if (!fits_at(k, k)) return std::nullopt;
  }
  return n;
}

}  // namespace

std::vector<ExpectedTap> parse_expected_taps(const std::string &text) {
  std::vector<ExpectedTap> taps;
  size_t at = 0;
  while (at < text.size()) {
    if (text[at] == '#') {
      at = text.find('\n', at);
      if (at == std::string::npos) break;
      continue;
    }
    if (is_separator(text[at])) {
      ++at;
      continue;
    }
    size_t end = at;
    while (end < text.size() && !is_separator(text[end]) && text[end] != '#') ++end;
    if (taps.size() == kMaxExpectedTaps) throw ArgumentError("bad expected TAPs: more than 1024 entries");
    taps.push_back(parse_entry(std::string_view(text).substr(at, end - at)));
    at = end;
  }
  if (taps.empty()) throw ArgumentError("bad expected TAPs: the list is empty");
  return taps;
}

std::vector<ExpectedTap> board_expected_taps() {
  std::vector<ExpectedTap> taps;
  for (uint32_t i = kBoardChips; i-- > 0;) taps.push_back({kVornexIdcode | (i << 28), kFullMask, kVornexIrLength});
  for (uint32_t i = kBoardChips; i-- > 0;)
    taps.push_back({kProcessorIdcode | (i << 28), kFullMask, kProcessorIrLength});
  return taps;
}

std::vector<std::string> compare_with_expected(const std::vector<Tap> &found,
                                               const std::vector<ExpectedTap> &expected) {
  const size_t n = found.size();
  const size_t m = expected.size();
  const std::string counts = tap_count(n) + ", " + std::to_string(m) + " expected";
  std::vector<std::string> out;
  if (n + 1 == m) {
    const auto k = left_out(n, [&](size_t i, size_t j) { return fits(found[i], expected[j]); });
    if (k) {
      out.push_back(counts + ": TAP " + std::to_string(*k) + " (" + identity(expected[*k].idcode) + ") is missing");
      for (size_t i = 0; i < n; ++i) difference_lines(i, found[i], expected[i < *k ? i : i + 1], out);
      return out;
    }
  } else if (m + 1 == n) {
    const auto k = left_out(m, [&](size_t i, size_t j) { return fits(found[j], expected[i]); });
    if (k) {
      out.push_back(counts + ": TAP " + std::to_string(*k) + " (" + identity(found[*k].idcode) + ") is not expected");
      for (size_t i = 0; i < n; ++i)
        if (i != *k) difference_lines(i, found[i], expected[i < *k ? i : i - 1], out);
      return out;
    }
  }
  if (n != m) out.push_back(counts);
  for (size_t i = 0; i < std::min(n, m); ++i) difference_lines(i, found[i], expected[i], out);
  return out;
}

}  // namespace jtag::tools
