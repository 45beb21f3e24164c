// The MPSSE command processor against AN108's definitions: which TDI and
// TMS levels each command clocks out and in what order, where each TDO
// sample lands in the answer byte, the 0xFA answer, loopback, reset pins.
#include "mpsse.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "rbb/rbb_protocol.h"

namespace ftdi_emu {
namespace {

// What the board saw of a batch: the TMS and TDI levels at each rising
// edge, the reset bytes, and the levels its TDO gave.
struct BoardView {
  std::string tms, tdi, resets;
  std::vector<uint8_t> answer;
};

// Plays a batch's bytes against a board whose TDO gives `tdo` in turn (0
// when it runs out), or, with `echo`, the TDI level of the last rising edge
// (a one-bit register between TDI and TDO).
BoardView play(const Batch &batch, const std::string &tdo, bool echo = false) {
  BoardView view;
  std::vector<bool> samples;
  bool tck = false;
  bool last_tdi = false;
  for (char byte : batch.wire) {
    if (const auto lines = jtag::rbb::lines_of(byte)) {
      if (lines->tck && !tck) {
        view.tms += lines->tms ? '1' : '0';
        view.tdi += lines->tdi ? '1' : '0';
        last_tdi = lines->tdi;
      }
      tck = lines->tck;
    } else if (byte == jtag::rbb::kReadTdo) {
      const std::size_t n = samples.size();
      samples.push_back(echo ? last_tdi : (n < tdo.size() && tdo[n] == '1'));
    } else {
      view.resets += byte;
    }
  }
  EXPECT_EQ(samples.size(), batch.samples);
  EXPECT_FALSE(tck) << "TCK is left high after a batch";
  view.answer = resolve_answer(batch, samples);
  return view;
}

BoardView run(Mpsse &mpsse, const std::vector<uint8_t> &bytes, const std::string &tdo = "", bool echo = false) {
  Batch batch;
  mpsse.feed(bytes, batch);
  return play(batch, tdo, echo);
}

struct ShiftCase {
  const char *name;
  std::vector<uint8_t> commands;
  std::string tdo;  // levels the board gives, in sample order
  std::string tms, tdi;
  std::vector<uint8_t> answer;
};

TEST(Mpsse, ShiftCommandsClockTheirBitsInAn108Order) {
  const std::vector<ShiftCase> cases = {
      {"0x19 bytes out, LSB first", {0x19, 0x00, 0x00, 0x1E}, "", "00000000", "01111000", {}},
      {"0x11 bytes out, MSB first", {0x11, 0x00, 0x00, 0x1E}, "", "00000000", "00011110", {}},
      {"0x19 two bytes", {0x19, 0x01, 0x00, 0x01, 0x80}, "", std::string(16, '0'), "1000000000000001", {}},
      {"0x1B three bits out, LSB first", {0x1B, 0x02, 0x05}, "", "000", "101", {}},
      {"0x13 three bits out, MSB first", {0x13, 0x02, 0xA0}, "", "000", "101", {}},
      {"0x39 bytes in/out, LSB first",
       {0x39, 0x01, 0x00, 0x00, 0xFF},
       "1000000001000000",
       std::string(16, '0'),
       "0000000011111111",
       {0x01, 0x02}},
      {"0x31 bytes in/out, MSB first", {0x31, 0x00, 0x00, 0x0F}, "10000001", "00000000", "00001111", {0x81}},
      {"0x3B three bits in/out, LSB first", {0x3B, 0x02, 0x00}, "110", "000", "000", {0x60}},
      {"0x33 three bits in/out, MSB first", {0x33, 0x02, 0x00}, "110", "000", "000", {0x06}},
      {"0x28 bytes in only, LSB first", {0x28, 0x00, 0x00}, "00000001", "00000000", "00000000", {0x80}},
      {"0x20 bytes in only, MSB first", {0x20, 0x00, 0x00}, "00000001", "00000000", "00000000", {0x01}},
      {"0x2A one bit in, LSB first", {0x2A, 0x00}, "1", "0", "0", {0x80}},
      {"0x22 one bit in, MSB first", {0x22, 0x00}, "1", "0", "0", {0x01}},
      {"0x4B TMS bits, bit 7 on TDI", {0x4B, 0x02, 0x83}, "", "110", "111", {}},
      {"0x4B six TMS bits to Run-Test/Idle", {0x4B, 0x05, 0x1F}, "", "111110", "000000", {}},
      {"0x6B TMS with TDO read", {0x6B, 0x01, 0x01}, "11", "10", "00", {0xC0}},
      {"0x6B one bit, TDI high", {0x6B, 0x00, 0x81}, "1", "1", "1", {0x80}},
      {"0x6A TMS read, +ve write", {0x6A, 0x02, 0x00}, "001", "000", "000", {0x80}},
      {"TMS pin held during a data shift", {0x80, 0x08, 0x0B, 0x1B, 0x01, 0x02}, "", "11", "01", {}},
      {"TDI keeps a TMS command's bit 7", {0x4B, 0x00, 0x80, 0x2A, 0x00}, "0", "00", "11", {0x00}},
      {"0x8E three clocks, no data", {0x8E, 0x02}, "", "000", "000", {}},
      {"0x8F eight clocks, no data", {0x8F, 0x00, 0x00}, "", "00000000", "00000000", {}},
      {"0x81 low byte: outputs, TDO, pulled-up inputs", {0x80, 0x08, 0x0B, 0x81}, "1", "", "", {0xFC}},
      {"0x81 with TDO low", {0x80, 0x08, 0x0B, 0x81}, "0", "", "", {0xF8}},
      {"0x83 high byte", {0x82, 0x05, 0x0F, 0x83}, "", "", "", {0xF5}},
      {"unknown command answers 0xFA and itself", {0xAB}, "", "", "", {0xFA, 0xAB}},
      {"0x87 and clock settings answer nothing",
       {0x8A, 0x8B, 0x8C, 0x8D, 0x96, 0x97, 0x86, 1, 0, 0x85, 0x87},
       "",
       "",
       "",
       {}},
  };
  for (const ShiftCase &c : cases) {
    Mpsse mpsse(-1, -1);
    const BoardView v = run(mpsse, c.commands, c.tdo);
    EXPECT_EQ(v.tms, c.tms) << c.name;
    EXPECT_EQ(v.tdi, c.tdi) << c.name;
    EXPECT_EQ(v.answer, c.answer) << c.name;
  }
}

// Read on the rising edge (0x39) sees TDO before the edge; read on the
// falling edge (0x3D) sees it after.  A one-bit register shows the
// difference: the first sample is the register's old value or the new bit.
TEST(Mpsse, ReadEdgeDecidesWhichSideOfTheRisingEdgeTdoIsSampled) {
  Mpsse rising(-1, -1);
  EXPECT_EQ(run(rising, {0x39, 0x00, 0x00, 0x01}, "", true).answer, (std::vector<uint8_t>{0x02}));
  Mpsse falling(-1, -1);
  EXPECT_EQ(run(falling, {0x3D, 0x00, 0x00, 0x01}, "", true).answer, (std::vector<uint8_t>{0x01}));
}

// A byte shift runs as its data bytes arrive; other commands once whole.
TEST(Mpsse, CommandSplitAcrossTransfersRunsAsItsBytesArrive) {
  Mpsse mpsse(-1, -1);
  const BoardView first = run(mpsse, {0x39, 0x01});
  EXPECT_EQ(first.tdi, "");
  EXPECT_TRUE(first.answer.empty());
  const BoardView second = run(mpsse, {0x00, 0x1E}, "00000000");
  EXPECT_EQ(second.tdi, "01111000");
  EXPECT_EQ(second.answer, (std::vector<uint8_t>{0x00}));
  const BoardView third = run(mpsse, {0x80, 0x4B}, "11111111");
  EXPECT_EQ(third.tdi, "00000001");
  EXPECT_EQ(third.answer, (std::vector<uint8_t>{0xFF}));
  EXPECT_EQ(mpsse.buffered(), 1u);  // 0x4B waits for its two bytes
  EXPECT_EQ(run(mpsse, {0x00}).tms, "");
  EXPECT_EQ(run(mpsse, {0x01}).tms, "1");
  mpsse.drop_partial();
  EXPECT_EQ(run(mpsse, {0x19, 0x00}).tdi, "");
  mpsse.drop_partial();
  EXPECT_EQ(run(mpsse, {0xAB}).answer, (std::vector<uint8_t>{0xFA, 0xAB}));
}

// The engine stops where the next answer would not fit the transmit
// buffer's room, and goes on from there when given more.
TEST(Mpsse, AnswersNeverExceedTheRoomGiven) {
  struct Case {
    const char *name;
    std::vector<uint8_t> commands;
    std::vector<std::size_t> rooms;    // one run() per room
    std::vector<std::size_t> answers;  // answer bytes after each run
    std::vector<std::size_t> buffered;
  };
  const std::vector<Case> cases = {
      {"0x39 byte by byte", {0x39, 0x03, 0x00, 1, 2, 3, 4}, {1, 0, 2, 9}, {1, 1, 3, 4}, {3, 3, 1, 0}},
      {"0x28 reads need no data bytes", {0x28, 0x04, 0x00}, {2, 3, 1}, {2, 5, 5}, {0, 0, 0}},
      {"0x19 writes need no room", {0x19, 0x02, 0x00, 1, 2, 3, 0x81}, {0, 1}, {0, 1}, {1, 0}},
      {"0x81 waits whole", {0x81, 0x83}, {0, 1, 1}, {0, 1, 2}, {2, 1, 0}},
      {"0x6B waits whole", {0x6B, 0x00, 0x01}, {0, 1}, {0, 1}, {3, 0}},
      {"a bad command needs two", {0xAB}, {1, 2}, {0, 2}, {1, 0}},
  };
  for (const Case &c : cases) {
    Mpsse mpsse(-1, -1);
    mpsse.receive(c.commands);
    Batch batch;
    for (std::size_t i = 0; i < c.rooms.size(); ++i) {
      const std::size_t before = batch.answer.size();
      mpsse.run(c.rooms[i], batch);
      EXPECT_LE(batch.answer.size() - before, c.rooms[i]) << c.name << " run " << i;
      EXPECT_EQ(batch.answer.size(), c.answers[i]) << c.name << " run " << i;
      EXPECT_EQ(mpsse.buffered(), c.buffered[i]) << c.name << " run " << i;
    }
  }
}

// Fed in parts and held back by the room, a shift clocks the same bits as
// when run whole.
TEST(Mpsse, ByteShiftInPartsClocksWhatItWouldWhole) {
  std::vector<uint8_t> commands = {0x39, 0x09, 0x00};
  for (uint8_t b = 0; b < 10; ++b) commands.push_back(uint8_t(0x1F * b + 3));
  Mpsse whole(-1, -1);
  const BoardView all = run(whole, commands, std::string(80, '1'));
  Mpsse parts(-1, -1);
  Batch batch;
  for (std::size_t at = 0; at < commands.size(); at += 4) {
    parts.receive(std::span<const uint8_t>(commands).subspan(at, std::min<std::size_t>(4, commands.size() - at)));
    parts.run(2, batch);
  }
  parts.run(100, batch);
  const BoardView view = play(batch, std::string(80, '1'));
  EXPECT_EQ(view.tdi, all.tdi);
  EXPECT_EQ(view.answer, all.answer);
  EXPECT_EQ(view.answer.size(), 10u);
}

TEST(Mpsse, LoopbackAnswersTdiWithoutClockingTheBoard) {
  Mpsse mpsse(-1, -1);
  const BoardView v = run(mpsse, {0x84, 0x39, 0x00, 0x00, 0x5A, 0x85, 0x2A, 0x00}, "1");
  EXPECT_EQ(v.tdi, "0");  // only the shift after loopback was turned off
  EXPECT_EQ(v.answer, (std::vector<uint8_t>{0x5A, 0x80}));
  EXPECT_FALSE(mpsse.clock().loopback);
}

TEST(Mpsse, InjectedBadCommandCountsCommandBytesNotParameters) {
  Mpsse mpsse(-1, -1);
  mpsse.set_bad_command_at(3);
  // 0x86 and its two bytes are command 1, 0x87 is 2, 0x85 is 3.
  const BoardView v = run(mpsse, {0x86, 0x87, 0x85, 0x87, 0x85});
  EXPECT_EQ(v.answer, (std::vector<uint8_t>{0xFA, 0x85}));
  EXPECT_EQ(mpsse.bad_commands(), 1u);
  EXPECT_EQ(mpsse.clock().divisor, 0x8587);
}

TEST(Mpsse, ClockSettingsAreRecorded) {
  Mpsse mpsse(-1, -1);
  run(mpsse, {0x8A, 0x8C, 0x96, 0x86, 0x34, 0x12});
  EXPECT_FALSE(mpsse.clock().divide_by_5);
  EXPECT_TRUE(mpsse.clock().three_phase);
  EXPECT_TRUE(mpsse.clock().adaptive);
  EXPECT_EQ(mpsse.clock().divisor, 0x1234);
}

TEST(Mpsse, ResetPinsAreForwardedWhileDrivenLow) {
  struct Case {
    const char *name;
    std::vector<uint8_t> commands;
    std::string resets;
  };
  const std::vector<Case> cases = {
      {"TRST output low, then high", {0x80, 0x00, 0x10, 0x80, 0x10, 0x10}, "tr"},
      {"TRST low but an input: not asserted", {0x80, 0x00, 0x00}, ""},
      {"SRST on ACBUS1", {0x82, 0x00, 0x02, 0x82, 0x02, 0x02}, "sr"},
      {"both, one after the other", {0x80, 0x00, 0x10, 0x82, 0x00, 0x02, 0x80, 0x10, 0x10}, "tus"},
      {"no change, no byte", {0x80, 0x10, 0x10, 0x80, 0x18, 0x10}, ""},
  };
  for (const Case &c : cases) {
    Mpsse mpsse(4, 9);
    EXPECT_EQ(run(mpsse, c.commands).resets, c.resets) << c.name;
  }
}

}  // namespace
}  // namespace ftdi_emu
