#include "backends/ftdi/bulk_pipe.h"

#include <algorithm>
#include <utility>

namespace jtag::ftdi {
namespace {

using Clock = std::chrono::steady_clock;

// One IN transfer: 32 packets of 512 bytes, 16,320 answer bytes.
constexpr size_t kInTransferBytes = 1 << 14;
// How long one look at libusb's events may take: short, so that the bounds
// above it are kept to within this.
constexpr long kEventSliceUs = 20000;
// How long a cancelled transfer is waited for.  The chip (or the process
// emulating it) answers a cancellation at once when it is alive, and the
// kernel ends every transfer of a device that went; only a machine too
// loaded to run either takes longer.
constexpr auto kCancelBound = std::chrono::seconds(30);

Clock::duration since(Clock::time_point t) { return Clock::now() - t; }

libusb_error error_of(int transfer_status) {
  switch (transfer_status) {
    case LIBUSB_TRANSFER_NO_DEVICE: return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_STALL: return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_OVERFLOW: return LIBUSB_ERROR_OVERFLOW;
    case LIBUSB_TRANSFER_TIMED_OUT: return LIBUSB_ERROR_TIMEOUT;
    default: return LIBUSB_ERROR_IO;
  }
}

}  // namespace

BulkPipe::BulkPipe(const Endpoints &endpoints, Sink sink, Owed owed)
    : endpoints_(endpoints),
      sink_(std::move(sink)),
      owed_(std::move(owed)),
      out_(libusb_alloc_transfer(0)),
      in_(libusb_alloc_transfer(0)),
      in_bytes_(kInTransferBytes) {
  if (!out_ || !in_) throw PipeError(PipeError::Kind::kFailed, LIBUSB_ERROR_NO_MEM, false);
}

BulkPipe::~BulkPipe() {
  cancel_and_wait(out_.get(), out_flight_);
  cancel_and_wait(in_.get(), in_flight_);
  // A transfer libusb still holds must not be freed under it, nor its buffer.
  if (out_flight_ == Flight::kBusy) orphan(std::move(out_), std::move(out_bytes_));
  if (in_flight_ == Flight::kBusy) orphan(std::move(in_), std::move(in_bytes_));
}

// A transfer that outlived its pipe, with the buffer it writes to or reads
// from; freed by its callback, from whoever handles the context's events
// next (libusb_close, at the latest).
struct BulkPipe::Orphan {
  Transfer transfer;
  std::vector<uint8_t> bytes;
};

void BulkPipe::orphan(Transfer transfer, std::vector<uint8_t> bytes) {
  // Moving a vector keeps its storage, so the transfer's buffer stays put.
  auto *kept = new Orphan{std::move(transfer), std::move(bytes)};
  kept->transfer->user_data = kept;
  kept->transfer->callback = on_orphan_done;
}

void LIBUSB_CALL BulkPipe::on_orphan_done(libusb_transfer *transfer) {
  delete static_cast<Orphan *>(transfer->user_data);
}

void BulkPipe::cancel_and_wait(libusb_transfer *transfer, const Flight &flight) {
  if (flight != Flight::kBusy) return;
  // Even when the cancellation is refused (the transfer is ending, or the
  // device is gone) its callback is still to come: wait for it all the same.
  (void)libusb_cancel_transfer(transfer);
  const auto started = Clock::now();
  while (flight == Flight::kBusy && since(started) < kCancelBound) handle_events();
}

void LIBUSB_CALL BulkPipe::on_out_done(libusb_transfer *transfer) {
  auto *self = static_cast<BulkPipe *>(transfer->user_data);
  self->out_status_ = transfer->status;
  self->out_flight_ = Flight::kDone;
  self->event_ = 1;
}

// Every packet starts with the chip's two status bytes; a transfer holds
// whole packets but for its last.
void LIBUSB_CALL BulkPipe::on_in_done(libusb_transfer *transfer) {
  auto *self = static_cast<BulkPipe *>(transfer->user_data);
  self->in_status_ = transfer->status;
  self->in_flight_ = Flight::kDone;
  self->event_ = 1;
  if (transfer->status != LIBUSB_TRANSFER_COMPLETED) return;
  const size_t length = size_t(transfer->actual_length);
  const size_t packet = self->endpoints_.packet_bytes;
  for (size_t at = 0; at < length; at += packet) {
    const size_t end = std::min(length, at + packet);
    if (end > at + 2) self->arrived_.insert(self->arrived_.end(), transfer->buffer + at + 2, transfer->buffer + end);
  }
}

void BulkPipe::handle_events() {
  event_ = 0;
  timeval slice{0, kEventSliceUs};
  libusb_handle_events_timeout_completed(endpoints_.context, &slice, &event_);
}

// What the IN transfer brought goes to the sink, a failure is thrown, and a
// new IN transfer goes out while answers are owed.
void BulkPipe::deliver() {
  if (in_flight_ == Flight::kDone) {
    in_flight_ = Flight::kIdle;
    if (in_status_ != LIBUSB_TRANSFER_COMPLETED && in_status_ != LIBUSB_TRANSFER_TIMED_OUT)
      throw PipeError(PipeError::Kind::kFailed, error_of(in_status_), false);
  }
  if (!arrived_.empty()) {
    const std::vector<uint8_t> answers = std::exchange(arrived_, {});
    sink_(answers.data(), answers.size());
  }
  keep_reading();
}

void BulkPipe::keep_reading() {
  if (in_flight_ != Flight::kIdle || !owed_()) return;
  libusb_fill_bulk_transfer(in_.get(), endpoints_.handle, endpoints_.in, in_bytes_.data(), int(in_bytes_.size()),
                            on_in_done, this, 0);
  const int r = libusb_submit_transfer(in_.get());
  if (r != 0) throw PipeError(PipeError::Kind::kFailed, libusb_error(r), false);
  in_flight_ = Flight::kBusy;
}

void BulkPipe::write(const std::vector<uint8_t> &bytes, std::chrono::milliseconds bound) {
  out_bytes_ = bytes;
  libusb_fill_bulk_transfer(out_.get(), endpoints_.handle, endpoints_.out, out_bytes_.data(), int(out_bytes_.size()),
                            on_out_done, this, 0);
  const int r = libusb_submit_transfer(out_.get());
  if (r != 0) throw PipeError(PipeError::Kind::kFailed, libusb_error(r), true);
  out_flight_ = Flight::kBusy;
  // The chip takes a write as fast as it acts on it, and it acts on reads
  // only as their answers are taken: while answers come it is alive, however
  // long the write.  (What is still in flight when this throws is cancelled
  // by the destructor.)
  pump_until([this] { return out_flight_ != Flight::kBusy; }, bound, PipeError::Kind::kWriteTimeout, true);
  out_flight_ = Flight::kIdle;
  if (out_status_ != LIBUSB_TRANSFER_COMPLETED) throw PipeError(PipeError::Kind::kFailed, error_of(out_status_), true);
  if (size_t(out_->actual_length) != bytes.size())
    throw PipeError(PipeError::Kind::kWriteTimeout, LIBUSB_ERROR_TIMEOUT, true);
}

void BulkPipe::read_until(const std::function<bool()> &done, std::chrono::milliseconds silence) {
  pump_until(done, silence, PipeError::Kind::kSilent, false);
}

void BulkPipe::pump_until(const std::function<bool()> &done, std::chrono::milliseconds bound, PipeError::Kind why,
                          bool writing) {
  auto last_answer = Clock::now();
  deliver();
  while (!done()) {
    if (since(last_answer) >= bound) throw PipeError(why, LIBUSB_ERROR_TIMEOUT, writing);
    handle_events();
    if (!arrived_.empty()) last_answer = Clock::now();
    deliver();
  }
}

}  // namespace jtag::ftdi
