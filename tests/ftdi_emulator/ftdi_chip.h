// An FT2232H as its USB host sees it: descriptors, FTDI's vendor requests,
// channels A (endpoints 0x02 out / 0x81 in) and B (0x04 / 0x83) whose bulk
// IN packets each start with two status bytes, and channel A's MPSSE wired
// to a JTAG board.  Each channel buffers both ways: OUT packets wait in the
// receive buffer until the MPSSE executes them, answers in the transmit
// buffer until an IN transfer takes them.  The MPSSE stalls while the next
// answer has no room, the receive buffer fills and further OUT packets are
// NAKed, so an OUT transfer completes only once all its bytes are in.
#ifndef JTAGBOX_TESTS_FTDI_EMULATOR_FTDI_CHIP_H
#define JTAGBOX_TESTS_FTDI_EMULATOR_FTDI_CHIP_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "mpsse.h"

namespace ftdi_emu {

inline constexpr std::size_t kMaxPacket = 512;
// The FT2232H datasheet's buffers, per channel (the FT232H has 1 KiB each
// way, the FT4232H 2 KiB).
inline constexpr std::size_t kFt2232hReceiveBuffer = 4096;   // host to chip
inline constexpr std::size_t kFt2232hTransmitBuffer = 4096;  // chip to host
inline constexpr uint8_t kStatus0 = 0x32;                    // modem status: CTS, DSR
inline constexpr uint8_t kStatus1 = 0x60;                    // line status: both transmit buffers empty

// Where TCK, TMS and TDI go and TDO comes from: a batch's remote_bitbang
// bytes in, its TDO samples out, or nothing (`error` says why).
class Wire {
 public:
  virtual ~Wire() = default;
  virtual std::optional<std::vector<bool>> run(const std::string &bytes, std::size_t samples, std::string &error) = 0;
};

struct Identity {
  uint16_t vid = 0x0403;
  uint16_t pid = 0x6010;
  std::string serial = "JTBX0001";
};

// Device and configuration descriptors, as sysfs `descriptors` holds them.
std::vector<uint8_t> descriptors(const Identity &id);

struct Stats {
  uint64_t bulk_out_transfers = 0;
  uint64_t bulk_out_bytes = 0;
  uint64_t bulk_in_transfers = 0;
  uint64_t bulk_in_bytes = 0;  // answer bytes, not the status bytes
  uint64_t mpsse_bad_commands = 0;
  // IN transfers that carried at least one answer byte: the round trips a
  // client needs, whatever the status-only polls between them.
  uint64_t bulk_in_answered = 0;
  // OUT transfers that could not complete at submission: the receive
  // buffer was full (the MPSSE stalled on a full transmit buffer).
  uint64_t bulk_out_stalls = 0;
};
// The counts by name, in the order of the stats file's lines.
inline constexpr std::pair<const char *, uint64_t Stats::*> kStatNames[] = {
    {"bulk_out_transfers", &Stats::bulk_out_transfers}, {"bulk_out_bytes", &Stats::bulk_out_bytes},
    {"bulk_in_transfers", &Stats::bulk_in_transfers},   {"bulk_in_bytes", &Stats::bulk_in_bytes},
    {"mpsse_bad_commands", &Stats::mpsse_bad_commands}, {"bulk_in_answered", &Stats::bulk_in_answered},
    {"bulk_out_stalls", &Stats::bulk_out_stalls}};

struct Faults {
  uint64_t unplug_after_out = 0;  // 0: never
  uint64_t bad_command_at = 0;    // 0: never
  uint64_t silent_after_out = 0;  // 0: never
};

// A control transfer's outcome: the data stage of an IN request, or a stall.
struct ControlResult {
  bool stall = false;
  std::vector<uint8_t> data;
};

struct SetupPacket {
  uint8_t request_type = 0;
  uint8_t request = 0;
  uint16_t value = 0;
  uint16_t index = 0;
  uint16_t length = 0;
};
SetupPacket parse_setup(std::span<const uint8_t, 8> bytes);

// What became of an OUT endpoint's transfers since it was last asked, in
// their order: the first `completed` ones have all their bytes in the chip,
// the `failed` ones after them were lost with the board (`error` says why).
struct OutOutcome {
  std::size_t completed = 0;
  std::size_t failed = 0;
  std::string error;
};

class Chip {
 public:
  Chip(Identity id, Faults faults, Wire *wire, int trst_pin, int srst_pin);

  ControlResult control(const SetupPacket &setup);
  // A bulk OUT transfer to endpoint 0x02 or 0x04, queued behind the ones
  // waiting there; its bytes enter as room allows (take_out_outcome() says
  // when all have).  False when the board could not be reached.
  bool bulk_out(uint8_t endpoint, std::span<const uint8_t> data, std::string &error);
  OutOutcome take_out_outcome(uint8_t endpoint);
  // Withdraws the endpoint's waiting OUT transfer at `position` (0: the
  // oldest); returns the bytes of it that had entered the chip already.
  // Nothing else moves until go_on().
  std::size_t cancel_out(uint8_t endpoint, std::size_t position);
  // Lets the channels go on after transfers were withdrawn.
  void go_on();
  bool has_answer(uint8_t endpoint) const;
  // A bulk IN transfer of `capacity` bytes: packets of at most 512 bytes,
  // two status bytes and up to 510 answers each, ending at a short packet.
  std::vector<uint8_t> bulk_in(uint8_t endpoint, std::size_t capacity);
  // The latency timer of the channel behind an IN endpoint, in ms.
  unsigned latency_ms(uint8_t endpoint) const;

  bool unplugged() const {
    return pulled_ || (faults_.unplug_after_out != 0 && stats_.bulk_out_transfers >= faults_.unplug_after_out);
  }
  // The cable pulled now, whatever the host is doing; for good.
  void unplug() { pulled_ = true; }
  bool silent() const { return faults_.silent_after_out != 0 && stats_.bulk_out_transfers >= faults_.silent_after_out; }
  Stats stats() const;
  // A new client opens the device: the chip is as after power-up.
  void power_up();

 private:
  // An OUT transfer not yet wholly in the receive buffer.
  struct WaitingOut {
    std::vector<uint8_t> bytes;
    std::size_t entered = 0;
  };
  struct Channel {
    explicit Channel(int trst_pin, int srst_pin) : mpsse(trst_pin, srst_pin) {}
    uint8_t bitmode = 0;
    uint8_t latency = 16;
    Mpsse mpsse;                     // holds the receive buffer
    std::deque<uint8_t> to_host;     // the transmit buffer
    std::deque<WaitingOut> waiting;  // oldest first
    OutOutcome outcome;
  };
  // Moves OUT bytes in and runs the MPSSE until neither can go on; false
  // when the board could not be reached (the waiting transfers then fail).
  bool pump(Channel &c, std::string &error);
  // Whole packets of the waiting transfers that fit the receive buffer;
  // counts the transfers that got in entirely.
  std::size_t enter_packets(Channel &c, std::size_t &completed);
  // Runs a batch on the board, its answers into the transmit buffer.
  bool deliver(Channel &c, const Batch &batch, std::string &error);
  bool runs_mpsse(const Channel &c) const;
  ControlResult standard_request(const SetupPacket &setup) const;
  ControlResult vendor_request(const SetupPacket &setup);
  ControlResult string_descriptor(uint8_t index) const;
  Channel *channel_of_index(uint16_t index);
  Channel *channel_of_endpoint(uint8_t endpoint);
  const Channel *channel_of_endpoint(uint8_t endpoint) const;

  Identity id_;
  Faults faults_;
  bool pulled_ = false;
  Wire *wire_;
  std::vector<Channel> channels_;
  Stats stats_;
};

}  // namespace ftdi_emu

#endif
