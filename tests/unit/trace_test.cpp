#include <gtest/gtest.h>

#include "platform/trace.h"

namespace {

TEST(Trace, EscapesAsCDoes) {
  const std::pair<std::string, std::string> cases[] = {
      {"88", "88"},
      {"ab\n", "ab\\n"},
      {"a\tb", "a\\tb"},
      {"back\\slash", "back\\\\slash"},
      {"say \"hi\"", "say \\\"hi\\\""},
      {"it's", "it's"},
      {std::string("\x01\x7f\xff", 3), "\\x01\\x7f\\xff"},
  };
  for (const auto &[in, out] : cases) EXPECT_EQ(jtag::escape_text(in), out);
  EXPECT_EQ(jtag::escape_text("'", '\''), "\\'");
  EXPECT_EQ(jtag::escape_text("\"", '\''), "\"");
}

}  // namespace
