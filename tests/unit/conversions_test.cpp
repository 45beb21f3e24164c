#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/bits.h"
#include "platform/jtag_platform.h"

namespace {

std::string take(char *p) {
  std::string s = p;
  std::free(p);
  return s;
}

TEST(Conversions, Bin2hexGroupsFromTheLeastSignificantEnd) {
  const std::pair<const char *, const char *> cases[] = {
      {"", ""},          {"1", "1"},         {"0", "0"},          {"1010", "a"},
      {"10101", "15"},   {"11111111", "ff"}, {"000000001", "001"}, {"1000000000000000000000000000000000000000000000000000000000000000", "8000000000000000"},
  };
  for (const auto &[bits, hex] : cases) EXPECT_EQ(take(bin2hex(bits)), hex) << bits;
  // 65 bits give 17 digits.
  EXPECT_EQ(take(bin2hex(std::string(65, '1').c_str())), "1ffffffffffffffff");
}

TEST(Conversions, Hex2binFourCharactersPerDigit) {
  const std::pair<const char *, const char *> cases[] = {
      {"", ""},           {"0", "0000"},      {"a3", "10100011"}, {"F", "1111"},
      {"0x3d", "00111101"}, {"12\n", "00010010"}, {"zz", ""},      {"1g2", "0001"},
  };
  for (const auto &[hex, bits] : cases) EXPECT_EQ(take(hex2bin(hex)), bits) << hex;
}

TEST(Conversions, Hex2decAndPadLsb) {
  EXPECT_EQ(hex2dec("100"), 0x100u);
  EXPECT_EQ(hex2dec("0xFFFFFFFFFFFFFFFF"), ~uint64_t{0});
  EXPECT_EQ(hex2dec(""), 0u);
  EXPECT_EQ(hex2dec("12abcz9"), 0x12abcu);
  char buf[16] = "10";
  pad_lsb(buf, 3, "0");
  EXPECT_STREQ(buf, "10000");
  pad_lsb(buf, -4, "0");
  EXPECT_STREQ(buf, "10000");
}

TEST(Conversions, RoundTripThroughBitsAndHex) {
  for (size_t n : {1u, 3u, 4u, 5u, 63u, 64u, 65u, 200u}) {
    jtag::BitVector v(n);
    for (size_t i = 0; i < n; ++i) v.set(i, (i * 7 + 3) % 5 < 2);
    const std::string bits = jtag::to_bit_string(v);
    const std::string hex = take(bin2hex(bits.c_str()));
    EXPECT_EQ(jtag::pattern_bits(hex.c_str(), n, '0'), v) << n;
    EXPECT_EQ(jtag::from_bit_string(bits), v) << n;
  }
}

TEST(Conversions, PatternPadCutAndEnds) {
  struct Case {
    const char *hex;
    size_t count;
    char pad;
    const char *bits;
  };
  const Case cases[] = {
      {"a3", 8, '0', "10100011"}, {"a3", 4, '0', "0011"},     {"a3", 12, '0', "000010100011"},
      {"a3", 12, '1', "111110100011"}, {"", 4, '1', "1111"},     {"0x5", 4, '0', "0101"},
      {"ab\n", 16, '0', "0000000010101011"}, {"xyz", 4, '0', "0000"}, {"3", 6, 'q', "000011"},
  };
  for (const Case &c : cases)
    EXPECT_EQ(jtag::to_bit_string(jtag::pattern_bits(c.hex, c.count, c.pad)), c.bits) << c.hex << " " << c.count;
}

TEST(BitVector, CopyAcrossWordBoundaries) {
  jtag::BitVector src(300);
  for (size_t i = 0; i < 300; ++i) src.set(i, (i % 3) == 0 || (i % 7) == 0);
  for (size_t off : {0u, 1u, 63u, 64u, 65u, 100u}) {
    jtag::BitVector dst(300);
    dst.copy_from(off, src, 5, 200);
    for (size_t i = 0; i < 300; ++i)
      EXPECT_EQ(dst.get(i), i >= off && i < off + 200 ? src.get(i - off + 5) : false) << off << " " << i;
  }
}

}  // namespace
