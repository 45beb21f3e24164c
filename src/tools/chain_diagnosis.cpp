#include "tools/chain_diagnosis.h"

#include <cstdio>

#include "tools/idcode_fields.h"

namespace jtag::tools {
namespace {

bool all(const BitVector &bits, bool value) {
  for (size_t i = 0; i < bits.size(); ++i)
    if (bits.get(i) != value) return false;
  return true;
}

bool all(const ChainRead &read, bool value) { return all(read.ir, value) && all(read.bypass, value); }

size_t differing_bits(const BitVector &a, const BitVector &b) {
  size_t n = a.size() > b.size() ? a.size() - b.size() : b.size() - a.size();
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) n += a.get(i) != b.get(i) ? 1 : 0;
  return n;
}

std::string tap_name(size_t k, std::optional<uint32_t> idcode) {
  return "TAP " + std::to_string(k) + (idcode ? " (IDCODE " + idcode_text(*idcode) + ")" : "");
}

// A TAP's captured IR, most significant bit first.
std::string binary(const BitVector &bits, size_t from, size_t count) {
  std::string text = "0b";
  for (size_t i = count; i-- > 0;) text += bits.get(from + i) ? '1' : '0';
  return text;
}

// IEEE 1149.1: the two bits nearest TDO of every captured IR are 1, 0
// (the pattern ends in 01).
bool captures_01(const BitVector &ir, size_t from, size_t length) {
  return length >= 2 && ir.get(from) && !ir.get(from + 1);
}

}  // namespace

std::optional<std::string> stuck_line(const ChainRead &first, const ChainRead &second,
                                      std::optional<unsigned> scan_mode) {
  if (all(first, true) && all(second, true)) {
    if (scan_mode && (*scan_mode & 0x7u) == 6)
      return "TDO stuck at 1: scan mode 0x06 routes no device to TDO (select one with JTAG_CPUSelect or "
             "JTAG_VNXSelect)";
    return "TDO stuck at 1: no device drives TDO (check the cable, the target's power and its TDO pull-up; or "
           "TAP 0 is held in reset)";
  }
  if (all(first, false) && all(second, false))
    return "TDO stuck at 0: something holds TDO low (check the cable for a short to ground, and the target's power)";
  return std::nullopt;
}

std::optional<std::string> errors_line(const ChainRead &first, const ChainRead &second) {
  const size_t differ = differing_bits(first.ir, second.ir) + differing_bits(first.bypass, second.bypass);
  if (differ == 0) return std::nullopt;
  const size_t total = first.ir.size() + first.bypass.size();
  return "TDO errors: two reads of the chain differ in " + std::to_string(differ) + " of " + std::to_string(total) +
         " bits (check the wiring and its ground, or lower TCK; --integrity measures the rate)";
}

size_t bits_before_first_one(const BitVector &bypass) {
  size_t i = 0;
  while (i < bypass.size() && !bypass.get(i)) ++i;
  return i;
}

std::string open_line(size_t answering, const std::vector<std::optional<uint32_t>> &idcodes) {
  const size_t last = answering - 1;
  std::optional<uint32_t> id;
  if (last < idcodes.size()) id = idcodes[last];
  std::string line = "chain open after " + tap_name(last, id) + ": ";
  line += last == 0 ? std::string("TAP 0 answers") : "TAPs 0 to " + std::to_string(last) + " answer";
  return line + ", nothing comes through from TDI (TAP " + std::to_string(last) +
         "'s TDI is open, or the next TAP toward TDI is held in reset)";
}

void count_bypass_errors(const BitVector &in, const BitVector &out, size_t taps, uint64_t first_bit,
                         IntegrityCount &count) {
  constexpr size_t kFirstShown = 5;
  for (size_t i = 0; i < in.size(); ++i) {
    if (i + taps < out.size() && out.get(i + taps) == in.get(i)) continue;
    ++count.errors;
    if (count.first.size() < kFirstShown) count.first.push_back(first_bit + i);
  }
  count.bits += in.size();
}

std::string integrity_line(const IntegrityCount &count) {
  std::string line = "integrity: " + std::to_string(count.bits) + " bits through BYPASS, " +
                     std::to_string(count.errors) + (count.errors == 1 ? " error" : " errors");
  if (count.errors == 0) return line;
  char rate[32];
  std::snprintf(rate, sizeof rate, ", rate %.3g", double(count.errors) / double(count.bits));
  line += rate;
  line += ", first at bit";
  line += count.first.size() > 1 ? "s " : " ";
  for (size_t i = 0; i < count.first.size(); ++i) line += (i > 0 ? ", " : "") + std::to_string(count.first[i]);
  return line;
}

std::vector<std::string> check_ir_captures(const BitVector &ir, size_t total, std::vector<Tap> &taps,
                                           const KnownIrLength &known) {
  std::vector<std::string> lines;
  // Every part's length known and adding up: each TAP's capture is where
  // its part puts it, whatever the bits would let a split believe.
  std::vector<size_t> lengths;
  size_t sum = 0;
  for (size_t k = 0; k < taps.size(); ++k) {
    const std::optional<size_t> length = known(k, taps[k].idcode);
    if (!length) break;
    lengths.push_back(*length);
    sum += *length;
  }
  if (lengths.size() == taps.size() && sum == total) {
    size_t at = 0;
    for (size_t k = 0; k < taps.size(); ++k) {
      taps[k].ir_length = lengths[k];
      if (!captures_01(ir, at, lengths[k]))
        lines.push_back(tap_name(k, taps[k].idcode) + " IR capture " + binary(ir, at, lengths[k]) +
                        " does not end in 01");
      at += lengths[k];
    }
    return lines;
  }
  const std::vector<std::optional<size_t>> split = ir_lengths(ir, total, taps.size());
  for (size_t k = 0; k < split.size() && k < taps.size(); ++k) taps[k].ir_length = split[k];
  if (split.empty()) {
    BitVector pattern(total);
    pattern.copy_from(0, ir, 0, total);
    lines.push_back("the captured IR pattern " + to_hex(pattern) + " does not split into " +
                    std::to_string(taps.size()) +
                    " IRs ending in 01 (a TAP's IR capture is broken; --expect with the IR lengths tells which)");
  }
  return lines;
}

}  // namespace jtag::tools
