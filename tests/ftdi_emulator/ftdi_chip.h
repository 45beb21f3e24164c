// An FT2232H as its USB host sees it: descriptors, FTDI's vendor control
// requests, two channels (A: endpoints 0x02 out / 0x81 in, B: 0x04 / 0x83)
// whose bulk IN packets each start with two modem-status bytes, and the
// MPSSE command processor of channel A wired to a JTAG board.
#ifndef JTAGBOX_TESTS_FTDI_EMULATOR_FTDI_CHIP_H
#define JTAGBOX_TESTS_FTDI_EMULATOR_FTDI_CHIP_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "mpsse.h"

namespace ftdi_emu {

inline constexpr std::size_t kMaxPacket = 512;
inline constexpr uint8_t kStatus0 = 0x32;  // modem status: CTS, DSR
inline constexpr uint8_t kStatus1 = 0x60;  // line status: both transmit buffers empty

// Where the chip's TCK, TMS and TDI go and its TDO comes from: runs a
// batch's remote_bitbang bytes and returns its TDO samples, or nothing when
// the board cannot be reached (the message says why).
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

// Device and configuration descriptors as the kernel's sysfs `descriptors`
// file holds them.
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
};
std::string format_stats(const Stats &stats);

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

class Chip {
 public:
  Chip(Identity id, Faults faults, Wire *wire, int trst_pin, int srst_pin);

  ControlResult control(const SetupPacket &setup, std::span<const uint8_t> out_data);
  // A bulk OUT transfer to endpoint 0x02 or 0x04.  False when the board
  // could not be reached (`error` says why).
  bool bulk_out(uint8_t endpoint, std::span<const uint8_t> data, std::string &error);
  // Whether endpoint 0x81/0x83 has answer bytes waiting.
  bool has_answer(uint8_t endpoint) const;
  // The bytes a bulk IN transfer of `capacity` bytes carries: packets of at
  // most 512 bytes, each two status bytes and up to 510 answer bytes,
  // ending at the first short packet.
  std::vector<uint8_t> bulk_in(uint8_t endpoint, std::size_t capacity);
  // The latency timer of the channel behind an IN endpoint, in ms.
  unsigned latency_ms(uint8_t endpoint) const;

  bool unplugged() const {
    return faults_.unplug_after_out != 0 && stats_.bulk_out_transfers >= faults_.unplug_after_out;
  }
  bool silent() const { return faults_.silent_after_out != 0 && stats_.bulk_out_transfers >= faults_.silent_after_out; }
  const Identity &identity() const { return id_; }
  Stats stats() const;
  const Mpsse &mpsse() const { return channels_[0].mpsse; }
  // A new client opens the device: the chip is as after power-up.
  void power_up();

 private:
  struct Channel {
    explicit Channel(int trst_pin, int srst_pin) : mpsse(trst_pin, srst_pin) {}
    uint8_t bitmode = 0;
    uint8_t latency = 16;
    Mpsse mpsse;
    std::deque<uint8_t> to_host;
  };
  ControlResult standard_request(const SetupPacket &setup) const;
  ControlResult vendor_request(const SetupPacket &setup);
  ControlResult string_descriptor(uint8_t index) const;
  Channel *channel_of_index(uint16_t index);
  Channel *channel_of_endpoint(uint8_t endpoint);
  const Channel *channel_of_endpoint(uint8_t endpoint) const;

  Identity id_;
  Faults faults_;
  Wire *wire_;
  std::vector<Channel> channels_;
  Stats stats_;
};

}  // namespace ftdi_emu

#endif
