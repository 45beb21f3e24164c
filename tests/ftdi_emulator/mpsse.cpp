#include "mpsse.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "protocols/rbb_protocol.h"

namespace ftdi_emu {

namespace {

// Flag bits of the data shifting commands 0x10-0x3F and of the TMS commands
// (bit 0, write on the falling edge, changes nothing untimed).
constexpr uint8_t kBitMode = 0x02;
constexpr uint8_t kReadOnFalling = 0x04;
constexpr uint8_t kLsbFirst = 0x08;
constexpr uint8_t kWriteTdi = 0x10;
constexpr uint8_t kReadTdo = 0x20;

constexpr uint8_t kBadCommandAnswer = 0xFA;

bool is_data_shift(uint8_t op) { return op >= 0x10 && op <= 0x3F; }
bool is_tms_shift(uint8_t op) {
  return op == 0x4A || op == 0x4B || op == 0x6A || op == 0x6B || op == 0x6E || op == 0x6F;
}

// A command's length (a byte shift's header only) and the answer bytes it
// sends as a whole: a byte shift answers per data byte as it goes, an
// unknown command 0xFA and itself.
struct Shape {
  std::size_t length, answer;
};
Shape shape_of(uint8_t op) {
  const std::size_t reads = (op & kReadTdo) != 0 ? 1 : 0;
  if (is_data_shift(op))
    return {(op & kBitMode) != 0 && (op & kWriteTdi) == 0 ? 2u : 3u, (op & kBitMode) != 0 ? reads : 0};
  if (is_tms_shift(op)) return {3, reads};
  if (op == 0x80 || op == 0x82 || op == 0x86 || op == 0x8F) return {3, 0};
  if (op == 0x8E) return {2, 0};
  if (op == 0x81 || op == 0x83) return {1, 1};
  static constexpr uint8_t kOneByte[] = {0x84, 0x85, 0x87, 0x8A, 0x8B, 0x8C, 0x8D, 0x96, 0x97};
  return {1, std::ranges::find(kOneByte, op) != std::end(kOneByte) ? 0u : 2u};
}

uint32_t length_field(std::span<const uint8_t> command) { return uint32_t(command[1]) | uint32_t(command[2]) << 8; }

}  // namespace

std::vector<uint8_t> resolve_answer(const Batch &batch, const std::vector<bool> &samples) {
  std::vector<uint8_t> bytes;
  bytes.reserve(batch.answer.size());
  for (const AnswerByte &a : batch.answer) {
    uint8_t value = a.fixed;
    for (const auto &[index, bit] : a.samples) {
      const bool known = (index & kKnownSample) != 0;
      const std::size_t at = index & ~kKnownSample;
      const std::vector<bool> &from = known ? batch.loopback_bits : samples;
      if (at < from.size() && from[at]) value = uint8_t(value | 1u << bit);
    }
    bytes.push_back(value);
  }
  return bytes;
}

void Mpsse::reset() {
  drop_partial();
  loopback_ = false;
  low_value_ = low_direction_ = high_value_ = high_direction_ = 0;
}

void Mpsse::run(std::size_t answer_room, Batch &batch) {
  const std::size_t have = batch.answer.size();
  const std::size_t limit = answer_room > SIZE_MAX - have ? SIZE_MAX : have + answer_room;
  const std::size_t used = run_commands(0, limit, batch);
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
  if ((low_value_ & kPinTck) == 0) return;  // TCK back low after the clocks
  set_pin(kPinTck, false);
  drive_lines(batch);
}

std::size_t Mpsse::run_commands(std::size_t at, std::size_t answer_limit, Batch &batch) {
  for (;;) {
    if (shift_) {
      at += continue_byte_shift(at, answer_limit, batch);
      if (shift_) return at;  // waiting for data or for room
      continue;
    }
    if (at >= pending_.size()) return at;
    const std::size_t room = answer_limit - batch.answer.size();
    if (bad_command_at_ != 0 && command_bytes_ + 1 == bad_command_at_) {
      if (room < 2) return at;
      ++command_bytes_;
      bad_command(pending_[at], batch);
      ++at;
      continue;
    }
    const Shape shape = shape_of(pending_[at]);
    const std::size_t length = shape.length;
    if (pending_.size() - at < length || shape.answer > room) return at;  // wait for its bytes, or for room
    ++command_bytes_;
    const uint8_t op = pending_[at];
    if (is_data_shift(op) && (op & kBitMode) == 0) {
      shift_ = ByteShift{op, length_field(std::span<const uint8_t>(pending_).subspan(at, 3)) + 1};
    } else {
      execute(std::span<const uint8_t>(pending_).subspan(at, length), batch);
    }
    at += length;
  }
}

std::size_t Mpsse::continue_byte_shift(std::size_t at, std::size_t answer_limit, Batch &batch) {
  const bool writes = (shift_->op & kWriteTdi) != 0;
  const bool reads = (shift_->op & kReadTdo) != 0;
  std::size_t bytes = shift_->remaining;
  if (writes) bytes = std::min(bytes, pending_.size() - at);
  if (reads) bytes = std::min(bytes, answer_limit - batch.answer.size());
  for (std::size_t n = 0; n < bytes; ++n) shift_data(shift_->op, 8, writes ? pending_[at + n] : 0, batch);
  shift_->remaining -= uint32_t(bytes);
  if (shift_->remaining == 0) shift_.reset();
  return writes ? bytes : 0;
}

void Mpsse::execute(std::span<const uint8_t> command, Batch &batch) {
  const uint8_t op = command[0];
  if (is_data_shift(op)) {
    const int bits = (command[1] & 0x07) + 1;  // bit mode: 1-8 bits
    return shift_data(op, bits, (op & kWriteTdi) != 0 ? command[2] : 0, batch);
  }
  if (is_tms_shift(op)) return shift_tms(command, batch);
  switch (op) {
    case 0x80:
    case 0x82: return set_pins(op == 0x80, command[1], command[2], batch);
    case 0x81:
    case 0x83: return answer_pins(op == 0x81, batch);
    case 0x84:
    case 0x85: loopback_ = op == 0x84; return;
    case 0x8E: return clock_only(uint32_t(command[1] & 0x07) + 1, batch);
    case 0x8F: return clock_only((length_field(command) + 1) * 8, batch);
    case 0x86: divisor_ = uint16_t(command[1] | command[2] << 8); return tell_clock(batch);
    case 0x8A:
    case 0x8B: divide_by_5_ = op == 0x8B; return tell_clock(batch);
    // 0x87 (send now: answers go at once anyway) and the other clock
    // settings (0x8C, 0x8D, 0x96/0x97) are taken; nothing is timed.
    default:
      if (shape_of(op).answer != 0) bad_command(op, batch);  // unknown
      return;
  }
}

// 0x10-0x3F: TDI from `out` (or held when the command does not write),
// either bit order; TMS keeps the level its pin has.  The TDO bits of a
// bit-mode read come in at the top of the byte (LSB first) or at its
// bottom (MSB first) and move along with each new one.
void Mpsse::shift_data(uint8_t op, int bits, uint8_t out, Batch &batch) {
  const bool writes = (op & kWriteTdi) != 0;
  const bool reads = (op & kReadTdo) != 0;
  const bool lsb = (op & kLsbFirst) != 0;
  AnswerByte answer;
  for (int i = 0; i < bits; ++i) {
    const bool level = writes ? ((out >> (lsb ? i : 7 - i)) & 1) != 0 : tdi();
    const uint32_t s = clock(tms(), level, reads, (op & kReadOnFalling) != 0, batch);
    if (reads) answer.samples.emplace_back(s, uint8_t(lsb ? 8 - bits + i : bits - 1 - i));
  }
  if (reads) batch.answer.push_back(std::move(answer));
}

// 0x4A/0x4B (and 0x6A/0x6B/0x6E/0x6F with TDO read): 1-7 TMS bits from the
// data byte, LSB first, with its bit 7 held on TDI throughout.
void Mpsse::shift_tms(std::span<const uint8_t> command, Batch &batch) {
  const uint8_t op = command[0];
  const bool reads = (op & kReadTdo) != 0;
  const bool late_read = (op & kReadOnFalling) != 0;
  const int bits = std::min((command[1] & 0x07) + 1, 7);
  const uint8_t data = command[2];
  const bool tdi_level = (data & 0x80) != 0;
  AnswerByte answer;
  for (int i = 0; i < bits; ++i) {
    const uint32_t s = clock(((data >> i) & 1) != 0, tdi_level, reads, late_read, batch);
    if (reads) answer.samples.emplace_back(s, uint8_t(8 - bits + i));
  }
  if (reads) batch.answer.push_back(std::move(answer));
}

// TCK is half the divided clock: 60 MHz, or 12 MHz with the divide-by-5
// the chip starts with.  The rate goes to the board once the divisor is set
// (its value at power-up is not documented), and again at each change.
void Mpsse::tell_clock(Batch &batch) {
  if (!divisor_) return;
  const uint64_t hz = (divide_by_5_ ? 12000000U : 60000000U) / (2 * (uint64_t(*divisor_) + 1));
  if (hz == rate_sent_) return;
  rate_sent_ = hz;
  batch.wire += jtag::rbb::tck_rate_request(hz);
}

// 0x80/0x82: a byte's levels and directions; a reset line that changes
// is forwarded.
void Mpsse::set_pins(bool low, uint8_t value, uint8_t direction, Batch &batch) {
  (low ? low_value_ : high_value_) = value;
  (low ? low_direction_ : high_direction_) = direction;
  if (low) drive_lines(batch);
  const bool trst = pin_asserted(trst_pin_);
  const bool srst = pin_asserted(srst_pin_);
  if (trst == trst_ && srst == srst_) return;
  trst_ = trst;
  srst_ = srst;
  batch.wire.push_back(jtag::rbb::reset_byte(trst, srst));
}

// Outputs read back as driven; TDO as the board has it; other inputs float
// high (the chip's pull-ups).
void Mpsse::answer_pins(bool low, Batch &batch) {
  const uint8_t value = low ? low_value_ : high_value_;
  const uint8_t direction = low ? low_direction_ : high_direction_;
  const uint8_t pulled_up = low ? uint8_t(~kPinTdo) : uint8_t(0xFF);
  AnswerByte answer{uint8_t((value & direction) | (~direction & pulled_up)), {}};
  if (low) answer.samples.emplace_back(sample(batch, tdi()), uint8_t(2));
  batch.answer.push_back(std::move(answer));
}

void Mpsse::clock_only(uint32_t clocks, Batch &batch) {
  for (uint32_t i = 0; i < clocks; ++i) clock(tms(), tdi(), false, false, batch);
}

void Mpsse::bad_command(uint8_t op, Batch &batch) {
  ++bad_commands_;
  batch.answer.push_back(AnswerByte{kBadCommandAnswer, {}});
  batch.answer.push_back(AnswerByte{op, {}});
}

uint32_t Mpsse::clock(bool tms, bool tdi, bool read, bool late_read, Batch &batch) {
  set_pin(kPinTms, tms);
  set_pin(kPinTdi, tdi);
  uint32_t s = 0;
  if (loopback_) {
    // TDI is wired back to TDO inside the chip; the board sees nothing.
    if (read) s = sample(batch, tdi);
    return s;
  }
  set_pin(kPinTck, false);
  drive_lines(batch);
  if (read && !late_read) s = sample(batch, tdi);
  set_pin(kPinTck, true);
  drive_lines(batch);
  if (read && late_read) s = sample(batch, tdi);
  return s;
}

uint32_t Mpsse::sample(Batch &batch, bool loopback_value) {
  if (loopback_) {
    // Known now: kept apart from the board's samples, marked as such.
    batch.loopback_bits.push_back(loopback_value);
    return uint32_t(batch.loopback_bits.size() - 1) | kKnownSample;
  }
  batch.wire.push_back(jtag::rbb::kReadTdo);
  ++batch.samples;
  return uint32_t(batch.samples - 1);
}

void Mpsse::drive_lines(Batch &batch) {
  const char byte = jtag::rbb::line_byte((low_value_ & kPinTck) != 0, tms(), tdi());
  if (byte == lines_sent_) return;
  batch.wire.push_back(byte);
  lines_sent_ = byte;
}

bool Mpsse::pin_asserted(int pin) const {
  if (pin < 0 || pin > 15) return false;
  const uint8_t mask = uint8_t(1u << (pin % 8));
  const uint8_t value = pin < 8 ? low_value_ : high_value_;
  const uint8_t direction = pin < 8 ? low_direction_ : high_direction_;
  return (direction & mask) != 0 && (value & mask) == 0;
}

}  // namespace ftdi_emu
