#include "backends/ftdi/mpsse_encoder.h"

#include <algorithm>
#include <cstdio>

namespace jtag::ftdi {
namespace {

// The commands this encoder sends: a refusal naming one of them is read as
// the chip's, an 0xFA before anything else may be a TDO byte.
bool is_sent_command(uint8_t byte) {
  using namespace mpsse;
  for (const uint8_t c :
       {kBytesOut, kBytesInOut, kBitsOut, kBitsInOut, kTmsOut, kTmsInOut, kSetLowPins, kSetHighPins, kLoopbackOff,
        kClockDivisor, kSendImmediate, kDivideBy5Off, kThreePhaseOff, kAdaptiveClockOff})
    if (byte == c) return true;
  return false;
}

std::string hex_byte(uint8_t byte) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02x", unsigned(byte));
  return text;
}

}  // namespace

void TdoDecoder::add(const Answer &a) {
  answers_.push_back(a);
  awaited_ += a.bytes;
}

void TdoDecoder::feed(const uint8_t *data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (answers_.empty()) out_of_step(data, size, i);
    Answer &a = answers_.front();
    const uint8_t byte = data[i];
    if (a.bits == 0) {
      if (byte != (echo_at_ == 0 ? mpsse::kBadCommand : a.echo)) out_of_step(data, size, i);
      if (++echo_at_ < 2) {
        --awaited_;
        continue;
      }
      echo_at_ = 0;
      a.bytes = 1;
    } else if (a.bits == 8) {
      for (unsigned b = 0; b < 8; ++b) bits_.push_back(((byte >> b) & 1U) != 0);
    } else {
      for (unsigned b = 8 - a.bits; b < 8; ++b) bits_.push_back(((byte >> b) & 1U) != 0);
    }
    --awaited_;
    if (--a.bytes == 0) answers_.pop_front();
  }
}

std::optional<uint8_t> TdoDecoder::refused_in(const uint8_t *data, size_t size) {
  for (size_t i = 0; i + 1 < size; ++i)
    if (data[i] == mpsse::kBadCommand && is_sent_command(data[i + 1])) return data[i + 1];
  return std::nullopt;
}

std::string refusal_text(uint8_t command) {
  return "the probe refused command " + hex_byte(command) + " (answered 0xfa " + hex_byte(command) + ")";
}

void TdoDecoder::out_of_step(const uint8_t *data, size_t size, size_t at) {
  if (const auto refused = refused_in(data, size)) throw AnswerError(refusal_text(*refused));
  throw AnswerError("the probe's answers are out of step with the commands sent (" + hex_byte(data[at]) +
                    " where none or another was due)");
}

BitVector TdoDecoder::take_front(size_t count) {
  if (count > bits_.size()) throw AnswerError("fewer TDO bits came than were read");
  BitVector out(count);
  for (size_t i = 0; i < count; ++i) out.set(i, bits_[i]);
  bits_.erase(bits_.begin(), bits_.begin() + std::ptrdiff_t(count));
  return out;
}

BitVector TdoDecoder::take_back(size_t count) {
  if (count > bits_.size()) throw AnswerError("fewer TDO bits came than were read");
  BitVector out(count);
  const size_t first = bits_.size() - count;
  for (size_t i = 0; i < count; ++i) out.set(i, bits_[first + i]);
  bits_.erase(bits_.begin() + std::ptrdiff_t(first), bits_.end());
  return out;
}

void MpsseEncoder::tms(bool tms, bool tdi, bool read) {
  using namespace mpsse;
  if (!read && open_tms_ != UINT64_MAX && open_tms_ >= sent_ && end_offset() == open_tms_ + 3) {
    const size_t at = size_t(open_tms_ - sent_);
    uint8_t &length = out_[at + 1];
    uint8_t &data = out_[at + 2];
    if (length + 1U < kMaxTmsBits && ((data >> 7) & 1U) == unsigned(tdi)) {
      ++length;
      data = uint8_t(data | (unsigned(tms) << length));
      return;
    }
  }
  const uint64_t at = end_offset();
  out_.push_back(read ? kTmsInOut : kTmsOut);
  out_.push_back(0);
  out_.push_back(uint8_t((unsigned(tdi) << 7) | unsigned(tms)));
  if (read) {
    mark_answers(at + 2, at + 3, 1);
    decoder_.expect_top_bits(1);
    open_tms_ = UINT64_MAX;
  } else {
    open_tms_ = at;
  }
}

void MpsseEncoder::shift(const BitVector &in, bool read, bool exit) {
  const size_t n = in.size();
  if (n == 0) return;
  const size_t body = exit ? n - 1 : n;
  const size_t whole = body / 8 * 8;
  whole_bytes(in, 0, whole, read);
  bits(in, whole, body - whole, read);
  if (exit) tms(true, in.get(n - 1), read);
}

void MpsseEncoder::whole_bytes(const BitVector &in, size_t from, size_t count, bool read) {
  for (size_t done = 0; done < count;) {
    const size_t bytes = std::min((count - done) / 8, mpsse::kMaxBytesPerCommand);
    out_.push_back(read ? mpsse::kBytesInOut : mpsse::kBytesOut);
    out_.push_back(uint8_t((bytes - 1) & 0xFF));
    out_.push_back(uint8_t((bytes - 1) >> 8));
    const uint64_t data_at = end_offset();
    for (size_t b = 0; b < bytes; ++b) out_.push_back(uint8_t(in.get_bits(from + done + 8 * b, 8)));
    if (read) {
      mark_answers(data_at, data_at + bytes, 1);
      decoder_.expect_bytes(bytes);
    }
    done += 8 * bytes;
  }
}

void MpsseEncoder::bits(const BitVector &in, size_t from, size_t count, bool read) {
  if (count == 0) return;
  out_.push_back(read ? mpsse::kBitsInOut : mpsse::kBitsOut);
  out_.push_back(uint8_t(count - 1));
  out_.push_back(uint8_t(in.get_bits(from, unsigned(count))));
  if (read) {
    mark_answers(end_offset() - 1, end_offset(), 1);
    decoder_.expect_top_bits(unsigned(count));
  }
}

void MpsseEncoder::command(std::initializer_list<uint8_t> bytes) { out_.insert(out_.end(), bytes); }

void MpsseEncoder::echo() {
  out_.push_back(mpsse::kBogus);
  mark_answers(end_offset() - 1, end_offset(), 2);
  decoder_.expect_echo(mpsse::kBogus);
}

void MpsseEncoder::mark_answers(uint64_t begin, uint64_t end, unsigned weight) {
  pending_answers_ += size_t(end - begin) * weight;
  answering_.push_back({begin, end, weight});
}

size_t MpsseEncoder::answers_in(size_t length) const {
  size_t answers = 0;
  for (const Answering &r : answering_) {
    const uint64_t begin = std::max(r.begin, sent_), end = std::min(r.end, sent_ + length);
    if (begin >= sent_ + length) break;
    if (end > begin) answers += size_t(end - begin) * r.weight;
  }
  return answers;
}

std::vector<uint8_t> MpsseEncoder::take_write(size_t max_bytes) {
  const size_t length = std::min(max_bytes, out_.size());
  pending_answers_ -= answers_in(length);
  std::vector<uint8_t> write(out_.begin(), out_.begin() + std::ptrdiff_t(length));
  out_.erase(out_.begin(), out_.begin() + std::ptrdiff_t(length));
  sent_ += length;
  while (!answering_.empty() && answering_.front().end <= sent_) answering_.pop_front();
  if (out_.empty() && in_flight() > 0) write.push_back(mpsse::kSendImmediate);
  return write;
}

}  // namespace jtag::ftdi
