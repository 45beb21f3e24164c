// How jtag-detect reads the chain's answers.
#include "tools/chain_analysis.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace {

using jtag::BitVector;
using jtag::from_bit_string;
using Lengths = std::vector<std::optional<size_t>>;

// Bits written least significant (first out) first, for readability.
BitVector first_out_first(const std::string &bits) { return from_bit_string(std::string(bits.rbegin(), bits.rend())); }

TEST(ChainAnalysis, IrLengthsFromTheCapturedPattern) {
  const struct {
    std::string captured;  // first bit out first
    size_t count;
    Lengths expected;
  } cases[] = {
      {"10000000", 1, {8}},
      {"100000"
       "10000000",
       2,
       {6, 8}},
      {"10"
       "10"
       "100",
       3,
       {2, 2, 3}},
      // Two IRs in "1010100": 2+5 or 4+3; the 1 at bit 4 could start one.
      {"1010100", 2, {std::nullopt, std::nullopt}},
      // Three IRs fit "1010100" only one way: 2, 2, 3.
      {"1010100", 3, {2, 2, 3}},
      // No split: the pattern does not start with 01.
      {"0100", 1, {}},
      {"10000", 2, {}},
  };
  for (const auto &c : cases) {
    const BitVector bits = first_out_first(c.captured);
    EXPECT_EQ(jtag::tools::ir_lengths(bits, bits.size(), c.count), c.expected) << c.captured << " " << c.count;
  }
}

TEST(ChainAnalysis, IdcodesAndBypassFromTheResetScan) {
  // Device 0 BYPASS (0), device 1 IDCODE 0x0bc0e06b, device 2 BYPASS.
  BitVector bits(34 + 8, true);
  bits.set(0, false);
  bits.set_bits(1, 32, 0x0bc0e06b);
  bits.set(33, false);
  const auto codes = jtag::tools::idcodes(bits, 3);
  ASSERT_TRUE(codes.has_value());
  EXPECT_EQ(*codes, (std::vector<std::optional<uint32_t>>{std::nullopt, 0x0bc0e06bu, std::nullopt}));
  EXPECT_FALSE(jtag::tools::idcodes(BitVector(10, true), 1).has_value());
}

TEST(ChainAnalysis, DelayAndReport) {
  EXPECT_EQ(jtag::tools::ones_delay(first_out_first("000000111"), 3), 3u);
  EXPECT_EQ(jtag::tools::ones_delay(first_out_first("0000"), 2), std::nullopt);
  EXPECT_EQ(jtag::tools::describe({{0x34a56093u, 6}, {std::nullopt, 8}, {0x1u, std::nullopt}}, 17),
            "TAP 0: IDCODE 0x34a56093, IR length 6\n"
            "TAP 1: BYPASS, IR length 8\n"
            "TAP 2: IDCODE 0x00000001, IR length ambiguous\n"
            "3 TAPs (2 with IDCODE, 1 BYPASS only), IR 17 bits in all\n");
}

}  // namespace
