// The chip at the USB level: bulk IN packets with their two status bytes
// and their 512-byte chunking, FTDI's vendor requests, descriptors, and
// MPSSE reaching the board only in MPSSE mode on channel A.
#include <gtest/gtest.h>

#include <algorithm>
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
  Stats s{1, 22, 333, 4444, 5, 66};
  EXPECT_EQ(format_stats(s),
            "bulk_out_transfers 1\nbulk_out_bytes 22\nbulk_in_transfers 333\nbulk_in_bytes 4444\n"
            "mpsse_bad_commands 5\nbulk_in_answered 66\n");
}

}  // namespace
}  // namespace ftdi_emu
