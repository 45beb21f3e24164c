// The MPSSE bytes of the FTDI backend, written out by hand from FTDI's
// command set (AN108): shifts split into whole bytes, bits and the last bit
// on a TMS command; TMS moves gathered; TDO taken from the right bits of the
// answers; writes cut to size, send-immediate where answers are owed.
#include "backends/ftdi/mpsse_encoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "backends/ftdi/ftdi_options.h"
#include "base/error.h"

namespace {

using jtag::BitVector;
using jtag::ftdi::AnswerError;
using jtag::ftdi::MpsseEncoder;
using jtag::ftdi::TdoDecoder;
using Bytes = std::vector<uint8_t>;

BitVector bits_of(uint64_t value, size_t size) { return BitVector::from_u64(value, size); }

BitVector pattern(size_t size) {
  BitVector v(size);
  for (size_t i = 0; i < size; ++i) v.set(i, ((i * 7) % 5) < 2);
  return v;
}

TEST(MpsseEncoder, ShiftIsBytesThenBitsThenTheLastBitOnTms) {
  const struct {
    size_t size;
    uint64_t value;
    bool read;
    Bytes want;
    size_t answers;
  } rows[] = {
      {0, 0, true, {}, 0},
      {1, 1, false, {0x4B, 0x00, 0x81}, 0},
      {1, 0, true, {0x6B, 0x00, 0x01}, 1},
      {2, 0b10, false, {0x1B, 0x00, 0x00, 0x4B, 0x00, 0x81}, 0},
      {8, 0x5A, false, {0x1B, 0x06, 0x5A, 0x4B, 0x00, 0x01}, 0},
      {9, 0x1A5, true, {0x39, 0x00, 0x00, 0xA5, 0x6B, 0x00, 0x81}, 2},
      {20, 0xA5C3F, false, {0x19, 0x01, 0x00, 0x3F, 0x5C, 0x1B, 0x02, 0x02, 0x4B, 0x00, 0x81}, 0},
      {20, 0xA5C3F, true, {0x39, 0x01, 0x00, 0x3F, 0x5C, 0x3B, 0x02, 0x02, 0x6B, 0x00, 0x81}, 4},
  };
  for (const auto &r : rows) {
    TdoDecoder decoder;
    MpsseEncoder encoder(decoder);
    encoder.shift(bits_of(r.value, r.size), r.read);
    EXPECT_EQ(encoder.pending(), r.want) << r.size << " bits";
    EXPECT_EQ(decoder.awaited(), r.answers) << r.size << " bits";
  }
}

TEST(MpsseEncoder, LongShiftsUseWholeByteCommandsOf64KiB) {
  TdoDecoder decoder;
  MpsseEncoder encoder(decoder);
  const size_t bytes = 65536 + 2;
  encoder.shift(pattern(bytes * 8 + 1), false);
  const Bytes &out = encoder.pending();
  ASSERT_EQ(out.size(), 3 + 65536 + 3 + 2 + 3);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 3), (Bytes{0x19, 0xFF, 0xFF}));
  EXPECT_EQ(Bytes(out.begin() + 3 + 65536, out.begin() + 3 + 65536 + 3), (Bytes{0x19, 0x01, 0x00}));
  EXPECT_EQ(out[out.size() - 3], 0x4B);
}

TEST(MpsseEncoder, TmsMovesShareACommandWhileTdiHolds) {
  const struct {
    const char *name;
    std::vector<std::pair<bool, bool>> moves;  // (tms, tdi)
    Bytes want;
  } rows[] = {
      {"reset", {{1, 0}, {1, 0}, {1, 0}, {1, 0}, {1, 0}}, {0x4B, 0x04, 0x1F}},
      {"to Shift-DR", {{0, 1}, {1, 1}, {0, 1}, {0, 1}}, {0x4B, 0x03, 0x82}},
      {"eight moves",
       {{1, 0}, {1, 0}, {1, 0}, {1, 0}, {1, 0}, {1, 0}, {1, 0}, {0, 0}},
       {0x4B, 0x06, 0x7F, 0x4B, 0x00, 0x00}},
      {"TDI changes", {{1, 0}, {0, 1}}, {0x4B, 0x00, 0x01, 0x4B, 0x00, 0x80}},
  };
  for (const auto &r : rows) {
    TdoDecoder decoder;
    MpsseEncoder encoder(decoder);
    for (const auto &[tms, tdi] : r.moves) encoder.tms(tms, tdi, false);
    EXPECT_EQ(encoder.pending(), r.want) << r.name;
    EXPECT_EQ(decoder.awaited(), 0U) << r.name;
  }
}

TEST(MpsseEncoder, ReadMoveAndCommandsEndAGatheredMove) {
  TdoDecoder decoder;
  MpsseEncoder encoder(decoder);
  encoder.tms(true, false, false);
  encoder.tms(false, false, true);  // a read: its own command
  encoder.tms(true, false, false);
  encoder.command({0x80, 0x08, 0x0B});
  encoder.tms(true, false, false);  // after a command: a new one
  EXPECT_EQ(encoder.pending(),
            (Bytes{0x4B, 0x00, 0x01, 0x6B, 0x00, 0x00, 0x4B, 0x00, 0x01, 0x80, 0x08, 0x0B, 0x4B, 0x00, 0x01}));
  EXPECT_EQ(decoder.awaited(), 1U);
}

// Bit reads come back in the top bits of their byte: n bits in bits 8-n..7.
TEST(TdoDecoder, TakesTdoFromTheBitsTheChipShiftsIn) {
  TdoDecoder decoder;
  MpsseEncoder encoder(decoder);
  encoder.shift(bits_of(0, 20), true);  // 2 bytes, 3 bits, 1 TMS bit
  const Bytes answers{0x12, 0x34, 0b10100000, 0x80};
  decoder.feed(answers.data(), 2);
  EXPECT_EQ(decoder.bits_ready(), 16U);
  decoder.feed(answers.data() + 2, 2);
  EXPECT_EQ(decoder.awaited(), 0U);
  EXPECT_EQ(decoder.take_back(20).to_u64(), 0x3412U | (0b101U << 16) | (1U << 19));
}

TEST(TdoDecoder, OldestAndNewestBitsAreTakenApart) {
  TdoDecoder decoder;
  MpsseEncoder encoder(decoder);
  encoder.shift(bits_of(0, 9), true);
  encoder.tms(false, false, true);
  const Bytes answers{0xC3, 0x7F, 0x80};
  decoder.feed(answers.data(), answers.size());
  EXPECT_EQ(decoder.take_back(1).to_u64(), 1U);
  EXPECT_EQ(decoder.take_front(9).to_u64(), 0xC3U);
  EXPECT_THROW(decoder.take_front(1), AnswerError);
}

std::string refusal(const Bytes &answers) {
  TdoDecoder decoder;
  MpsseEncoder encoder(decoder);
  encoder.shift(bits_of(0, 9), true);  // answers: one byte, one top bit
  encoder.echo();                      // then 0xFA 0xAA
  try {
    decoder.feed(answers.data(), answers.size());
  } catch (const AnswerError &e) {
    return e.what();
  }
  return "(accepted)";
}

TEST(TdoDecoder, ARefusedCommandOrAnAnswerOutOfStepIsSaid) {
  const struct {
    Bytes answers;
    std::string want;
  } rows[] = {
      {{0x00, 0x80, 0xFA, 0xAA}, "(accepted)"},
      {{0xFA, 0x80, 0xFA, 0xAA}, "(accepted)"},  // a TDO byte 0xFA is data
      {{0xFA, 0x19, 0x00, 0x80}, "the probe refused command 0x19 (answered 0xfa 0x19)"},
      {{0x00, 0x80, 0xFA, 0x8A}, "the probe refused command 0x8a (answered 0xfa 0x8a)"},
      {{0x00, 0x80, 0xFA, 0xAA, 0x00},
       "the probe's answers are out of step with the commands sent (0x00 where none or another was due)"},
      {{0x00, 0x80, 0x55},
       "the probe's answers are out of step with the commands sent (0x55 where none or another "
       "was due)"},
  };
  for (const auto &r : rows) EXPECT_EQ(refusal(r.answers), r.want);
}

// Everything pending in writes of at most `write` bytes (one more for the
// closing 0x87), as the backend makes them.
std::vector<Bytes> writes_of(MpsseEncoder &encoder, size_t write) {
  std::vector<Bytes> writes;
  while (encoder.pending_size() > 0 && writes.size() < 10000) writes.push_back(encoder.take_write(write));
  return writes;
}

TEST(MpsseEncoder, AMegabitShiftGoesInWritesOf64KiBWithOneSendImmediateAtTheEnd) {
  for (const bool read : {false, true}) {
    TdoDecoder decoder;
    MpsseEncoder encoder(decoder);
    const size_t n = size_t(1) << 20;
    encoder.shift(pattern(n), read);
    const size_t answers = read ? (n - 1) / 8 + 2 : 0;  // bytes, the bits left, the last bit
    EXPECT_EQ(encoder.pending_answers(), answers);
    const Bytes all = encoder.pending();
    const auto writes = writes_of(encoder, 65536);
    ASSERT_EQ(writes.size(), (all.size() + 65535) / 65536) << "read " << read;
    Bytes joined;
    for (size_t i = 0; i < writes.size(); ++i) {
      const bool last = i + 1 == writes.size();
      EXPECT_EQ(writes[i].size(), last ? all.size() % 65536 + (read ? 1 : 0) : 65536U) << i;
      joined.insert(joined.end(), writes[i].begin(), writes[i].end() - (last && read ? 1 : 0));
    }
    EXPECT_EQ(writes.back().back() == 0x87, read) << "send immediate only when answers are owed";
    EXPECT_EQ(joined, all) << "read " << read;
    EXPECT_EQ(encoder.in_flight(), answers);
  }
}

// A write may end inside a command, the chip takes the rest from the next
// one; the answers of the data written so far are in flight at once.
TEST(MpsseEncoder, AWriteMayCutACommandAndTheAnswersOfItsDataAreInFlight) {
  TdoDecoder decoder;
  MpsseEncoder encoder(decoder);
  encoder.command({0x85});
  encoder.shift(pattern(8 * 300 + 1), true);  // 0x39 with 300 data bytes, then 0x6B
  encoder.echo();
  EXPECT_EQ(encoder.pending_answers(), 303U);
  const Bytes first = encoder.take_write(100);
  EXPECT_EQ(Bytes(first.begin(), first.begin() + 4), (Bytes{0x85, 0x39, 0x2B, 0x01}));
  EXPECT_EQ(first.size(), 100U);  // no 0x87 inside the data
  EXPECT_EQ(encoder.in_flight(), 96U);
  const Bytes rest = encoder.take_write(4096);
  ASSERT_EQ(rest.size(), 204 + 3 + 1 + 1U);
  EXPECT_EQ(rest[rest.size() - 2], 0xAA);
  EXPECT_EQ(rest.back(), 0x87);
  EXPECT_EQ(encoder.pending_size(), 0U);
  EXPECT_EQ(encoder.in_flight(), 303U);
}

// Answers owed from an earlier write are sent at once when the stream
// runs out, even if the last write asks none of its own.
TEST(MpsseEncoder, TheWriteThatEmptiesTheStreamEndsWithSendImmediateWhileAnswersAreOwed) {
  TdoDecoder decoder;
  MpsseEncoder encoder(decoder);
  encoder.tms(false, false, true);             // 0x6B 0x00 0x00
  encoder.shift(pattern(8 * 200 + 1), false);  // 0x19 with 200 bytes
  const Bytes w = encoder.take_write(100);
  EXPECT_EQ(Bytes(w.begin(), w.begin() + 4), (Bytes{0x6B, 0x00, 0x00, 0x19}));
  EXPECT_EQ(w.size(), 100U);
  const Bytes rest = encoder.take_write(4096);
  EXPECT_EQ(rest.back(), 0x87);
  const Bytes answer{0x80};
  decoder.feed(answer.data(), answer.size());
  encoder.tms(true, false, false);
  EXPECT_EQ(encoder.take_write(4096), (Bytes{0x4B, 0x00, 0x01}));  // nothing owed: no 0x87
}

TEST(MpsseEncoder, LongReadsUseWholeByteCommandsOf64KiB) {
  TdoDecoder decoder;
  MpsseEncoder encoder(decoder);
  encoder.shift(pattern(8 * (65536 + 10) + 1), true);
  Bytes headers;
  const Bytes &out = encoder.pending();
  for (size_t at = 0; at < out.size() && out[at] == 0x39;) {
    headers.push_back(out[at + 1]);
    headers.push_back(out[at + 2]);
    at += 3 + (size_t(out[at + 1]) | size_t(out[at + 2]) << 8) + 1;
  }
  EXPECT_EQ(headers, (Bytes{0xFF, 0xFF, 0x09, 0x00}));
}

TEST(MpsseEncoder, AWriteWithoutReadsHasNoSendImmediate) {
  TdoDecoder decoder;
  MpsseEncoder encoder(decoder);
  encoder.shift(pattern(100), false);
  encoder.tms(false, false, false);  // joins the last bit's TMS command: TDI is low on both
  const Bytes w = encoder.take_write(4096);
  EXPECT_NE(w.back(), 0x87);
  EXPECT_EQ(w.size(), 3 + 12 + 3 + 3U);
  EXPECT_EQ(Bytes(w.end() - 3, w.end()), (Bytes{0x4B, 0x01, 0x01}));
}

TEST(FtdiOptions, TckDivisorIsNeverFasterThanAsked) {
  const struct {
    unsigned khz, max, want;
  } rows[] = {
      {1000, 30000, 29}, {30000, 30000, 0}, {15000, 30000, 1}, {7000, 30000, 4}, {1, 30000, 29999},
      {6000, 6000, 0},   {4000, 6000, 1},   {2000, 6000, 2},   {1, 6000, 5999},
  };
  for (const auto &r : rows) {
    EXPECT_EQ(jtag::ftdi::tck_divisor(r.khz, r.max), r.want) << r.khz << " of " << r.max;
    EXPECT_LE(r.max / (1 + r.want), r.khz);
  }
}

std::string options_refusal(const std::string &value) {
  try {
    jtag::ftdi::read_ftdi_options(jtag::BackendArguments(value, "ftdi", jtag::ftdi::kKeys));
  } catch (const jtag::PlatformError &e) {
    return e.what();
  }
  return "(accepted)";
}

TEST(FtdiOptions, KeysAndTheirValues) {
  const auto o = jtag::ftdi::read_ftdi_options(jtag::BackendArguments(
      "ftdi:vid=0x403,pid=6014,serial=FT1 x,channel=b,khz=6000,trst=4,srst=15", "ftdi", jtag::ftdi::kKeys));
  EXPECT_EQ(o.vid, 0x403);
  EXPECT_EQ(o.pid, 0x6014);
  EXPECT_EQ(o.serial, "FT1 x");
  EXPECT_EQ(o.channel, 1U);
  EXPECT_EQ(o.khz, 6000U);
  EXPECT_EQ(o.trst, 4U);
  EXPECT_EQ(o.srst, 15U);
  const auto d = jtag::ftdi::read_ftdi_options(jtag::BackendArguments("ftdi", "ftdi", jtag::ftdi::kKeys));
  EXPECT_EQ(d.vid, 0x0403);
  EXPECT_EQ(d.pid, 0x6010);
  EXPECT_EQ(d.channel, 0U);
  EXPECT_EQ(d.khz, 1000U);
  EXPECT_FALSE(d.trst.has_value());
  EXPECT_EQ(jtag::ftdi::record_name(d, ""), "ftdi-0403-6010-no-serial-A");
  EXPECT_EQ(jtag::ftdi::record_name(o, "FT1 x"), "ftdi-0403-6014-FT1 x-B");
  const struct {
    std::string value, error;
  } rows[] = {
      {"ftdi:khz=0", "JTAG_PLATFORM=ftdi:khz=0: bad value '0' for khz (1..30000)"},
      {"ftdi:khz=30001", "JTAG_PLATFORM=ftdi:khz=30001: bad value '30001' for khz (1..30000)"},
      {"ftdi:channel=E", "JTAG_PLATFORM=ftdi:channel=E: bad value 'E' for channel (A, B, C or D)"},
      {"ftdi:channel=AB", "JTAG_PLATFORM=ftdi:channel=AB: bad value 'AB' for channel (A, B, C or D)"},
      {"ftdi:trst=3",
       "JTAG_PLATFORM=ftdi:trst=3: bad value '3' for trst (4..15: ADBUS4-7, then ACBUS0-7 as 8-15; "
       "0-3 carry TCK, TDI, TDO, TMS)"},
      {"ftdi:srst=16",
       "JTAG_PLATFORM=ftdi:srst=16: bad value '16' for srst (4..15: ADBUS4-7, then ACBUS0-7 as "
       "8-15; 0-3 carry TCK, TDI, TDO, TMS)"},
      {"ftdi:trst=x4",
       "JTAG_PLATFORM=ftdi:trst=x4: bad value 'x4' for trst (4..15: ADBUS4-7, then ACBUS0-7 as "
       "8-15; 0-3 carry TCK, TDI, TDO, TMS)"},
      {"ftdi:trst=5,srst=5", "JTAG_PLATFORM=ftdi:trst=5,srst=5: bad value '5' for srst (a pin other than trst's)"},
      {"ftdi:pid=6010a", "JTAG_PLATFORM=ftdi:pid=6010a: bad value '6010a' for pid (hexadecimal 0..ffff)"},
      {"ftdi:speed=1",
       "JTAG_PLATFORM=ftdi:speed=1: unknown key 'speed' (ftdi takes serial, channel, khz, vid, pid, "
       "trst, srst)"},
      {"ftdi:FT1:B", "(accepted)"},
  };
  for (const auto &r : rows) EXPECT_EQ(options_refusal(r.value), r.error) << r.value;
}

}  // namespace
