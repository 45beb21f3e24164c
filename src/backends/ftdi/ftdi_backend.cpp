#include "backends/ftdi/ftdi_backend.h"

#include <ftdi.h>
#include <libusb.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "backends/ftdi/bulk_pipe.h"
#include "backends/ftdi/ftdi_options.h"
#include "backends/ftdi/mpsse_encoder.h"
#include "backends/tap_record_file.h"

namespace jtag::ftdi {
namespace {

// The MPSSE families: the fastest TCK, the extra commands, the channels.
struct Chip {
  const char *name;
  unsigned max_khz;
  bool h_family;         // has 0x8A, 0x8D, 0x97
  unsigned mpsse_ports;  // channels A.. with an MPSSE
};

const Chip *chip_of(ftdi_chip_type type) {
  static constexpr Chip k2232h{"FT2232H", kMaxKhzH, true, 2};
  static constexpr Chip k4232h{"FT4232H", kMaxKhzH, true, 2};
  static constexpr Chip k232h{"FT232H", kMaxKhzH, true, 1};
  static constexpr Chip k2232d{"FT2232D", kMaxKhzD, false, 2};
  switch (type) {
    case TYPE_2232H: return &k2232h;
    case TYPE_4232H: return &k4232h;
    case TYPE_232H: return &k232h;
    case TYPE_2232C: return &k2232d;
    default: return nullptr;
  }
}

// One bulk OUT transfer at most: the chip takes it at the pace of TCK while
// the answers it calls for are read (bulk_pipe.h).
constexpr size_t kWriteBytes = 1 << 16;
// Answers read before the first 0xFA 0xAA: the stale bytes of an earlier run.
constexpr size_t kMaxNoiseBytes = 1 << 18;
constexpr unsigned char kLatencyMs = 2;
constexpr int kUsbTimeoutMs = kAnswerSeconds * 1000;
constexpr uint8_t kJtagDirections = 0x0B;  // TCK, TDI, TMS out; TDO in
constexpr uint8_t kTmsPin = 0x08;
constexpr const char *kReplug = "; unplug and replug the probe, then run JTAG_Reset";

struct ContextFree {
  void operator()(ftdi_context *c) const { ftdi_free(c); }  // closes the device too
};
struct HandleClose {
  void operator()(libusb_device_handle *h) const { libusb_close(h); }
};

std::string ids_text(const FtdiOptions &o) {
  char text[16];
  std::snprintf(text, sizeof text, "%04x:%04x", unsigned(o.vid), unsigned(o.pid));
  return text;
}

std::string joined(const std::vector<std::string> &items) {
  std::string out;
  for (const std::string &s : items) out += (out.empty() ? "" : ", ") + (s.empty() ? std::string("(none)") : s);
  return out;
}

// One USB device that matches the IDs: where it is, and its serial.
struct Candidate {
  libusb_device *device;
  std::string serial;
};

class FtdiLines final : public BackendLines {
 public:
  explicit FtdiLines(const FtdiOptions &options) : options_(options), context_(ftdi_new()) {
    if (!context_) throw PlatformError("FTDI probe " + ids_text(options_) + ": cannot start libftdi");
    find_and_open();
  }
  ~FtdiLines() override = default;
  FtdiLines(const FtdiLines &) = delete;
  FtdiLines &operator=(const FtdiLines &) = delete;

  const Chip &chip() const { return *chip_; }
  const std::string &serial() const { return serial_; }

  // The MPSSE on, the chip in step, the clock and the pins set.
  void start() {
    check_libftdi(ftdi_set_latency_timer(context_.get(), kLatencyMs), "cannot set the latency timer");
    check_libftdi(ftdi_set_bitmode(context_.get(), 0, BITMODE_RESET), "cannot reset the bit mode");
    check_libftdi(ftdi_set_bitmode(context_.get(), kJtagDirections, BITMODE_MPSSE), "cannot enter MPSSE mode");
    check_libftdi(ftdi_tcioflush(context_.get()), "cannot purge the buffers");
    pipe_ = std::make_unique<BulkPipe>(
        BulkPipe::Endpoints{context_->usb_ctx, context_->usb_dev, static_cast<unsigned char>(context_->in_ep),
                            static_cast<unsigned char>(context_->out_ep), size_t(context_->max_packet_size)},
        [this](const uint8_t *data, size_t size) { take_answers(data, size); },
        [this] { return (written_any() && !in_step_) || encoder_.in_flight() > 0; });
    // AN108's way into step: the bad command 0xAA, answered 0xFA 0xAA,
    // before anything else.  What the chip held from an earlier run comes
    // before that answer and is dropped; it costs no round trip of its own.
    encoder_.command({mpsse::kBogus});
    encoder_.command({mpsse::kLoopbackOff});
    if (chip_->h_family) encoder_.command({mpsse::kDivideBy5Off, mpsse::kAdaptiveClockOff, mpsse::kThreePhaseOff});
    set_divisor(tck_divisor(options_.khz * 1e3, chip_->max_khz));
    if (options_.trst) set_pin(*options_.trst, true);
    if (options_.srst) set_pin(*options_.srst, true);
    encoder_.command({mpsse::kSetLowPins, low_levels_, low_directions_});
    if (high_directions_ != 0) encoder_.command({mpsse::kSetHighPins, high_levels_, high_directions_});
    // Confirmed, with the 0xAA, by the first answers the run needs.
  }

  bool clock(bool tms, bool tdi) override {
    encoder_.tms(tms, tdi, true);
    sync();
    return take_back(1).get(0);
  }

  void pulse(bool tms, bool tdi) override {
    encoder_.tms(tms, tdi, false);
    transmit(false);
  }

  BitVector shift_bits(const BitVector &in, bool recycle) override {
    if (recycle) return BackendLines::shift_bits(in, true);  // each TDI is the TDO before it: a round trip each
    encoder_.shift(in, true);
    sync();
    return take_back(in.size());
  }

  void shift_unread(const BitVector &in) override {
    encoder_.shift(in, false);
    transmit(false);
  }

  BitVector shift_staying(const BitVector &in, bool read) override {
    encoder_.shift(in, read, false);
    if (!read) {
      transmit(false);
      return {};
    }
    sync();
    return take_back(in.size());
  }

  bool defers_shifts() const override { return true; }

  void queue_shift(const BitVector &in) override {
    encoder_.shift(in, true);
    deferred_.push_back(in.size());
    transmit(false);
  }

  BitVector collect_shift() override {
    if (deferred_.empty()) fail("a shift was collected that was never queued");
    const size_t n = deferred_.front();
    if (decoder_.bits_ready() < n) sync();
    deferred_.pop_front();
    return take_front(n);
  }

  bool has_trst() const override { return options_.trst.has_value(); }
  void set_trst(bool asserted) override {
    if (!options_.trst) BackendLines::set_trst(asserted);
    drive_reset(*options_.trst, asserted);
  }
  bool has_srst() const override { return options_.srst.has_value(); }
  void set_srst(bool asserted) override {
    if (!options_.srst) BackendLines::set_srst(asserted);
    drive_reset(*options_.srst, asserted);
  }

  // The divisor command goes in the stream after everything gathered, so
  // what came before runs at the old rate.
  std::optional<double> set_tck_hz(double hz) override {
    set_divisor(tck_divisor(hz, chip_->max_khz));
    transmit(false);
    return tck_hz();
  }

  void flush() override { sync(); }

  void finish() override { flush(); }

  // "FTDI probe 0403:6010 FT1 channel A (FT2232H): TCK 4285.714 kHz"
  std::string describe() const override {
    const auto hz = uint64_t(tck_hz());  // whole Hz
    char tck[48];
    if (hz % 1000 == 0)
      std::snprintf(tck, sizeof tck, "TCK %llu kHz", static_cast<unsigned long long>(hz / 1000));
    else
      std::snprintf(tck, sizeof tck, "TCK %llu.%03llu kHz", static_cast<unsigned long long>(hz / 1000),
                    static_cast<unsigned long long>(hz % 1000));
    return where() + " (" + chip_->name + "): " + tck;
  }

 private:
  void set_divisor(uint16_t divisor) {
    divisor_ = divisor;
    encoder_.command({mpsse::kClockDivisor, uint8_t(divisor_ & 0xFF), uint8_t(divisor_ >> 8)});
  }

  // The TCK set, as the chip divides its clock.
  double tck_hz() const { return chip_->max_khz * 1e3 / (1U + divisor_); }
  bool written_any() const { return encoder_.stream_end() > encoder_.pending_size(); }

  std::string where() const {
    return "FTDI probe " + ids_text(options_) + (serial_.empty() ? "" : " " + serial_) + " channel " +
           char('A' + options_.channel);
  }

  [[noreturn]] void fail(const std::string &what) const { throw PlatformError(where() + ": " + what); }

  void check_libftdi(int result, const char *what) const {
    if (result < 0) fail(std::string(what) + ": " + ftdi_get_error_string(context_.get()));
  }

  // Every device with the IDs, with the serial asked for if any; exactly one
  // must remain.  A device that cannot be opened for want of permission is
  // said at once: its serial cannot be read.
  void find_and_open() {
    const std::string ids = ids_text(options_);
    ftdi_device_list *list = nullptr;
    const int found = ftdi_usb_find_all(context_.get(), &list, options_.vid, options_.pid);
    const std::unique_ptr<ftdi_device_list, void (*)(ftdi_device_list *)> owned(
        list, [](ftdi_device_list *l) { ftdi_list_free(&l); });
    if (found < 0)
      throw PlatformError("FTDI probe " + ids + ": cannot list USB devices: " + ftdi_get_error_string(context_.get()));
    std::vector<Candidate> all;
    for (const ftdi_device_list *l = list; l != nullptr; l = l->next) all.push_back({l->dev, serial_of(l->dev)});
    std::vector<std::string> serials;
    std::vector<Candidate> matching;
    for (const Candidate &c : all) {
      serials.push_back(c.serial);
      if (options_.serial.empty() || c.serial == options_.serial) matching.push_back(c);
    }
    if (matching.empty() && all.empty())
      throw UnreachableError("FTDI probe " + ids + ": no such USB device; plug the probe in, or name its IDs with " +
                             "JTAG_PLATFORM=ftdi:vid=VID,pid=PID");
    if (matching.empty())
      throw UnreachableError("FTDI probe " + ids + ": none has serial " + options_.serial +
                             " (serials found: " + joined(serials) + ")");
    if (matching.size() > 1)
      throw UnreachableError("FTDI probe " + ids + ": " + std::to_string(matching.size()) + " probes found (serials: " +
                             joined(serials) + "); choose one with JTAG_PLATFORM=ftdi:serial=SERIAL");
    serial_ = matching.front().serial;
    // One run at a time drives a probe; the others wait their turn here.
    lock_ = lock_adapter(record_name(options_, serial_), "FTDI probe " + ids + " " + serial_);
    open_device(matching.front().device);
  }

  std::string serial_of(libusb_device *device) const {
    libusb_device_handle *raw = nullptr;
    const int opened = libusb_open(device, &raw);
    if (opened == LIBUSB_ERROR_ACCESS) {
      char at[48];
      std::snprintf(at, sizeof at, " (USB bus %u device %u)", unsigned(libusb_get_bus_number(device)),
                    unsigned(libusb_get_device_address(device)));
      throw UnreachableError("FTDI probe " + ids_text(options_) + at + ": permission denied; install the udev rule " +
                             kUdevRule + " (the jtagbox-ftdi package does), add yourself to the plugdev group, " +
                             "log in again and replug the probe");
    }
    if (opened != 0)
      throw UnreachableError("FTDI probe " + ids_text(options_) + ": cannot open: " + libusb_strerror(opened));
    const std::unique_ptr<libusb_device_handle, HandleClose> handle(raw);
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != 0 || descriptor.iSerialNumber == 0) return {};
    unsigned char text[256];
    const int length = libusb_get_string_descriptor_ascii(handle.get(), descriptor.iSerialNumber, text, sizeof text);
    if (length <= 0) return {};
    return std::string(reinterpret_cast<const char *>(text), size_t(length));
  }

  void open_device(libusb_device *device) {
    const auto port = static_cast<ftdi_interface>(INTERFACE_A + int(options_.channel));
    check_libftdi(ftdi_set_interface(context_.get(), port), "no such channel");
    check_libftdi(ftdi_usb_open_dev(context_.get(), device), "cannot open");
    context_->usb_read_timeout = kUsbTimeoutMs;
    context_->usb_write_timeout = kUsbTimeoutMs;
    chip_ = chip_of(context_->type);
    if (chip_ == nullptr) fail("this FTDI chip has no MPSSE; JTAG needs an FT2232H, FT232H, FT4232H or FT2232D");
    if (options_.channel >= chip_->mpsse_ports)
      fail(std::string("channel ") + char('A' + options_.channel) + " of an " + chip_->name +
           " has no MPSSE; use channel A" + (chip_->mpsse_ports > 1 ? " or B" : ""));
  }

  std::string no_answer() const {
    return "no answer within " + std::to_string(kAnswerSeconds) +
           " s; check the probe's power and cable, then unplug and replug it";
  }

  // Everything sent goes, and everything it answers comes.  An echo at the
  // end (answered only after all before it was done) confirms what answers
  // nothing, so one round trip serves both the answers and the confirmation;
  // nothing new since the last echo asks nothing.
  void sync() {
    if (encoder_.stream_end() != confirmed_) {
      encoder_.echo();
      confirmed_ = encoder_.stream_end();
    }
    transmit(true);
    receive_until(0);
  }

  // Writes what is pending: with `everything`, all of it, else only as many
  // full writes as there are.
  void transmit(bool everything) {
    while (encoder_.pending_size() > 0) {
      if (!everything && encoder_.pending_size() < kWriteBytes) return;
      write_piece(encoder_.take_write(kWriteBytes));
    }
  }

  // One bulk transfer, answers taken while it goes.  The chip takes it at
  // the pace of TCK (at most 8 TCKs a byte, and twice that for slack) and
  // of the answers read; the bound is on a wait without either.
  void write_piece(const std::vector<uint8_t> &bytes) {
    const uint64_t clocking_ms = 16 * uint64_t(bytes.size()) * 1000 / uint64_t(tck_hz());  // whole Hz
    const unsigned seconds = kAnswerSeconds + unsigned((clocking_ms + 999) / 1000);
    try {
      pipe_->write(bytes, std::chrono::seconds(seconds));
    } catch (const PipeError &e) {
      if (e.kind == PipeError::Kind::kWriteTimeout)
        fail("took no command within " + std::to_string(seconds) + " s; " +
             "check the probe's power and cable, then unplug and replug it");
      pipe_failed(e);
    }
  }

  void receive_until(size_t awaited) {
    try {
      pipe_->read_until([&] { return in_step_ && decoder_.awaited() <= awaited; },
                        std::chrono::seconds(kAnswerSeconds));
    } catch (const PipeError &e) {
      pipe_failed(e);
    }
  }

  [[noreturn]] void pipe_failed(const PipeError &e) const {
    if (e.kind == PipeError::Kind::kSilent) silent();
    usb_failed(e.writing ? "write" : "read", e.code);
  }

  // The answers as they come: first the way into step, then the answers
  // of the commands sent, checked as they are decoded.
  void take_answers(const uint8_t *data, size_t size) {
    const size_t skipped = in_step_ ? 0 : skip_to_step(data, size);
    data += skipped;
    size -= skipped;
    if (size == 0) return;
    last_answers_.assign(data, data + size);
    if (size > encoder_.in_flight()) {  // more than the commands written call for
      const auto refused = TdoDecoder::refused_in(data, size);
      fail((refused ? refusal_text(*refused) : "the probe answered more than it was asked") + kReplug);
    }
    try {
      decoder_.feed(data, size);
    } catch (const AnswerError &e) {
      fail(e.what() + std::string(kReplug));
    }
  }

  // The bytes up to and with the first 0xFA 0xAA.
  size_t skip_to_step(const uint8_t *data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
      const bool marker = previous_noise_ == mpsse::kBadCommand && data[i] == mpsse::kBogus;
      previous_noise_ = data[i];
      if (marker) {
        in_step_ = true;
        return i + 1;
      }
      if (++noise_bytes_ > kMaxNoiseBytes) fail("answers nothing but noise to the bad command 0xaa");
    }
    return size;
  }

  // Answers stopped short.  A refused command that called for answers
  // leaves fewer than were asked, so the last ones that came may name it.
  [[noreturn]] void silent() const {
    if (const auto refused = TdoDecoder::refused_in(last_answers_.data(), last_answers_.size()))
      fail(refusal_text(*refused) + kReplug);
    fail(no_answer());
  }

  [[noreturn]] void usb_failed(const char *what, int code) const {
    int configuration = 0;
    if (code == LIBUSB_ERROR_NO_DEVICE ||
        libusb_get_configuration(context_->usb_dev, &configuration) == LIBUSB_ERROR_NO_DEVICE)
      fail("was unplugged; plug it back in, then run JTAG_Reset");
    fail(std::string("USB ") + what + " failed: " + libusb_strerror(code) + "; check the cable");
  }

  BitVector take_back(size_t n) {
    try {
      return decoder_.take_back(n);
    } catch (const AnswerError &e) {
      fail(e.what());
    }
  }
  BitVector take_front(size_t n) {
    try {
      return decoder_.take_front(n);
    } catch (const AnswerError &e) {
      fail(e.what());
    }
  }

  // The pin an output at its inactive (high) level.
  void set_pin(unsigned pin, bool high) {
    uint8_t &levels = pin < 8 ? low_levels_ : high_levels_;
    uint8_t &directions = pin < 8 ? low_directions_ : high_directions_;
    const auto bit = uint8_t(1U << (pin % 8));
    directions = uint8_t(directions | bit);
    levels = high ? uint8_t(levels | bit) : uint8_t(levels & ~bit);
  }

  // A reset line is active low; its level changes in order with the TCKs.
  void drive_reset(unsigned pin, bool asserted) {
    set_pin(pin, !asserted);
    if (pin < 8)
      encoder_.command({mpsse::kSetLowPins, low_levels_, low_directions_});
    else
      encoder_.command({mpsse::kSetHighPins, high_levels_, high_directions_});
    transmit(false);
  }

  FtdiOptions options_;
  UniqueFd lock_;  // declared first, so it is let go only after the probe is closed
  std::unique_ptr<ftdi_context, ContextFree> context_;
  const Chip *chip_ = nullptr;
  std::string serial_;
  TdoDecoder decoder_;
  MpsseEncoder encoder_{decoder_};
  std::deque<size_t> deferred_;     // the lengths of the deferred shifts not yet collected
  std::unique_ptr<BulkPipe> pipe_;  // after context_: gone before the device is closed
  uint16_t divisor_ = 0;            // of the chip's clock, for TCK
  uint64_t confirmed_ = 0;          // the stream's end at the last echo
  bool in_step_ = false;            // the answer to the first 0xAA came
  uint8_t previous_noise_ = 0;
  size_t noise_bytes_ = 0;
  std::vector<uint8_t> last_answers_;  // the last answers that came
  uint8_t low_levels_ = kTmsPin;       // TCK low, TDI low, TMS high
  uint8_t low_directions_ = kJtagDirections;
  uint8_t high_levels_ = 0;
  uint8_t high_directions_ = 0;
};

}  // namespace

Backend open_ftdi_backend(const BackendArguments &arguments) {
  const FtdiOptions options = read_ftdi_options(arguments);
  auto lines = std::make_unique<FtdiLines>(options);
  if (options.khz > lines->chip().max_khz)
    arguments.bad_value("khz", "1.." + std::to_string(lines->chip().max_khz) + " on an " + lines->chip().name);
  Backend b;
  b.record = tap_record_file(record_name(options, lines->serial()));
  b.record->load();  // a record that cannot be read stops the command before the probe is driven
  lines->start();
  b.lines = std::move(lines);
  return b;
}

}  // namespace jtag::ftdi
