// The chip at the USB level: bulk IN packets with their two status bytes
// and their 512-byte chunking, FTDI's vendor requests, descriptors,
// MPSSE reaching the board only in MPSSE mode on channel A, and the
// channel's receive and transmit buffers holding OUT transfers back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ftdi_chip.h"

namespace ftdi_emu {
namespace {

using Bytes = std::vector<uint8_t>;

// Counts the batches that reached the board; TDO reads 0.
class CountingBoard : public Wire {
 public:
  std::optional<std::vector<bool>> run(const std::string &, std::size_t samples, std::string &) override {
    ++batches;
    return std::vector<bool>(samples, false);
  }
  int batches = 0;
};

SetupPacket vendor_out(uint8_t request, uint16_t value, uint16_t index) {
  return SetupPacket{0x40, request, value, index, 0};
}
SetupPacket vendor_in(uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
  return SetupPacket{0xC0, request, value, index, length};
}

struct ChipRig {
  CountingBoard board;
  Chip chip{Identity{}, Faults{}, &board, -1, -1};
  std::string error;

  void mpsse_mode() { ASSERT_FALSE(chip.control(vendor_out(0x0B, 0x020B, 1), {}).stall); }
  // `n` answer bytes waiting on channel A: a loopback shift of n bytes.
  void queue_answer(std::size_t n) {
    mpsse_mode();
    Bytes commands = {0x84};
    for (std::size_t i = 0; i < n; ++i) commands.insert(commands.end(), {0x39, 0x00, 0x00, uint8_t(i)});
    ASSERT_TRUE(chip.bulk_out(0x02, commands, error)) << error;
  }
};

TEST(Chip, BulkInPacketsCarryStatusBytesAndSplitAt512) {
  struct Case {
    std::size_t waiting, capacity;
    std::vector<std::size_t> transfers;  // lengths of the transfers read one after another
  };
  const std::vector<Case> cases = {
      {0, 512, {2}},            // nothing to say: the status bytes alone
      {3, 512, {5}},            // a short packet ends the transfer
      {510, 512, {512}},        // one full packet
      {511, 4096, {515}},       // a full packet and a short one: 512 + 2 + 1
      {1000, 512, {512, 492}},  // one packet per transfer of 512
      {1020, 4096, {1024}},     // two full packets
      {100, 64, {64, 40}},      // a transfer smaller than a packet
  };
  for (const Case &c : cases) {
    ChipRig rig;
    rig.queue_answer(c.waiting);
    std::size_t next = 0;
    for (std::size_t length : c.transfers) {
      const Bytes in = rig.chip.bulk_in(0x81, c.capacity);
      ASSERT_EQ(in.size(), length) << c.waiting << " in " << c.capacity;
      for (std::size_t at = 0; at < in.size(); at += std::min<std::size_t>(kMaxPacket, c.capacity)) {
        EXPECT_EQ(in[at], kStatus0) << c.waiting << " at " << at;
        EXPECT_EQ(in[at + 1], kStatus1) << c.waiting << " at " << at;
        for (std::size_t i = at + 2; i < std::min(in.size(), at + std::min<std::size_t>(kMaxPacket, c.capacity)); ++i)
          EXPECT_EQ(in[i], uint8_t(next++)) << c.waiting << " byte " << i;
      }
    }
    EXPECT_EQ(next, c.waiting);
    EXPECT_FALSE(rig.chip.has_answer(0x81));
    EXPECT_EQ(rig.chip.stats().bulk_in_bytes, c.waiting);
    EXPECT_EQ(rig.chip.stats().bulk_in_transfers, c.transfers.size());
    const auto answered = std::count_if(c.transfers.begin(), c.transfers.end(), [](std::size_t n) { return n > 2; });
    EXPECT_EQ(rig.chip.stats().bulk_in_answered, uint64_t(answered)) << c.waiting << " in " << c.capacity;
  }
}

TEST(Chip, StatusOnlyInTransfersAreNotAnswered) {
  ChipRig rig;
  rig.mpsse_mode();
  EXPECT_EQ(rig.chip.bulk_in(0x81, 512), (Bytes{kStatus0, kStatus1}));  // a poll before any command
  rig.queue_answer(3);
  EXPECT_EQ(rig.chip.bulk_in(0x81, 512).size(), 5u);
  EXPECT_EQ(rig.chip.bulk_in(0x81, 512).size(), 2u);  // and a poll after
  rig.queue_answer(1);
  EXPECT_EQ(rig.chip.bulk_in(0x81, 512).size(), 3u);
  const Stats s = rig.chip.stats();
  EXPECT_EQ(s.bulk_in_transfers, 4u);
  EXPECT_EQ(s.bulk_in_answered, 2u);
  EXPECT_EQ(s.bulk_in_bytes, 4u);
}

TEST(Chip, MpsseReachesTheBoardOnlyInMpsseModeOnChannelA) {
  ChipRig rig;
  const Bytes shift = {0x19, 0x00, 0x00, 0xFF};
  ASSERT_TRUE(rig.chip.bulk_out(0x02, shift, rig.error));
  EXPECT_EQ(rig.board.batches, 0) << "UART mode";
  ASSERT_FALSE(rig.chip.control(vendor_out(0x0B, 0x020B, 2), {}).stall);
  ASSERT_TRUE(rig.chip.bulk_out(0x04, shift, rig.error));
  EXPECT_EQ(rig.board.batches, 0) << "channel B";
  rig.mpsse_mode();
  ASSERT_TRUE(rig.chip.bulk_out(0x02, shift, rig.error));
  EXPECT_EQ(rig.board.batches, 1);
  ASSERT_FALSE(rig.chip.control(vendor_out(0x0B, 0x0000, 1), {}).stall);  // bitmode reset
  ASSERT_TRUE(rig.chip.bulk_out(0x02, shift, rig.error));
  EXPECT_EQ(rig.board.batches, 1);
  const Stats s = rig.chip.stats();
  EXPECT_EQ(s.bulk_out_transfers, 4u);
  EXPECT_EQ(s.bulk_out_bytes, 16u);
}

TEST(Chip, VendorRequests) {
  struct Case {
    const char *name;
    std::vector<SetupPacket> before;
    SetupPacket request;
    bool stall;
    Bytes data;
  };
  const std::vector<Case> cases = {
      {"latency read back", {vendor_out(0x09, 2, 1)}, vendor_in(0x0A, 0, 1, 1), false, {2}},
      {"latency per channel", {vendor_out(0x09, 2, 1)}, vendor_in(0x0A, 0, 2, 1), false, {16}},
      {"modem status", {}, vendor_in(0x05, 0, 1, 2), false, {0x32, 0x60}},
      {"pins after power-up: inputs, pulled up", {}, vendor_in(0x0C, 0, 1, 1), false, {0xFF}},
      {"blank EEPROM word", {}, vendor_in(0x90, 0, 3, 2), false, {0xFF, 0xFF}},
      {"baud rate, reset, purges, modem control",
       {vendor_out(0x03, 0x4138, 1), vendor_out(0x00, 0, 1), vendor_out(0x00, 1, 1), vendor_out(0x00, 2, 1)},
       vendor_out(0x01, 0x0303, 1),
       false,
       {}},
      {"unknown request stalls", {}, vendor_in(0x77, 0, 1, 1), true, {}},
      {"unknown channel stalls", {}, vendor_in(0x0A, 0, 5, 1), true, {}},
  };
  for (const Case &c : cases) {
    ChipRig rig;
    for (const SetupPacket &s : c.before) ASSERT_FALSE(rig.chip.control(s, {}).stall) << c.name;
    const ControlResult r = rig.chip.control(c.request, {});
    EXPECT_EQ(r.stall, c.stall) << c.name;
    EXPECT_EQ(r.data, c.data) << c.name;
  }
}

TEST(Chip, PinsReadBackWhatMpsseDrives) {
  ChipRig rig;
  rig.mpsse_mode();
  ASSERT_TRUE(rig.chip.bulk_out(0x02, Bytes{0x80, 0x08, 0x0B}, rig.error));
  EXPECT_EQ(rig.chip.control(vendor_in(0x0C, 0, 1, 1), {}).data, Bytes{0xFC});  // inputs read high
}

TEST(Chip, PurgeDropsAnswersAndHalfCommands) {
  ChipRig rig;
  rig.queue_answer(3);
  ASSERT_TRUE(rig.chip.bulk_out(0x02, Bytes{0x19, 0x05}, rig.error));  // half a command
  ASSERT_FALSE(rig.chip.control(vendor_out(0x00, 1, 1), {}).stall);
  EXPECT_FALSE(rig.chip.has_answer(0x81));
  ASSERT_FALSE(rig.chip.control(vendor_out(0x00, 2, 1), {}).stall);
  ASSERT_TRUE(rig.chip.bulk_out(0x02, Bytes{0xAB}, rig.error));
  EXPECT_EQ(rig.chip.bulk_in(0x81, 512), (Bytes{0x32, 0x60, 0xFA, 0xAB}));
}

TEST(Chip, DescriptorsDescribeAnFt2232h) {
  Identity id;
  id.pid = 0x6011;
  const Bytes d = descriptors(id);
  ASSERT_EQ(d.size(), 18u + 55u);
  EXPECT_EQ(Bytes(d.begin() + 8, d.begin() + 14), (Bytes{0x03, 0x04, 0x11, 0x60, 0x00, 0x07}));
  EXPECT_EQ(d[18 + 2], 55);  // wTotalLength
  EXPECT_EQ(d[18 + 4], 2);   // interfaces
  const Bytes endpoints = {d[18 + 9 + 9 + 2], d[18 + 9 + 9 + 7 + 2], d[18 + 9 + 23 + 9 + 2],
                           d[18 + 9 + 23 + 9 + 7 + 2]};
  EXPECT_EQ(endpoints, (Bytes{0x81, 0x02, 0x83, 0x04}));
  EXPECT_EQ(d[18 + 9 + 9 + 4], 0x00);  // max packet 512, little-endian
  EXPECT_EQ(d[18 + 9 + 9 + 5], 0x02);
}

TEST(Chip, StringDescriptors) {
  Identity id;
  id.serial = "AB1";
  CountingBoard board;
  Chip chip(id, Faults{}, &board, -1, -1);
  const auto string = [&](uint8_t index) {
    return chip.control(SetupPacket{0x80, 0x06, uint16_t(0x0300 | index), 0x0409, 255}, {});
  };
  EXPECT_EQ(string(0).data, (Bytes{4, 3, 0x09, 0x04}));
  EXPECT_EQ(string(1).data, (Bytes{10, 3, 'F', 0, 'T', 0, 'D', 0, 'I', 0}));
  EXPECT_EQ(string(2).data.size(), 2u + 2u * 13u);  // "Dual RS232-HS"
  EXPECT_EQ(string(3).data, (Bytes{8, 3, 'A', 0, 'B', 0, '1', 0}));
  EXPECT_TRUE(string(9).stall);
}

TEST(Chip, FaultsFollowTheOutTransferCount) {
  CountingBoard board;
  Chip chip(Identity{}, Faults{2, 0, 1}, &board, -1, -1);
  std::string error;
  EXPECT_FALSE(chip.unplugged());
  EXPECT_FALSE(chip.silent());
  ASSERT_TRUE(chip.bulk_out(0x02, Bytes{0x87}, error));
  EXPECT_TRUE(chip.silent());
  EXPECT_FALSE(chip.unplugged());
  ASSERT_TRUE(chip.bulk_out(0x02, Bytes{0x87}, error));
  EXPECT_TRUE(chip.unplugged());
}

TEST(Chip, StatsText) {
  Stats s{1, 22, 333, 4444, 5, 66, 7};
  EXPECT_EQ(format_stats(s),
            "bulk_out_transfers 1\nbulk_out_bytes 22\nbulk_in_transfers 333\nbulk_in_bytes 4444\n"
            "mpsse_bad_commands 5\nbulk_in_answered 66\nbulk_out_stalls 7\n");
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

// The answer bytes of LSB-first byte reads (0x28, 0x39) of `n` bytes in all.
Bytes pattern_answers(std::size_t n) {
  Bytes out(n, 0);
  for (std::size_t k = 0; k < n; ++k)
    for (int bit = 0; bit < 8; ++bit)
      if (PatternBoard::tdo(8 * k + std::size_t(bit))) out[k] = uint8_t(out[k] | 1u << bit);
  return out;
}

// One byte shift of `n` data bytes (n <= 65536), each 0x5A when it writes.
Bytes byte_shift(uint8_t op, std::size_t n) {
  Bytes c = {op, uint8_t((n - 1) & 0xFF), uint8_t((n - 1) >> 8)};
  if ((op & 0x10) != 0) c.insert(c.end(), n, 0x5A);
  return c;
}
Bytes repeat(const Bytes &one, std::size_t times) {
  Bytes all;
  for (std::size_t i = 0; i < times; ++i) all.insert(all.end(), one.begin(), one.end());
  return all;
}

struct FlowRig {
  PatternBoard board;
  Chip chip{Identity{}, Faults{}, &board, -1, -1};
  std::string error;
  std::size_t completed = 0;
  Bytes answers;

  FlowRig() { EXPECT_FALSE(chip.control(vendor_out(0x0B, 0x020B, 1), {}).stall); }
  void out(const Bytes &bytes) {
    ASSERT_TRUE(chip.bulk_out(0x02, bytes, error)) << error;
    settle();
  }
  void settle() {
    const OutOutcome o = chip.take_out_outcome(0x02);
    EXPECT_EQ(o.failed, 0u);
    completed += o.completed;
  }
  // One IN transfer of 4096 bytes, its answers kept without status bytes.
  void in() {
    const Bytes got = chip.bulk_in(0x81, 4096);
    for (std::size_t at = 0; at < got.size(); at += kMaxPacket)
      answers.insert(answers.end(), got.begin() + std::ptrdiff_t(at + 2),
                     got.begin() + std::ptrdiff_t(std::min(got.size(), at + kMaxPacket)));
    settle();
  }
};

// An OUT transfer completes once all its bytes are in the chip: at once
// while the answers fit the transmit buffer and the rest the receive
// buffer, else only as IN transfers drain the answers.
TEST(ChipFlow, OutCompletesWhenItsBytesFitTheBuffers) {
  struct Case {
    const char *name;
    Bytes commands;
    std::size_t answers;
    bool at_once;
  };
  const std::vector<Case> cases = {
      {"one 0x39: 4096 + 4096 answers", byte_shift(0x39, 8192), 8192, true},
      {"one 0x39: 4096 + 4097 answers", byte_shift(0x39, 8193), 8193, false},
      {"one-byte 0x39s: 4096 answers and 1024 commands held", repeat(byte_shift(0x39, 1), 5120), 5120, true},
      {"one-byte 0x39s: one more", repeat(byte_shift(0x39, 1), 5121), 5121, false},
      {"0x39 longer than both buffers", byte_shift(0x39, 65536), 65536, false},
      {"0x28 reads: three bytes, 64 KiB of answers", repeat(byte_shift(0x28, 65536), 2), 131072, true},
      {"0x19 writes of any length", repeat(byte_shift(0x19, 65536), 5), 0, true},
  };
  for (const Case &c : cases) {
    FlowRig rig;
    rig.out(c.commands);
    EXPECT_EQ(rig.completed, c.at_once ? 1u : 0u) << c.name;
    EXPECT_EQ(rig.chip.waiting_out(0x02), c.at_once ? 0u : 1u) << c.name;
    EXPECT_EQ(rig.chip.stats().bulk_out_stalls, c.at_once ? 0u : 1u) << c.name;
    // Reads drain it; the transfer completes once its last byte is in,
    // which needs all but the two buffers' worth of answers read.
    std::size_t read_when_completed = rig.completed == 1 ? 0 : SIZE_MAX;
    for (int reads = 0; rig.chip.has_answer(0x81) && reads < 1000; ++reads) {
      const std::size_t before = rig.answers.size();
      rig.in();
      ASSERT_GT(rig.answers.size(), before) << c.name;
      if (rig.completed == 1 && read_when_completed == SIZE_MAX) read_when_completed = rig.answers.size();
    }
    if (!c.at_once) {
      EXPECT_GE(read_when_completed + kFt2232hReceiveBuffer + kFt2232hTransmitBuffer, c.answers) << c.name;
    }
    EXPECT_EQ(rig.completed, 1u) << c.name;
    EXPECT_EQ(rig.chip.waiting_out(0x02), 0u) << c.name;
    EXPECT_EQ(rig.answers, pattern_answers(c.answers)) << c.name;
  }
}

// Transfers queue behind a stalled one in order, each counted as a stall,
// and complete in order as reads make room.
TEST(ChipFlow, WaitingTransfersCompleteInOrder) {
  FlowRig rig;
  rig.out(byte_shift(0x39, 10000));
  rig.out(byte_shift(0x28, 10));
  rig.out({});
  EXPECT_EQ(rig.chip.waiting_out(0x02), 3u);
  EXPECT_EQ(rig.chip.stats().bulk_out_stalls, 3u);
  // One read of 4080 answers lets the rest of the 0x39 in, and the two
  // behind it.
  rig.in();
  EXPECT_EQ(rig.completed, 3u);
  for (int reads = 0; rig.chip.has_answer(0x81) && reads < 100; ++reads) rig.in();
  EXPECT_EQ(rig.answers, pattern_answers(10010));
  EXPECT_EQ(rig.chip.stats().bulk_in_bytes, 10010u);
}

// Packets leave the transmit buffer one by one and the engine refills it
// behind them, so an IN transfer longer than the buffer carries more: a
// 64 KiB read command in one IN transfer of 128 packets but its last 256
// answers, and the OUT transfer completes on the way.
TEST(ChipFlow, LongInTransferCarriesMoreThanTheBuffer) {
  FlowRig rig;
  rig.out(byte_shift(0x39, 65536));
  ASSERT_EQ(rig.completed, 0u);
  const Bytes got = rig.chip.bulk_in(0x81, 128 * kMaxPacket);
  ASSERT_EQ(got.size(), 128 * kMaxPacket);
  rig.settle();
  EXPECT_EQ(rig.completed, 1u);
  rig.in();
  EXPECT_EQ(rig.chip.stats().bulk_in_bytes, 65536u);
  EXPECT_EQ(rig.chip.stats().bulk_in_answered, 2u);
}

// A withdrawn transfer (the host gave up on it) says how much of it got in;
// the one behind it then goes on.
TEST(ChipFlow, CancelledTransferReportsWhatEnteredTheChip) {
  FlowRig rig;
  rig.out(byte_shift(0x39, 8193));  // header and 4096 data bytes run, 4093 held, then NAK
  rig.out(byte_shift(0x19, 2));
  EXPECT_EQ(rig.chip.cancel_out(0x02, 0), 8192u);
  EXPECT_EQ(rig.chip.waiting_out(0x02), 1u);
  rig.chip.go_on();
  rig.settle();
  EXPECT_EQ(rig.completed, 0u);  // the receive buffer is still full
  rig.in();
  EXPECT_EQ(rig.completed, 1u);
  EXPECT_EQ(rig.chip.waiting_out(0x02), 0u);
}

// A purge of the transmit buffer makes room as a read does.
TEST(ChipFlow, PurgeLetsAStalledTransferIn) {
  FlowRig rig;
  rig.out(byte_shift(0x39, 8193));
  ASSERT_EQ(rig.completed, 0u);
  ASSERT_FALSE(rig.chip.control(vendor_out(0x00, 1, 1), {}).stall);
  rig.settle();
  EXPECT_EQ(rig.completed, 1u);
}

// Long batches still cost one board round trip per chunk of work, not one
// per byte or per packet.
TEST(ChipFlow, BoardRoundTripsPerBufferFull) {
  FlowRig rig;
  rig.out(repeat(byte_shift(0x19, 65536), 3));
  EXPECT_EQ(rig.board.batches, 1);
  rig.out(byte_shift(0x39, 12288));
  EXPECT_EQ(rig.board.batches, 2);
  int reads = 0;
  for (; rig.chip.has_answer(0x81) && reads < 100; ++reads) rig.in();
  EXPECT_EQ(reads, 4);  // 4080 answers a read
  EXPECT_LE(rig.board.batches, 2 + reads);
  EXPECT_EQ(rig.answers, pattern_answers(12288));
}

}  // namespace
}  // namespace ftdi_emu
