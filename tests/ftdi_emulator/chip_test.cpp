// The emulated FT2232H against FTDI's AN108 and the FT2232H datasheet: what
// each MPSSE command clocks and answers, MPSSE only in MPSSE mode on channel
// A, and the 4 KiB buffers holding OUT transfers back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ftdi_chip.h"
#include "protocols/rbb_protocol.h"

namespace ftdi_emu {
namespace {

using Bytes = std::vector<uint8_t>;

struct BoardView {
  std::string tms, tdi, resets;
  Bytes answer;
};

// Runs `bytes` and what the board saw: TMS and TDI at each rising edge, the
// reset bytes and TCK rate requests, and the answer, its TDO giving `tdo` in turn (0 past its end)
// or, with `echo`, the TDI of the last rising edge (a one-bit register).
BoardView run(Mpsse &mpsse, const Bytes &bytes, const std::string &tdo = "", bool echo = false) {
  Batch batch;
  mpsse.receive(bytes);
  mpsse.run(SIZE_MAX, batch);
  BoardView view;
  std::vector<bool> samples;
  bool tck = false;
  for (std::size_t at = 0; at < batch.wire.size(); ++at) {
    const char byte = batch.wire[at];
    if (byte == jtag::rbb::kTckRate) {
      view.resets += batch.wire.substr(at, 1 + jtag::rbb::kTckRateDigits);
      at += jtag::rbb::kTckRateDigits;
    } else if (const auto lines = jtag::rbb::lines_of(byte)) {
      if (lines->tck && !tck) {
        view.tms += lines->tms ? '1' : '0';
        view.tdi += lines->tdi ? '1' : '0';
      }
      tck = lines->tck;
    } else if (byte == jtag::rbb::kReadTdo) {
      const std::size_t n = samples.size();
      samples.push_back(echo ? !view.tdi.empty() && view.tdi.back() == '1' : n < tdo.size() && tdo[n] == '1');
    } else {
      view.resets += byte;
    }
  }
  EXPECT_EQ(samples.size(), batch.samples);
  EXPECT_FALSE(tck) << "TCK is left high after a batch";
  view.answer = resolve_answer(batch, samples);
  return view;
}

// TRST on ADBUS4, SRST on ACBUS1 (pin 9), each asserted while driven low.
TEST(Mpsse, CommandsClockAndAnswerAsAn108Says) {
  const struct {
    const char *name;
    Bytes commands;
    std::string tdo, tms, tdi;
    Bytes answer;
    std::string resets{};
    bool echo = false;
  } cases[] = {
      {"0x19 bytes out, LSB first", {0x19, 0x00, 0x00, 0x1E}, "", "00000000", "01111000", {}},
      {"0x11 bytes out, MSB first", {0x11, 0x00, 0x00, 0x1E}, "", "00000000", "00011110", {}},
      {"0x1B three bits out, LSB first", {0x1B, 0x02, 0x05}, "", "000", "101", {}},
      {"0x13 three bits out, MSB first", {0x13, 0x02, 0xA0}, "", "000", "101", {}},
      {"0x39 bytes in/out, LSB first", {0x39, 0x00, 0x00, 0xF0}, "10000010", "00000000", "00001111", {0x41}},
      {"0x31 bytes in/out, MSB first", {0x31, 0x00, 0x00, 0x0F}, "10000001", "00000000", "00001111", {0x81}},
      {"0x3B three bits in/out, LSB first", {0x3B, 0x02, 0x00}, "110", "000", "000", {0x60}},
      {"0x33 three bits in/out, MSB first", {0x33, 0x02, 0x00}, "110", "000", "000", {0x06}},
      {"0x28 bytes in only, LSB first", {0x28, 0x00, 0x00}, "00000001", "00000000", "00000000", {0x80}},
      {"0x20 bytes in only, MSB first", {0x20, 0x00, 0x00}, "00000001", "00000000", "00000000", {0x01}},
      {"0x2A one bit in, LSB first", {0x2A, 0x00}, "1", "0", "0", {0x80}},
      {"0x22 one bit in, MSB first", {0x22, 0x00}, "1", "0", "0", {0x01}},
      {"0x39 reads TDO before the rising edge", {0x39, 0x00, 0x00, 0x01}, "", "00000000", "10000000", {0x02}, "", true},
      {"0x3D reads it after", {0x3D, 0x00, 0x00, 0x01}, "", "00000000", "10000000", {0x01}, "", true},
      {"0x4B TMS bits, bit 7 on TDI", {0x4B, 0x02, 0x83}, "", "110", "111", {}},
      {"0x6B TMS with TDO read", {0x6B, 0x01, 0x01}, "11", "10", "00", {0xC0}},
      {"0x6B one bit, TDI high", {0x6B, 0x00, 0x81}, "1", "1", "1", {0x80}},
      {"TMS pin held during a data shift", {0x80, 0x08, 0x0B, 0x1B, 0x01, 0x02}, "", "11", "01", {}},
      {"TDI keeps a TMS command's bit 7", {0x4B, 0x00, 0x80, 0x2A, 0x00}, "0", "00", "11", {0x00}},
      {"0x8E three clocks, no data", {0x8E, 0x02}, "", "000", "000", {}},
      {"0x8F eight clocks, no data", {0x8F, 0x00, 0x00}, "", "00000000", "00000000", {}},
      {"0x81: outputs, TDO, pulled-up inputs", {0x80, 0x08, 0x0B, 0x81}, "1", "", "", {0xFC}},
      {"0x81 with TDO low", {0x80, 0x08, 0x0B, 0x81}, "0", "", "", {0xF8}},
      {"0x83 high byte, SRST driven low", {0x82, 0x05, 0x0F, 0x83}, "", "", "", {0xF5}, "s"},
      {"0x84 loopback: TDI answers, no board", {0x84, 0x39, 0, 0, 0x5A, 0x85, 0x2A, 0}, "1", "0", "0", {0x5A, 0x80}},
      {"unknown command answers 0xFA and itself", {0xAB}, "", "", "", {0xFA, 0xAB}},
      {"0x87, clock settings: no answer; the rate goes to the board",
       {0x8A, 0x8B, 0x8C, 0x8D, 0x96, 0x97, 0x86, 1, 0, 0x85, 0x87},
       "",
       "",
       "",
       {},
       "F0003000000"},
      {"each change of the rate, once",
       {0x8A, 0x86, 29, 0, 0x8A, 0x8B, 0x86, 0xFF, 0xFF},
       "",
       "",
       "",
       {},
       "F0001000000F0000200000F0000000091"},
      {"TRST output low, then high", {0x80, 0x00, 0x10, 0x80, 0x10, 0x10}, "", "", "", {}, "tr"},
      {"TRST low but an input: not asserted", {0x80, 0x00, 0x00}, "", "", "", {}, ""},
      {"SRST then TRST", {0x82, 0x00, 0x02, 0x80, 0x00, 0x10, 0x82, 0x02, 0x02}, "", "", "", {}, "sut"},
      {"no change, no byte", {0x80, 0x10, 0x10, 0x80, 0x18, 0x10}, "", "", "", {}, ""},
  };
  for (const auto &c : cases) {
    Mpsse mpsse(4, 9);
    const BoardView v = run(mpsse, c.commands, c.tdo, c.echo);
    EXPECT_EQ(v.tms, c.tms) << c.name;
    EXPECT_EQ(v.tdi, c.tdi) << c.name;
    EXPECT_EQ(v.answer, c.answer) << c.name;
    EXPECT_EQ(v.resets, c.resets) << c.name;
  }
}

// A byte shift runs as its data bytes arrive; other commands once whole.
TEST(Mpsse, CommandSplitAcrossTransfersRunsAsItsBytesArrive) {
  Mpsse mpsse(-1, -1);
  EXPECT_EQ(run(mpsse, {0x39, 0x01}).tdi, "");
  const BoardView second = run(mpsse, {0x00, 0x1E}, "00000000");
  EXPECT_EQ(second.tdi, "01111000");
  EXPECT_EQ(second.answer, (Bytes{0x00}));
  const BoardView third = run(mpsse, {0x80, 0x4B}, "11111111");
  EXPECT_EQ(third.tdi, "00000001");
  EXPECT_EQ(third.answer, (Bytes{0xFF}));
  EXPECT_EQ(run(mpsse, {0x00}).tms, "");  // 0x4B waits for its two bytes
  EXPECT_EQ(run(mpsse, {0x01}).tms, "1");
  mpsse.receive(Bytes{0x19, 0x00});
  mpsse.drop_partial();  // a purge: the half command goes
  EXPECT_EQ(run(mpsse, {0xAB}).answer, (Bytes{0xFA, 0xAB}));
}

// TDO gives a fixed pseudo-random sequence, sample after sample across
// batches, so every answer bit can be checked where it lands.
class PatternBoard : public Wire {
 public:
  static bool tdo(uint64_t n) { return ((n * 0x9E3779B1u) >> 13 & 1) != 0; }
  std::optional<std::vector<bool>> run(const std::string &, std::size_t samples, std::string &) override {
    std::vector<bool> out;
    for (std::size_t i = 0; i < samples; ++i) out.push_back(tdo(next_++));
    ++batches;
    return out;
  }
  int batches = 0;

 private:
  uint64_t next_ = 0;
};

// The answers of LSB-first byte reads (0x28, 0x39) of `n` bytes in all.
Bytes pattern_answers(std::size_t n) {
  Bytes out(n, 0);
  for (std::size_t k = 0; k < 8 * n; ++k)
    if (PatternBoard::tdo(k)) out[k / 8] = uint8_t(out[k / 8] | 1u << (k % 8));
  return out;
}

// `times` byte shifts of `n` data bytes (n <= 65536), each 0x5A when it writes.
Bytes byte_shift(uint8_t op, std::size_t n, std::size_t times = 1) {
  Bytes all;
  for (std::size_t i = 0; i < times; ++i) {
    all.insert(all.end(), {op, uint8_t((n - 1) & 0xFF), uint8_t((n - 1) >> 8)});
    if ((op & 0x10) != 0) all.insert(all.end(), n, 0x5A);
  }
  return all;
}

struct Rig {
  PatternBoard board;
  Chip chip{Identity{}, Faults{}, &board, -1, -1};
  std::string error;
  std::size_t completed = 0;  // OUT transfers of endpoint 0x02 wholly in the chip
  Bytes answers;              // what the IN transfers carried, status bytes checked and dropped

  explicit Rig(bool mpsse = true) {
    if (mpsse) request(0x0B, 0x020B);
  }
  void request(uint8_t vendor_request, uint16_t value, uint16_t index = 1) {
    ASSERT_FALSE(chip.control(SetupPacket{0x40, vendor_request, value, index, 0}).stall);
  }
  void out(const Bytes &bytes, uint8_t endpoint = 0x02) {
    ASSERT_TRUE(chip.bulk_out(endpoint, bytes, error)) << error;
    settle();
  }
  void settle() {
    const OutOutcome o = chip.take_out_outcome(0x02);
    EXPECT_EQ(o.failed, 0u);
    completed += o.completed;
  }
  // One IN transfer of `capacity` bytes; returns its length.
  std::size_t in(std::size_t capacity = 4096) {
    const Bytes got = chip.bulk_in(0x81, capacity);
    const std::size_t packet = std::min(kMaxPacket, capacity);
    for (std::size_t at = 0; at < got.size(); at += packet) {
      EXPECT_EQ(got[at], kStatus0);
      EXPECT_EQ(got[at + 1], kStatus1);
      answers.insert(answers.end(), got.begin() + std::ptrdiff_t(at + 2),
                     got.begin() + std::ptrdiff_t(std::min(got.size(), at + packet)));
    }
    settle();
    return got.size();
  }
};

TEST(Chip, MpsseReachesTheBoardOnlyInMpsseModeOnChannelA) {
  Rig rig(false);
  const Bytes shift = {0x19, 0x00, 0x00, 0xFF};
  rig.out(shift);
  rig.request(0x0B, 0x020B, 2);
  rig.out(shift, 0x04);
  EXPECT_EQ(rig.board.batches, 0) << "UART mode, or channel B";
  rig.request(0x0B, 0x020B);
  rig.out(shift);
  EXPECT_EQ(rig.board.batches, 1);
  rig.request(0x0B, 0x0000);  // bitmode reset
  rig.out(shift);
  EXPECT_EQ(rig.board.batches, 1);
}

// An OUT transfer completes once all its bytes are in the chip: at once
// while the answers fit the transmit buffer and the rest the receive
// buffer, else only as IN transfers drain the answers; the board is asked
// once per buffer-full of work, not per byte or packet.
TEST(ChipFlow, OutCompletesWhenItsBytesFitTheBuffers) {
  const struct {
    const char *name;
    Bytes commands;
    std::size_t answers;
    bool at_once;
  } cases[] = {
      {"one 0x39: 4096 + 4096 answers", byte_shift(0x39, 8192), 8192, true},
      {"one 0x39: 4096 + 4097 answers", byte_shift(0x39, 8193), 8193, false},
      {"one-byte 0x39s: 4096 answers and 1024 commands held", byte_shift(0x39, 1, 5120), 5120, true},
      {"one-byte 0x39s: one more", byte_shift(0x39, 1, 5121), 5121, false},
      {"0x39 longer than both buffers", byte_shift(0x39, 65536), 65536, false},
      {"0x28 reads: three bytes, 64 KiB of answers", byte_shift(0x28, 65536, 2), 131072, true},
      {"0x19 writes of any length", byte_shift(0x19, 65536, 5), 0, true},
  };
  for (const auto &c : cases) {
    Rig rig;
    rig.out(c.commands);
    EXPECT_EQ(rig.completed, c.at_once ? 1u : 0u) << c.name;
    EXPECT_EQ(rig.chip.stats().bulk_out_stalls, c.at_once ? 0u : 1u) << c.name;
    // The transfer completes once its last byte is in, which needs all but
    // the two buffers' worth of answers read.
    std::size_t read_when_completed = SIZE_MAX;
    int reads = 0;
    for (; rig.chip.has_answer(0x81) && reads < 1000; ++reads) {
      ASSERT_GT(rig.in(), 2u) << c.name;
      if (rig.completed == 1 && read_when_completed == SIZE_MAX) read_when_completed = rig.answers.size();
    }
    EXPECT_TRUE(c.at_once || read_when_completed + kFt2232hReceiveBuffer + kFt2232hTransmitBuffer >= c.answers)
        << c.name << ": completed after " << read_when_completed;
    EXPECT_EQ(rig.completed, 1u) << c.name;
    EXPECT_EQ(rig.answers, pattern_answers(c.answers)) << c.name;
    EXPECT_LE(rig.board.batches, 2 + reads) << c.name;
  }
}

// Transfers queue behind a stalled one, each counted as a stall, and
// complete in order as reads make room; one long IN transfer carries more
// than the transmit buffer, as the engine refills it behind its packets.
TEST(ChipFlow, WaitingTransfersCompleteInOrder) {
  Rig rig;
  rig.out(byte_shift(0x39, 10000));
  rig.out(byte_shift(0x28, 10));
  rig.out({});
  EXPECT_EQ(rig.completed, 0u);
  EXPECT_EQ(rig.chip.stats().bulk_out_stalls, 3u);
  rig.in();  // 4080 answers read let the rest of the 0x39 in, and the two behind it
  EXPECT_EQ(rig.completed, 3u);
  EXPECT_EQ(rig.in(64 * kMaxPacket), 11 * kMaxPacket + 2 + 320);  // the 5930 answers left
  EXPECT_EQ(rig.answers, pattern_answers(10010));
  EXPECT_FALSE(rig.chip.has_answer(0x81));
}

}  // namespace
}  // namespace ftdi_emu
