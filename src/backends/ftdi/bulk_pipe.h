// The two bulk endpoints of one FTDI channel, driven the way the chip needs
// them: an OUT transfer of commands goes while IN transfers take the
// answers, so that a write may be far larger than the chip buffers.
//
// An FT2232H channel holds 4 KiB of commands and 4 KiB of answers.  When
// the answers fill their buffer the MPSSE stops, its command buffer fills
// and the chip refuses further OUT packets until the host reads; a host that
// wrote many read commands in one synchronous transfer would wait forever.
// Here an IN transfer is kept in flight whenever answers are owed, so the
// OUT side never waits on the host.
//
// libusb calls back from inside its event handling, which is C: the
// callbacks only note what came, and the answers and failures are dealt
// with after the events were handled, where C++ may throw.
#ifndef JTAGBOX_BACKENDS_FTDI_BULK_PIPE_H
#define JTAGBOX_BACKENDS_FTDI_BULK_PIPE_H

#include <libusb.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

namespace jtag::ftdi {

// Why the pipe stopped; the backend words it for the user.
class PipeError : public std::runtime_error {
 public:
  enum class Kind {
    kWriteTimeout,  // the chip took no (more) commands within the bound
    kSilent,        // answers were owed and none came within the bound
    kFailed,        // a transfer failed or could not be submitted: `code`
  };
  PipeError(Kind why, libusb_error error, bool while_writing)
      : std::runtime_error(libusb_strerror(error)), kind(why), code(error), writing(while_writing) {}
  Kind kind;
  libusb_error code;
  bool writing;
};

class BulkPipe {
 public:
  // Answer bytes, the status bytes of each packet taken out, in order.
  using Sink = std::function<void(const uint8_t *data, size_t size)>;
  // Whether answers are owed: an IN transfer is kept in flight while they are.
  using Owed = std::function<bool()>;

  struct Endpoints {
    libusb_context *context;
    libusb_device_handle *handle;
    unsigned char out, in;
    size_t packet_bytes;  // every IN packet of this size starts with two status bytes
  };

  BulkPipe(const Endpoints &endpoints, Sink sink, Owed owed);
  // Cancels what is still in flight and waits until libusb gives it back
  // (the callback of a cancelled transfer always comes, with the device's
  // end at the latest), bounded by kCancelBound; a transfer libusb still
  // holds then is handed to its own callback, which frees it when it ends.
  ~BulkPipe();
  BulkPipe(const BulkPipe &) = delete;
  BulkPipe &operator=(const BulkPipe &) = delete;

  // One bulk OUT transfer, answers taken meanwhile; returns once the chip
  // has all of `bytes`.  Throws PipeError (kWriteTimeout when for `bound`
  // neither the transfer ended nor an answer came).
  void write(const std::vector<uint8_t> &bytes, std::chrono::milliseconds bound);
  // Takes answers until `done()`; throws PipeError (kSilent) when answers
  // are owed and none came for `silence`.
  void read_until(const std::function<bool()> &done, std::chrono::milliseconds silence);

 private:
  enum class Flight { kIdle, kBusy, kDone };
  struct TransferFree {
    void operator()(libusb_transfer *t) const { libusb_free_transfer(t); }
  };
  using Transfer = std::unique_ptr<libusb_transfer, TransferFree>;
  struct Orphan;  // a transfer that outlived its pipe, with its buffer

  static void LIBUSB_CALL on_out_done(libusb_transfer *transfer);
  static void LIBUSB_CALL on_in_done(libusb_transfer *transfer);
  static void LIBUSB_CALL on_orphan_done(libusb_transfer *transfer);
  static void orphan(Transfer transfer, std::vector<uint8_t> bytes);
  void keep_reading();
  void handle_events();
  void deliver();
  // Handles events and delivers the answers, an IN transfer kept in flight
  // while they are owed, until `done()`; throws PipeError(`why`) when for
  // `bound` no answer came.
  void pump_until(const std::function<bool()> &done, std::chrono::milliseconds bound, PipeError::Kind why,
                  bool writing);
  void cancel_and_wait(libusb_transfer *transfer, const Flight &flight);

  Endpoints endpoints_;
  Sink sink_;
  Owed owed_;
  Transfer out_, in_;
  std::vector<uint8_t> out_bytes_, in_bytes_;
  Flight out_flight_ = Flight::kIdle, in_flight_ = Flight::kIdle;
  int out_status_ = 0, in_status_ = 0;
  std::vector<uint8_t> arrived_;  // answers the callbacks noted, not yet delivered
  int event_ = 0;                 // set by a callback: stop waiting for events
};

}  // namespace jtag::ftdi

#endif
