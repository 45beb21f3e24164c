// The MPSSE command processor of an FT2232H channel, as FTDI's AN108
// describes it.  Each run() turns the commands in the receive buffer into a
// Batch: the remote_bitbang bytes to send (TCK/TMS/TDI levels, 'R' per TDO
// sample, reset-line changes, the TCK rate the clock settings make) and the answer bytes, some of whose bits are
// TDO samples not known yet.  The caller runs the batch on the board in one
// go and resolves the answer: a long shift is one round trip, not one a bit.
#ifndef JTAGBOX_TESTS_FTDI_EMULATOR_MPSSE_H
#define JTAGBOX_TESTS_FTDI_EMULATOR_MPSSE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace ftdi_emu {

// Pins of the low (ADBUS) byte as the JTAG layout uses them.
inline constexpr uint8_t kPinTck = 0x01;
inline constexpr uint8_t kPinTdi = 0x02;
inline constexpr uint8_t kPinTdo = 0x04;
inline constexpr uint8_t kPinTms = 0x08;

// A sample number with this bit set indexes Batch::loopback_bits.
inline constexpr uint32_t kKnownSample = 0x80000000u;

// One byte the chip sends back: fixed bits, plus bits taken from TDO samples
// (sample number, bit position in the byte).
struct AnswerByte {
  uint8_t fixed = 0;
  std::vector<std::pair<uint32_t, uint8_t>> samples;
};

// What a run of commands asks of the board and what it answers.
struct Batch {
  std::string wire;                 // remote_bitbang bytes, in order
  std::size_t samples = 0;          // 'R' bytes in `wire`
  std::vector<AnswerByte> answer;   // bytes for the host, in order
  std::vector<bool> loopback_bits;  // TDO samples known already (loopback)
};

// The answer bytes once the board's TDO samples are known.
std::vector<uint8_t> resolve_answer(const Batch &batch, const std::vector<bool> &samples);

class Mpsse {
 public:
  // trst_pin, srst_pin: 0-15 (ADBUS 0-7, ACBUS 0-7) or -1 for none; a reset
  // line is asserted while its pin is an output driven low.
  Mpsse(int trst_pin, int srst_pin) : trst_pin_(trst_pin), srst_pin_(srst_pin) {}

  // Back to the state MPSSE mode starts in: a half-read command is dropped,
  // every pin an input.
  void reset();
  // Bytes from the host enter the receive buffer; run() executes them.
  void receive(std::span<const uint8_t> bytes) { pending_.insert(pending_.end(), bytes.begin(), bytes.end()); }
  // Bytes received and not executed yet (a byte shift's data leaves as
  // each byte is clocked).
  std::size_t buffered() const { return pending_.size(); }
  // Executes while the answers fit in `answer_room` more bytes of the
  // transmit buffer (a command whose answer does not fit waits).  A byte
  // shift (0x10-0x3F, byte mode) runs byte by byte as its data arrives and
  // its answers fit, so one longer than the buffers still gets through.
  void run(std::size_t answer_room, Batch &batch);
  // Drops what was received and not executed, a byte shift under way
  // included (a purge of the chip's receive buffer).
  void drop_partial() {
    pending_.clear();
    shift_.reset();
  }

  // Fault injection: the n-th command byte (1-based) is taken as unknown.
  void set_bad_command_at(uint64_t n) { bad_command_at_ = n; }

  uint64_t bad_commands() const { return bad_commands_; }
  uint8_t low_value() const { return low_value_; }
  uint8_t low_direction() const { return low_direction_; }

 private:
  // A byte shift started and not finished: its opcode and the bytes to go.
  struct ByteShift {
    uint8_t op = 0;
    uint32_t remaining = 0;
  };

  // Runs the commands from pending_[at] on; returns where it stopped.
  std::size_t run_commands(std::size_t at, std::size_t answer_limit, Batch &batch);
  // Clocks the data bytes of the byte shift under way that have arrived
  // and whose answers fit; returns the receive-buffer bytes it used.
  std::size_t continue_byte_shift(std::size_t at, std::size_t answer_limit, Batch &batch);
  void execute(std::span<const uint8_t> command, Batch &batch);
  // `bits` (1-8) of a data shift, TDI from `out`, TDO into one answer byte.
  void shift_data(uint8_t op, int bits, uint8_t out, Batch &batch);
  void shift_tms(std::span<const uint8_t> command, Batch &batch);
  void set_pins(bool low, uint8_t value, uint8_t direction, Batch &batch);
  void answer_pins(bool low, Batch &batch);
  void clock_only(uint32_t clocks, Batch &batch);
  // The board told the TCK rate the clock settings make, when it changed.
  void tell_clock(Batch &batch);
  void bad_command(uint8_t op, Batch &batch);

  // One TCK with the given TMS and TDI; returns the TDO sample's number when
  // `read` (sampled before the rising edge, or after it for `late_read`).
  uint32_t clock(bool tms, bool tdi, bool read, bool late_read, Batch &batch);
  uint32_t sample(Batch &batch, bool loopback_value);
  void drive_lines(Batch &batch);
  bool pin_asserted(int pin) const;

  bool tms() const { return (low_value_ & kPinTms) != 0; }
  bool tdi() const { return (low_value_ & kPinTdi) != 0; }
  void set_pin(uint8_t pin, bool level) { low_value_ = level ? uint8_t(low_value_ | pin) : uint8_t(low_value_ & ~pin); }

  int trst_pin_;
  int srst_pin_;
  std::vector<uint8_t> pending_;  // the receive buffer
  std::optional<ByteShift> shift_;
  bool loopback_ = false;  // TDI wired to TDO inside the chip (0x84)
  uint8_t low_value_ = 0, low_direction_ = 0, high_value_ = 0, high_direction_ = 0;
  char lines_sent_ = 0;  // the last line byte sent, 0 before any
  bool divide_by_5_ = true;
  std::optional<uint16_t> divisor_;  // of the clock, once 0x86 set it
  uint64_t rate_sent_ = 0;           // the TCK rate the board was told, in Hz
  bool trst_ = false, srst_ = false;
  uint64_t bad_command_at_ = 0;
  uint64_t command_bytes_ = 0;
  uint64_t bad_commands_ = 0;
};

}  // namespace ftdi_emu

#endif
