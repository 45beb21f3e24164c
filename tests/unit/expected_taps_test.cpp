// The expected-chain lists for jtag-detect --expect: their syntax and its
// errors, the board's own chain, the lines that tell a found chain from the
// expected one; and the fields of an IDCODE.
#include "tools/expected_taps.h"

#include <gtest/gtest.h>

#include <sstream>

#include "base/error.h"
#include "tools/idcode_fields.h"

namespace {

using jtag::tools::ExpectedTap;
using jtag::tools::Tap;

std::string text(const std::vector<ExpectedTap> &taps) {
  std::ostringstream out;
  for (const ExpectedTap &t : taps) {
    if (t.idcode) out << std::hex << *t.idcode << '/' << t.mask << std::dec;
    out << (t.idcode ? "" : "bypass") << ':' << t.ir_length << ' ';
  }
  return out.str();
}

// "ID:LEN" or "bypass:LEN" separated by blanks, ID hexadecimal, LEN "?" for
// an IR length the chain left open.
std::vector<Tap> found(const std::string &list) {
  std::vector<Tap> taps;
  std::istringstream in(list);
  for (std::string id, length; std::getline(in >> std::ws, id, ':') && in >> length;)
    taps.push_back({id == "bypass" ? std::nullopt : std::optional<uint32_t>(std::stoul(id, nullptr, 16)),
                    length == "?" ? std::nullopt : std::optional<size_t>(std::stoul(length))});
  return taps;
}

TEST(ExpectedTaps, FileAndArgumentFormsParseAlike) {
  const std::string want = "ba00477/ffffffff:4 bypass:5 1/fff:1 ffffffff/f:1024 ";
  EXPECT_EQ(text(jtag::tools::parse_expected_taps("0x0ba00477:4,bypass:5,1/FFF:1,0xFFFFFFFF/0xf:1024")), want);
  EXPECT_EQ(text(jtag::tools::parse_expected_taps("# the chain\n0BA00477:4 # TAP 0\r\n\tBYPASS:5,\n\n"
                                                  "00000001/0x00000fff:1   ffffffff/f:01024#end")),
            want);
}

TEST(ExpectedTaps, BadListsSayWhatIsWrong) {
  std::string many;
  for (int i = 0; i < 1025; ++i) many += "1:1,";
  const std::pair<std::string, std::string> cases[] = {
      {"xyz", "'xyz': no ':' and IR length"},
      {"1:4 xyz:8", "'xyz:8': IDCODE 'xyz' is not a hexadecimal number"},
      {":8", "':8': IDCODE '' has no hexadecimal digits"},
      {"0x123456789:8", "'0x123456789:8': IDCODE '0x123456789' has more than 8 hexadecimal digits"},
      {"1/0x1ffffffff:4", "'1/0x1ffffffff:4': mask '0x1ffffffff' has more than 8 hexadecimal digits"},
      {"1/-1:4", "'1/-1:4': mask '-1' is not a hexadecimal number"},
      {"10:4", "'10:4': IDCODE bit 0 is 0, but every IDCODE ends in a 1 bit"},
      {"bypass/1:4", "'bypass/1:4': a BYPASS TAP has no IDCODE to mask"},
      {"1:", "'1:': no IR length after ':'"},
      {"1:+8", "'1:+8': IR length '+8' is not a decimal number"},
      {"1:0", "'1:0': IR length '0' is out of range 1 to 1024"},
      {"1:1025", "'1:1025': IR length '1025' is out of range 1 to 1024"},
      {"1:99999999999999999999",
       "'1:99999999999999999999': IR length '99999999999999999999' is out of range 1 to 1024"},
      {std::string(50, '1'), "'" + std::string(40, '1') + "...': no ':' and IR length"},
      {" ,\n# 1:4", "bad expected TAPs: the list is empty"},
      {many, "bad expected TAPs: more than 1024 entries"},
  };
  for (const auto &[list, message] : cases) {
    const std::string want = message.rfind("bad", 0) == 0 ? message : "bad expected TAP " + message;
    try {
      jtag::tools::parse_expected_taps(list);
      ADD_FAILURE() << list << " parsed";
    } catch (const jtag::ArgumentError &e) {
      EXPECT_EQ(e.what(), want);
    }
  }
  EXPECT_EQ(jtag::tools::parse_expected_taps(many.substr(4)).size(), 1024u);
}

// TAP 0, nearest TDO, is the last Vornex chip; TAP 7 the first processor.
TEST(ExpectedTaps, BoardChainInDetectOrder) {
  EXPECT_EQ(text(jtag::tools::board_expected_taps()),
            "34a56093/ffffffff:6 24a56093/ffffffff:6 14a56093/ffffffff:6 4a56093/ffffffff:6 "
            "3bc0e06b/ffffffff:8 2bc0e06b/ffffffff:8 1bc0e06b/ffffffff:8 bc0e06b/ffffffff:8 ");
}

TEST(ExpectedTaps, DifferencesInTheirFixedForms) {
  const struct {
    std::string found, expected;
    std::vector<std::string> lines;
  } cases[] = {
      {"1ba00477:4", "0ba00477/0fffffff:4", {}},
      {"1:4 3:? 5:6", "1:5 3:6 5:6", {"TAP 0: IR length 4, expected 5", "TAP 1: IR length ambiguous, expected 6"}},
      {"bypass:4 1:4 3:3",
       "1:4 bypass:4 5/f:4",
       {"TAP 0: BYPASS, expected IDCODE 0x00000001", "TAP 1: IDCODE 0x00000001, expected BYPASS",
        "TAP 2: IDCODE 0x00000003, expected 0x00000005 (mask 0x0000000f)", "TAP 2: IR length 3, expected 4"}},
      {"1:4 5:4", "1:4 3:4 5:4", {"2 TAPs, 3 expected: TAP 1 (IDCODE 0x00000003) is missing"}},
      {"3:4", "bypass:2 3:4", {"1 TAP, 2 expected: TAP 0 (BYPASS) is missing"}},
      {"1:4 3:4", "1:4 3:4 5:4", {"2 TAPs, 3 expected: TAP 2 (IDCODE 0x00000005) is missing"}},
      {"1:4 3:4", "1:4 3:4 3:4", {"2 TAPs, 3 expected: TAP 1 (IDCODE 0x00000003) is missing"}},
      {"1:? 5:4",
       "1:4 3:4 5:4",
       {"2 TAPs, 3 expected: TAP 1 (IDCODE 0x00000003) is missing", "TAP 0: IR length ambiguous, expected 4"}},
      {"1:4 9:4", "1:4 3:4 5:4", {"2 TAPs, 3 expected", "TAP 1: IDCODE 0x00000009, expected 0x00000003"}},
      {"1:4 7:3 3:4", "1:4 3:4", {"3 TAPs, 2 expected: TAP 1 (IDCODE 0x00000007) is not expected"}},
      {"bypass:2 1:4 3:?",
       "1:4 3:4",
       {"3 TAPs, 2 expected: TAP 0 (BYPASS) is not expected", "TAP 2: IR length ambiguous, expected 4"}},
      {"1:4", "1:4 3:4 5:4", {"1 TAP, 3 expected"}},
      {"2:4 3:4 4:4 5:4", "1:4 3:4", {"4 TAPs, 2 expected", "TAP 0: IDCODE 0x00000002, expected 0x00000001"}},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(jtag::tools::compare_with_expected(found(c.found), jtag::tools::parse_expected_taps(c.expected)), c.lines)
        << c.found << " / " << c.expected;
  }
}

TEST(IdcodeFields, FieldsAndValidity) {
  const std::pair<uint32_t, std::string> cases[] = {
      {0x0bc0e06b, "version 0x0, part 0xbc0e, manufacturer JEP106 bank 1 code 0x35"},
      {0x4ba00477, "version 0x4, part 0xba00, manufacturer JEP106 bank 5 code 0x3b"},
      {0x0bc0e06a, "version 0x0, part 0xbc0e, manufacturer JEP106 bank 1 code 0x35, not a valid IDCODE"},
      {0x000000ff, "version 0x0, part 0x0000, manufacturer JEP106 bank 1 code 0x7f, not a valid IDCODE"},
      {0x000001ff, "version 0x0, part 0x0000, manufacturer JEP106 bank 2 code 0x7f"},
  };
  for (const auto &[idcode, fields] : cases) EXPECT_EQ(jtag::tools::idcode_fields(idcode), fields) << idcode;
}

}  // namespace
