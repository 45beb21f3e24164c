// The access words the L2 commands build, character by character, and the
// builders' refusal of texts that would not fit their fields.
#include <gtest/gtest.h>

#include <string>

#include "access/access.h"

namespace {

using jtagbox::kL2WordBuffer;

std::string zeros(size_t n) { return std::string(n, '0'); }

TEST(AccessWords, CregAccessIsACopyOfTheAddressAndFortyBits) {
  int length = 0;
  const jtag::HeapText access = jtagbox::build_creg_access("1f", &length, "0f");
  EXPECT_STREQ(access.get(), "1f");
  EXPECT_EQ(length, 40);
}

TEST(AccessWords, L2AccessWordLayout) {
  struct Case {
    const char *address;
    std::string read, write;
  };
  const std::string a = "10000001", w = "10000010";
  const Case cases[] = {
      {"0", a + zeros(52) + "0000" + "0", w + zeros(52) + "0000" + "0"},
      {"108", a + zeros(44) + "000100001000" + "0", w + zeros(44) + "000100001000" + "0"},
      {"ffffffffffffff", a + std::string(56, '1') + "0", w + std::string(56, '1') + "0"},
  };
  for (const Case &c : cases) {
    char word[kL2WordBuffer];
    ASSERT_TRUE(jtagbox::build_l2_read_access_word(c.address, word)) << c.address;
    EXPECT_EQ(word, c.read) << c.address;
    EXPECT_EQ(std::string(word).size(), 65u);
    ASSERT_TRUE(jtagbox::build_l2_write_access_word(c.address, word)) << c.address;
    EXPECT_EQ(word, c.write) << c.address;
  }
}

TEST(AccessWords, L2DataWordLayout) {
  char word[kL2WordBuffer];
  ASSERT_TRUE(jtagbox::build_l2_data_word("ab", word));
  EXPECT_EQ(word, zeros(56) + "10101011" + "0");
  ASSERT_TRUE(jtagbox::build_l2_data_word("ffffffffffffffff", word));
  EXPECT_EQ(word, std::string(64, '1') + "0");
  ASSERT_TRUE(jtagbox::build_l2_data_word("xyz", word));  // no hex digits: zeros
  EXPECT_EQ(word, zeros(65));
}

TEST(AccessWords, TextsWiderThanTheirFieldAreRefusedNotOverrun) {
  char word[kL2WordBuffer];
  EXPECT_FALSE(jtagbox::build_l2_read_access_word("100000000000000", word));  // 15 digits
  EXPECT_STREQ(word, "");
  EXPECT_FALSE(jtagbox::build_l2_write_access_word("ffffffffffffffff", word));
  EXPECT_STREQ(word, "");
  EXPECT_FALSE(jtagbox::build_l2_data_word("11112222333344445", word));  // 17 digits
  EXPECT_STREQ(word, "");
  EXPECT_FALSE(jtagbox::build_l2_data_word("0123456789abcdef0123456789abcde", word));  // 31 digits
  EXPECT_STREQ(word, "");
}

}  // namespace
