// The MPSSE command stream of an FTDI probe, built in memory and independent
// of USB, so that the bytes can be checked on their own.
//
// The probe's lines (ADBUS): 0 TCK, 1 TDI, 2 TDO, 3 TMS.  Every command
// clocks TDI/TMS out on the falling edge of TCK and samples TDO on the
// rising edge, LSB first, which is how a JTAG TAP wants them:
//   0x19 / 0x39 LEN_LO LEN_HI DATA...   whole bytes out (and in), LEN+1 bytes
//   0x1B / 0x3B LEN DATA                1..8 bits out (and in), LEN+1 bits
//   0x4B / 0x6B LEN DATA                1..7 TMS bits (and TDO in); DATA bit 7
//                                       holds TDI for the whole command
// A byte read answers one byte per data byte.  A bit read of n bits answers
// one byte with the bits shifted in from the top: the first bit sampled ends
// in bit 8-n, the last in bit 7.  A command the chip does not know is
// answered 0xFA and the command byte; 0xAA is such a command on purpose,
// which gives a marker in the answer stream.
//
// A Shift-xR of n bits is n-1 bits with TMS low (whole bytes, then the rest
// as bits) and the last one on a TMS command with TMS high, TDI in its bit 7.
// TMS moves are gathered into one TMS command as long as TDI stays the same.
#ifndef JTAGBOX_BACKENDS_FTDI_MPSSE_ENCODER_H
#define JTAGBOX_BACKENDS_FTDI_MPSSE_ENCODER_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/bits.h"

namespace jtag::ftdi {

namespace mpsse {
inline constexpr uint8_t kBytesOut = 0x19;
inline constexpr uint8_t kBytesInOut = 0x39;
inline constexpr uint8_t kBitsOut = 0x1B;
inline constexpr uint8_t kBitsInOut = 0x3B;
inline constexpr uint8_t kTmsOut = 0x4B;
inline constexpr uint8_t kTmsInOut = 0x6B;
inline constexpr uint8_t kSetLowPins = 0x80;
inline constexpr uint8_t kSetHighPins = 0x82;
inline constexpr uint8_t kLoopbackOff = 0x85;
inline constexpr uint8_t kClockDivisor = 0x86;
inline constexpr uint8_t kSendImmediate = 0x87;
inline constexpr uint8_t kDivideBy5Off = 0x8A;
inline constexpr uint8_t kThreePhaseOff = 0x8D;
inline constexpr uint8_t kAdaptiveClockOff = 0x97;
inline constexpr uint8_t kBogus = 0xAA;       // no such command: answered kBadCommand, kBogus
inline constexpr uint8_t kBadCommand = 0xFA;  // the answer to a command the chip refused
inline constexpr size_t kMaxTmsBits = 7;
inline constexpr size_t kMaxBytesPerCommand = 65536;
}  // namespace mpsse

// The answer stream is not what the commands sent call for.
class AnswerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "the probe refused command 0x19 (answered 0xfa 0x19)"
std::string refusal_text(uint8_t command);

// What the answers still to come are, in order, and the TDO bits taken from
// the ones that came.
class TdoDecoder {
 public:
  void expect_bytes(size_t count) { add({count, 8, 0}); }
  void expect_top_bits(unsigned bits) { add({1, bits, 0}); }
  void expect_echo(uint8_t command) { add({2, 0, command}); }

  size_t awaited() const { return awaited_; }
  // Takes answer bytes in the order they came.  Throws AnswerError when they
  // run past what was asked or an echo is not the one expected; the chip's
  // refusal of a command (0xFA and the command) is named when it is seen.
  void feed(const uint8_t *data, size_t size);

  // The command that 0xFA and one of the commands sent name among `data`,
  // if any: the chip's refusal, when answers are known to be out of step.
  static std::optional<uint8_t> refused_in(const uint8_t *data, size_t size);

  size_t bits_ready() const { return bits_.size(); }
  BitVector take_front(size_t count);  // the oldest TDO bits
  BitVector take_back(size_t count);   // the newest TDO bits

 private:
  struct Answer {
    size_t bytes;   // answer bytes
    unsigned bits;  // TDO bits in each (8: all, LSB first; 1..7: the top ones; 0: an echo)
    uint8_t echo;   // for an echo: the command after 0xFA
  };
  void add(const Answer &a);
  [[noreturn]] static void out_of_step(const uint8_t *data, size_t size, size_t at);

  std::deque<Answer> answers_;
  size_t awaited_ = 0;
  size_t echo_at_ = 0;  // bytes of the current echo seen
  std::deque<bool> bits_;
};

// The command stream not yet written to the chip.
class MpsseEncoder {
 public:
  explicit MpsseEncoder(TdoDecoder &decoder) : decoder_(decoder) {}

  // One TCK with TMS and TDI; with `read`, its TDO is decoded.
  void tms(bool tms, bool tdi, bool read);
  // A Shift-xR of in.size() TCKs, TMS high on the last (low on all of them
  // without `exit`, so the TAP stays in Shift-xR); with `read`, every TDO
  // bit is decoded.
  void shift(const BitVector &in, bool read, bool exit = true);
  // A command that answers nothing (setup, pins).
  void command(std::initializer_list<uint8_t> bytes);
  // 0xAA, whose answer 0xFA 0xAA marks that everything before it was taken.
  void echo();

  size_t pending_size() const { return out_.size(); }
  const std::vector<uint8_t> &pending() const { return out_; }
  // Answers the pending bytes will call for, and those written and not yet
  // taken by the decoder.
  size_t pending_answers() const { return pending_answers_; }
  size_t in_flight() const { return decoder_.awaited() - pending_answers_; }
  // Bytes ever put in the stream: a mark of how far it has come.
  uint64_t stream_end() const { return end_offset(); }

  // The next write: at most `max_bytes` of the stream, cut anywhere, for
  // the chip carries on with a command whose rest comes in the next write.
  // The write that empties the stream ends with 0x87 (send immediate) when
  // answers are owed, so that none waits in the chip for its latency timer;
  // the stream's end is always between two commands.
  std::vector<uint8_t> take_write(size_t max_bytes);

 private:
  struct Answering {  // stream bytes [begin, end) each calling for `weight` answers
    uint64_t begin, end;
    unsigned weight;
  };
  uint64_t end_offset() const { return sent_ + out_.size(); }
  void mark_answers(uint64_t begin, uint64_t end, unsigned weight);
  size_t answers_in(size_t length) const;
  void whole_bytes(const BitVector &in, size_t from, size_t count, bool read);
  void bits(const BitVector &in, size_t from, size_t count, bool read);

  TdoDecoder &decoder_;
  std::vector<uint8_t> out_;
  uint64_t sent_ = 0;                // stream offset of out_[0]
  std::deque<Answering> answering_;  // in stream order
  size_t pending_answers_ = 0;
  uint64_t open_tms_ = UINT64_MAX;  // stream offset of a TMS-out command that may grow
};

}  // namespace jtag::ftdi

#endif
