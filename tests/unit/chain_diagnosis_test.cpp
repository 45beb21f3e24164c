// How jtag-detect walks a captured IR pattern by the parts' IR lengths:
// which TAP's capture does not end in 01, whatever bits it holds.
#include "tools/chain_diagnosis.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using jtag::tools::Tap;

TEST(ChainDiagnosis, EachCaptureMustEndIn01) {
  // Two TAPs of 4-bit IRs known by their part; bits as they came out of
  // TDO (TAP 0's first), most significant last.
  const struct {
    const char *bits;
    std::vector<std::string> lines;
  } cases[] = {
      {"10001000", {}},
      {"00001000", {"TAP 0 (IDCODE 0x00000011) IR capture 0b0000 does not end in 01"}},
      {"10001101", {"TAP 1 (IDCODE 0x00000021) IR capture 0b1011 does not end in 01"}},
      {"11001000", {"TAP 0 (IDCODE 0x00000011) IR capture 0b0011 does not end in 01"}},
  };
  const auto known = [](size_t, std::optional<uint32_t>) -> std::optional<size_t> { return 4; };
  for (const auto &c : cases) {
    std::vector<Tap> taps{{0x11, std::nullopt}, {0x21, std::nullopt}};
    const std::string out(c.bits);
    const jtag::BitVector ir = jtag::from_bit_string(std::string(out.rbegin(), out.rend()));  // bit 0 first out
    EXPECT_EQ(jtag::tools::check_ir_captures(ir, 8, taps, known), c.lines) << c.bits;
    EXPECT_EQ(taps[1].ir_length, 4U) << c.bits;
  }
}

}  // namespace
