#include "tools/chain_analysis.h"

#include <cstdio>
#include <functional>

namespace jtag::tools {

std::optional<size_t> ones_delay(const BitVector &tdo, size_t from) {
  for (size_t i = from; i < tdo.size(); ++i)
    if (tdo.get(i)) return i - from;
  return std::nullopt;
}

std::optional<std::vector<std::optional<uint32_t>>> idcodes(const BitVector &tdo, size_t count) {
  std::vector<std::optional<uint32_t>> codes;
  size_t at = 0;
  for (size_t d = 0; d < count; ++d) {
    if (at >= tdo.size()) return std::nullopt;
    if (!tdo.get(at)) {
      codes.emplace_back(std::nullopt);
      at += 1;
      continue;
    }
    if (at + 32 > tdo.size()) return std::nullopt;
    codes.emplace_back(uint32_t(tdo.get_bits(at, 32)));
    at += 32;
  }
  return codes;
}

std::vector<std::optional<size_t>> ir_lengths(const BitVector &captured, size_t total, size_t count) {
  // An IR may start at p when bits p, p+1 are 1, 0.
  auto starts_at = [&](size_t p) { return p + 1 < total && captured.get(p) && !captured.get(p + 1); };
  // ways[p][d]: how many splits of bits p.. into devices d.. fit (capped).
  constexpr size_t kCap = 2;
  std::vector<std::vector<size_t>> ways(total + 1, std::vector<size_t>(count + 1, 0));
  ways[total][count] = 1;
  for (size_t p = total; p-- > 0;) {
    if (!starts_at(p)) continue;
    for (size_t d = 0; d < count; ++d) {
      size_t n = 0;
      for (size_t len = 2; p + len <= total && n < kCap; ++len) {
        const size_t next = p + len;
        if (next != total && !starts_at(next)) continue;
        n += ways[next][d + 1];
      }
      ways[p][d] = std::min(n, kCap);
    }
  }
  if (count == 0 || ways[0][0] == 0) return {};
  // The lengths each device can have in some fitting split: walk the splits
  // breadth first over (start, device) pairs that can still finish.
  std::vector<std::optional<size_t>> lengths(count);
  std::vector<bool> reach(total + 1, false);
  reach[0] = true;
  for (size_t d = 0; d < count; ++d) {
    std::vector<bool> next_reach(total + 1, false);
    std::optional<size_t> only;
    bool several = false;
    for (size_t p = 0; p < total; ++p) {
      if (!reach[p] || ways[p][d] == 0) continue;
      for (size_t len = 2; p + len <= total; ++len) {
        const size_t next = p + len;
        if (next != total && !starts_at(next)) continue;
        if (ways[next][d + 1] == 0) continue;
        next_reach[next] = true;
        if (only && *only != len) several = true;
        only = len;
      }
    }
    if (!several) lengths[d] = only;
    reach = next_reach;
  }
  return lengths;
}

std::string describe(const std::vector<Tap> &taps, size_t ir_total) {
  std::string out;
  size_t with_id = 0;
  for (size_t i = 0; i < taps.size(); ++i) {
    char line[128];
    if (taps[i].idcode) {
      ++with_id;
      std::snprintf(line, sizeof line, "TAP %zu: IDCODE 0x%08x, ", i, unsigned(*taps[i].idcode));
    } else {
      std::snprintf(line, sizeof line, "TAP %zu: BYPASS, ", i);
    }
    out += line;
    if (taps[i].ir_length)
      out += "IR length " + std::to_string(*taps[i].ir_length) + "\n";
    else
      out += "IR length ambiguous\n";
  }
  out += std::to_string(taps.size()) + (taps.size() == 1 ? " TAP" : " TAPs") + " (" + std::to_string(with_id) +
         " with IDCODE, " + std::to_string(taps.size() - with_id) + " BYPASS only), IR " + std::to_string(ir_total) +
         " bits in all\n";
  return out;
}

}  // namespace jtag::tools
