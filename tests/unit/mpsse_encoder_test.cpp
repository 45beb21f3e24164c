// The FTDI backend's MPSSE bytes, written out by hand from FTDI's command set
// (AN108), the TDO taken from its answers, and its options.
#include "backends/ftdi/mpsse_encoder.h"

#include <gtest/gtest.h>

#include "backends/ftdi/ftdi_options.h"
#include "base/error.h"

namespace {

using jtag::BitVector;
using jtag::ftdi::MpsseEncoder;
using jtag::ftdi::TdoDecoder;
using Bytes = std::vector<uint8_t>;

// A shift: whole bytes (0x19/0x39), bits (0x1B/0x3B), the last bit on a TMS
// command (0x4B/0x6B) with TDI in bit 7.  TMS moves ('0'/'1' TDI low, 'o'/'i'
// high, 'r' read) share a command of up to 7 while TDI holds; 'c' a command.
TEST(MpsseEncoder, BytesOfShiftsAndTmsMoves) {
  const struct {
    size_t size;
    uint64_t value;
    const char *moves;
    Bytes want;
    size_t answers;
  } rows[] = {
      {1, 1, "", {0x4B, 0x00, 0x81}, 0},
      {8, 0x5A, "", {0x1B, 0x06, 0x5A, 0x4B, 0x00, 0x01}, 0},
      {9, 0x1A5, "", {0x39, 0x00, 0x00, 0xA5, 0x6B, 0x00, 0x81}, 2},
      {20, 0xA5C3F, "", {0x39, 0x01, 0x00, 0x3F, 0x5C, 0x3B, 0x02, 0x02, 0x6B, 0x00, 0x81}, 4},
      {0, 0, "11111", {0x4B, 0x04, 0x1F}, 0},
      {0, 0, "oioo", {0x4B, 0x03, 0x82}, 0},
      {0, 0, "11111110", {0x4B, 0x06, 0x7F, 0x4B, 0x00, 0x00}, 0},
      {0, 0, "1i", {0x4B, 0x00, 0x01, 0x4B, 0x00, 0x81}, 0},
      {0, 0, "1r1", {0x4B, 0x00, 0x01, 0x6B, 0x00, 0x00, 0x4B, 0x00, 0x01}, 1},
      {0, 0, "1c1", {0x4B, 0x00, 0x01, 0x80, 0x08, 0x0B, 0x4B, 0x00, 0x01}, 0},
  };
  for (const auto &r : rows) {
    TdoDecoder decoder;
    MpsseEncoder encoder(decoder);
    encoder.shift(BitVector::from_u64(r.value, r.size), r.answers > 0);  // a read where answers are due
    for (const char *m = r.moves; *m != '\0'; ++m)
      if (*m == 'c')
        encoder.command({0x80, 0x08, 0x0B});
      else
        encoder.tms(*m == '1' || *m == 'i', *m == 'o' || *m == 'i', *m == 'r');
    EXPECT_EQ(encoder.pending(), r.want) << r.size << " bits, moves " << r.moves;
    EXPECT_EQ(decoder.awaited(), r.answers) << r.size << " bits, moves " << r.moves;
  }
}

// A bit read of n bits answers in bits 8-n..7; the oldest and newest bits are
// taken apart; a refusal (0xFA, command) or an answer out of step is said.
TEST(TdoDecoder, TakesTdoFromTheBitsTheChipShiftsIn) {
  TdoDecoder decoder;
  MpsseEncoder encoder(decoder);
  encoder.shift(BitVector(20), true);  // 2 bytes, 3 bits, 1 TMS bit
  encoder.tms(false, false, true);
  const Bytes answers{0x12, 0x34, 0b10100000, 0x80, 0x00};
  decoder.feed(answers.data(), 2);
  EXPECT_EQ(decoder.bits_ready(), 16U);
  decoder.feed(answers.data() + 2, 3);
  EXPECT_EQ(decoder.take_back(1).to_u64(), 0U);
  EXPECT_EQ(decoder.take_front(20).to_u64(), 0x3412U | (0b101U << 16) | (1U << 19));
  EXPECT_THROW(decoder.take_front(1), jtag::ftdi::AnswerError);
  const auto said = [](const Bytes &bytes) {  // after a byte and a top bit, the echo 0xFA 0xAA
    TdoDecoder d;
    MpsseEncoder e(d);
    e.shift(BitVector(9), true);
    e.echo();
    try {
      d.feed(bytes.data(), bytes.size());
    } catch (const jtag::ftdi::AnswerError &error) {
      return std::string(error.what());
    }
    return std::string("(taken)");
  };
  EXPECT_EQ(said({0xFA, 0x80, 0xFA, 0xAA}), "(taken)");  // a TDO byte 0xFA is data
  EXPECT_EQ(said({0xFA, 0x19, 0x00, 0x80}), "the probe refused command 0x19 (answered 0xfa 0x19)");
  EXPECT_EQ(said({0x00, 0x80, 0xFA, 0xAA, 0x00}),
            "the probe's answers are out of step with the commands sent (0x00 where none or another was due)");
}

// Commands of at most 64 KiB; writes cut anywhere, the answers of what was
// written in flight; 0x87 ends the write that empties the stream if answers are owed.
TEST(MpsseEncoder, LongShiftsGoInCommandsOf64KiBAndWritesCutToSize) {
  for (const bool read : {false, true}) {
    TdoDecoder decoder;
    MpsseEncoder encoder(decoder);
    encoder.shift(BitVector(8 * (65536 + 10) + 1, true), read);
    const Bytes all = encoder.pending();
    const uint8_t bytes = read ? 0x39 : 0x19;
    ASSERT_EQ(all.size(), 3 + 65536 + 3 + 10 + 3U);
    EXPECT_EQ(Bytes(all.begin(), all.begin() + 3), (Bytes{bytes, 0xFF, 0xFF}));
    EXPECT_EQ(Bytes(all.begin() + 65539, all.begin() + 65542), (Bytes{bytes, 0x09, 0x00}));
    EXPECT_EQ(encoder.take_write(100).size(), 100U);
    EXPECT_EQ(encoder.in_flight(), read ? 97U : 0U);
    const Bytes rest = encoder.take_write(1 << 20);
    EXPECT_EQ(rest.size(), all.size() - 100 + (read ? 1 : 0));
    EXPECT_EQ(rest.back() == 0x87, read) << "read " << read;
    encoder.tms(true, false, false);
    EXPECT_EQ(encoder.take_write(4096), (read ? Bytes{0x4B, 0x00, 0x01, 0x87} : Bytes{0x4B, 0x00, 0x01}));
  }
}

TEST(FtdiOptions, KeysAndTheTckDivisor) {
  const struct {
    double hz;
    unsigned max_khz, want;
  } rows[] = {{1e6, 30000, 29}, {999999, 30000, 30}, {7e6, 30000, 4},  {100e6, 30000, 0},
              {4e6, 6000, 1},   {1e3, 6000, 5999},   {1, 30000, 65535}};
  for (const auto &[hz, max, want] : rows) {
    EXPECT_EQ(jtag::ftdi::tck_divisor(hz, max), want) << hz << " of " << max;
    if (want < 65535) {
      EXPECT_LE(max * 1e3 / (1 + want), hz) << "never faster than asked";
    }
  }
  const auto options = [](const char *value) {
    return jtag::ftdi::read_ftdi_options(jtag::BackendArguments(value, "ftdi", jtag::ftdi::kKeys));
  };
  const auto o = options("ftdi:vid=0x403,pid=6014,serial=FT1 x,channel=b,khz=6000,trst=4,srst=15");
  EXPECT_EQ(std::make_tuple(o.serial, o.khz, *o.trst, *o.srst), std::make_tuple("FT1 x", 6000U, 4U, 15U));
  EXPECT_EQ(jtag::ftdi::record_name(o, "FT1 x"), "ftdi-0403-6014-FT1 x-B");
  EXPECT_EQ(jtag::ftdi::record_name({}, ""), "ftdi-0403-6010-no-serial-A");
  for (const char *bad : {"ftdi:trst=5,srst=5", "ftdi:khz=0"}) EXPECT_THROW(options(bad), jtag::PlatformError) << bad;
}

}  // namespace
