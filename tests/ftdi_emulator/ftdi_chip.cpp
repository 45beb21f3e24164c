#include "ftdi_chip.h"

#include <algorithm>
#include <utility>

namespace ftdi_emu {

namespace {

constexpr uint8_t kManufacturerIndex = 1;
constexpr uint8_t kProductIndex = 2;
constexpr uint8_t kSerialIndex = 3;
constexpr const char *kManufacturer = "FTDI";
constexpr const char *kProduct = "Dual RS232-HS";
constexpr uint8_t kBitmodeMpsse = 0x02;
// A batch's line bytes are sent once they reach this many, so a long
// write-only stream is not held in memory whole.
constexpr std::size_t kWireChunk = std::size_t(4) << 20;

void put16(std::vector<uint8_t> &out, uint16_t v) {
  out.push_back(uint8_t(v & 0xFF));
  out.push_back(uint8_t(v >> 8));
}

// One vendor-specific interface with its bulk IN and OUT endpoint.
void put_interface(std::vector<uint8_t> &out, uint8_t number, uint8_t in_ep, uint8_t out_ep) {
  out.insert(out.end(), {9, 0x04, number, 0, 2, 0xFF, 0xFF, 0xFF, kProductIndex});
  for (uint8_t ep : {in_ep, out_ep}) {
    out.insert(out.end(), {7, 0x05, ep, 0x02});
    put16(out, kMaxPacket);
    out.push_back(0);
  }
}

std::vector<uint8_t> device_descriptor(const Identity &id) {
  std::vector<uint8_t> d = {18, 0x01};
  put16(d, 0x0200);                  // USB 2.0
  d.insert(d.end(), {0, 0, 0, 64});  // class per interface, EP0 64 bytes
  put16(d, id.vid);
  put16(d, id.pid);
  put16(d, 0x0700);  // bcdDevice: FT2232H
  d.insert(d.end(), {kManufacturerIndex, kProductIndex, kSerialIndex, 1});
  return d;
}

std::vector<uint8_t> config_descriptor() {
  std::vector<uint8_t> c = {9, 0x02, 0, 0, 2, 1, 0, 0x80, 0xFA};  // bus powered, 500 mA
  put_interface(c, 0, 0x81, 0x02);
  put_interface(c, 1, 0x83, 0x04);
  c[2] = uint8_t(c.size());
  return c;
}

}  // namespace

std::vector<uint8_t> descriptors(const Identity &id) {
  std::vector<uint8_t> all = device_descriptor(id);
  const std::vector<uint8_t> config = config_descriptor();
  all.insert(all.end(), config.begin(), config.end());
  return all;
}

SetupPacket parse_setup(std::span<const uint8_t, 8> b) {
  return SetupPacket{b[0], b[1], uint16_t(b[2] | b[3] << 8), uint16_t(b[4] | b[5] << 8), uint16_t(b[6] | b[7] << 8)};
}

Chip::Chip(Identity id, Faults faults, Wire *wire, int trst_pin, int srst_pin)
    : id_(std::move(id)), faults_(faults), wire_(wire) {
  channels_.emplace_back(trst_pin, srst_pin);
  channels_.emplace_back(-1, -1);
  channels_[0].mpsse.set_bad_command_at(faults_.bad_command_at);
}

void Chip::power_up() {
  for (Channel &c : channels_) {
    c.bitmode = 0;
    c.latency = 16;
    c.mpsse.reset();
    c.to_host.clear();
    c.waiting.clear();
    c.outcome = OutOutcome{};
  }
}

Stats Chip::stats() const {
  Stats s = stats_;
  for (const Channel &c : channels_) s.mpsse_bad_commands += c.mpsse.bad_commands();
  return s;
}

ControlResult Chip::control(const SetupPacket &setup) {
  const uint8_t type = setup.request_type & 0x60;
  if (type == 0x00) return standard_request(setup);
  if (type != 0x40) return ControlResult{true, {}};
  ControlResult result = vendor_request(setup);
  go_on();  // a purge or a change of mode may let waiting transfers in
  return result;
}

ControlResult Chip::standard_request(const SetupPacket &setup) const {
  switch (setup.request) {
    case 0x00: return ControlResult{false, {0, 0}};  // GET_STATUS
    case 0x01:                                       // CLEAR_FEATURE
    case 0x03:                                       // SET_FEATURE
    case 0x09:                                       // SET_CONFIGURATION
    case 0x0B: return ControlResult{};               // SET_INTERFACE
    case 0x08: return ControlResult{false, {1}};     // GET_CONFIGURATION
    case 0x06: {                                     // GET_DESCRIPTOR
      const uint8_t kind = uint8_t(setup.value >> 8);
      if (kind == 0x01) return ControlResult{false, device_descriptor(id_)};
      if (kind == 0x02) return ControlResult{false, config_descriptor()};
      if (kind == 0x03) return string_descriptor(uint8_t(setup.value & 0xFF));
      return ControlResult{true, {}};
    }
    default: return ControlResult{true, {}};
  }
}

ControlResult Chip::string_descriptor(uint8_t index) const {
  if (index == 0) return ControlResult{false, {4, 0x03, 0x09, 0x04}};  // English (US)
  const std::string text = index == kManufacturerIndex ? kManufacturer
                           : index == kProductIndex    ? kProduct
                           : index == kSerialIndex     ? id_.serial
                                                       : "";
  if (text.empty()) return ControlResult{true, {}};
  std::vector<uint8_t> d = {uint8_t(2 + 2 * text.size()), 0x03};
  for (char ch : text) put16(d, uint16_t(static_cast<unsigned char>(ch)));
  return ControlResult{false, d};
}

// FTDI's requests name the channel in the low byte of wIndex: 1 for A (0
// too, as single-channel chips are addressed), 2 for B.
Chip::Channel *Chip::channel_of_index(uint16_t index) {
  const unsigned channel = index & 0xFF;
  if (channel <= 1) return channels_.data();
  if (channel == 2) return &channels_.at(1);
  return nullptr;
}

ControlResult Chip::vendor_request(const SetupPacket &setup) {
  if (setup.request == 0x90) return ControlResult{false, {0xFF, 0xFF}};        // read EEPROM word: blank
  if (setup.request == 0x91 || setup.request == 0x92) return ControlResult{};  // write/erase EEPROM
  Channel *c = channel_of_index(setup.index);
  if (c == nullptr) return ControlResult{true, {}};
  switch (setup.request) {
    case 0x00:  // reset (0), purge the data for the host (1), purge the data from it (2)
      if (setup.value == 0 || setup.value == 1) c->to_host.clear();
      if (setup.value == 0 || setup.value == 2) c->mpsse.drop_partial();
      return ControlResult{};
    case 0x01:                                                     // modem control
    case 0x02:                                                     // flow control
    case 0x03:                                                     // baud rate
    case 0x04:                                                     // data characteristics
    case 0x06:                                                     // event character
    case 0x07: return ControlResult{};                             // error character
    case 0x05: return ControlResult{false, {kStatus0, kStatus1}};  // modem status
    case 0x09: c->latency = uint8_t(setup.value & 0xFF); return ControlResult{};
    case 0x0A: return ControlResult{false, {c->latency}};
    case 0x0B: {
      const uint8_t mode = uint8_t(setup.value >> 8);
      // Entering MPSSE mode starts its command processor afresh.
      if (mode == kBitmodeMpsse && c->bitmode != kBitmodeMpsse) c->mpsse.reset();
      c->bitmode = mode;
      return ControlResult{};
    }
    case 0x0C:  // the pins as they are now
      return ControlResult{false,
                           {uint8_t((c->mpsse.low_value() & c->mpsse.low_direction()) | ~c->mpsse.low_direction())}};
    default: return ControlResult{true, {}};
  }
}

Chip::Channel *Chip::channel_of_endpoint(uint8_t endpoint) {
  if (endpoint == 0x02 || endpoint == 0x81) return channels_.data();
  if (endpoint == 0x04 || endpoint == 0x83) return &channels_.at(1);
  return nullptr;
}

const Chip::Channel *Chip::channel_of_endpoint(uint8_t endpoint) const {
  return const_cast<Chip *>(this)->channel_of_endpoint(endpoint);
}

bool Chip::runs_mpsse(const Channel &c) const { return &c == channels_.data() && c.bitmode == kBitmodeMpsse; }

bool Chip::bulk_out(uint8_t endpoint, std::span<const uint8_t> data, std::string &error) {
  ++stats_.bulk_out_transfers;
  stats_.bulk_out_bytes += data.size();
  Channel *c = channel_of_endpoint(endpoint);
  if (c == nullptr) return true;
  c->waiting.push_back(WaitingOut{std::vector<uint8_t>(data.begin(), data.end()), 0});
  if (!pump(*c, error)) return false;
  if (!c->waiting.empty()) ++stats_.bulk_out_stalls;  // this one, the newest, waits
  return true;
}

OutOutcome Chip::take_out_outcome(uint8_t endpoint) {
  Channel *c = channel_of_endpoint(endpoint);
  if (c == nullptr) return OutOutcome{};
  return std::exchange(c->outcome, OutOutcome{});
}

std::size_t Chip::cancel_out(uint8_t endpoint, std::size_t position) {
  Channel *c = channel_of_endpoint(endpoint);
  if (c == nullptr || position >= c->waiting.size()) return 0;
  const auto it = c->waiting.begin() + static_cast<std::ptrdiff_t>(position);
  const std::size_t entered = it->entered;
  c->waiting.erase(it);
  return entered;
}

// Outside MPSSE mode the bytes would go out of the UART; channel B's MPSSE
// has nothing wired to it.  Either way they leave the buffer at once and
// nothing reaches the board.
bool Chip::pump(Channel &c, std::string &error) {
  if (!runs_mpsse(c)) {
    c.outcome.completed += c.waiting.size();
    c.waiting.clear();
    return true;
  }
  std::size_t completed = 0;
  for (bool more = true; more;) {
    // The board is asked once per pass: packets enter and commands run
    // until nothing moves or the batch is large enough to send.
    Batch batch;
    bool moved = true;
    while (moved && batch.wire.size() < kWireChunk) {
      const std::size_t entered = enter_packets(c, completed);
      const std::size_t buffered = c.mpsse.buffered();
      const std::size_t answers = batch.answer.size();
      const std::size_t held = c.to_host.size() + answers;
      c.mpsse.run(held < kFt2232hTransmitBuffer ? kFt2232hTransmitBuffer - held : 0, batch);
      moved = entered != 0 || c.mpsse.buffered() != buffered || batch.answer.size() != answers;
    }
    more = moved;
    if (!deliver(c, batch, error)) {
      c.outcome.failed += completed + c.waiting.size();
      c.outcome.error = error;
      c.waiting.clear();
      c.mpsse.drop_partial();
      return false;
    }
  }
  c.outcome.completed += completed;
  return true;
}

std::size_t Chip::enter_packets(Channel &c, std::size_t &completed) {
  std::size_t entered = 0;
  while (!c.waiting.empty()) {
    WaitingOut &out = c.waiting.front();
    while (out.entered < out.bytes.size()) {
      const std::size_t packet = std::min(kMaxPacket, out.bytes.size() - out.entered);
      if (c.mpsse.buffered() + packet > kFt2232hReceiveBuffer) return entered;  // NAKed
      c.mpsse.receive(std::span<const uint8_t>(out.bytes).subspan(out.entered, packet));
      out.entered += packet;
      entered += packet;
    }
    c.waiting.pop_front();
    ++completed;
  }
  return entered;
}

bool Chip::deliver(Channel &c, const Batch &batch, std::string &error) {
  std::vector<bool> samples;
  if (!batch.wire.empty()) {
    std::optional<std::vector<bool>> got = wire_->run(batch.wire, batch.samples, error);
    if (!got) return false;
    samples = std::move(*got);
  }
  const std::vector<uint8_t> answer = resolve_answer(batch, samples);
  c.to_host.insert(c.to_host.end(), answer.begin(), answer.end());
  return true;
}

void Chip::go_on() {
  std::string error;
  for (Channel &c : channels_) pump(c, error);  // a failure is in the channel's outcome
}

bool Chip::has_answer(uint8_t endpoint) const {
  const Channel *c = channel_of_endpoint(endpoint);
  return c != nullptr && !c->to_host.empty();
}

unsigned Chip::latency_ms(uint8_t endpoint) const {
  const Channel *c = channel_of_endpoint(endpoint);
  return c == nullptr ? 16 : std::max<unsigned>(c->latency, 1);
}

std::vector<uint8_t> Chip::bulk_in(uint8_t endpoint, std::size_t capacity) {
  std::vector<uint8_t> out;
  Channel *c = channel_of_endpoint(endpoint);
  if (c == nullptr || capacity < 2) return out;
  ++stats_.bulk_in_transfers;
  const uint64_t answered_before = stats_.bulk_in_bytes;
  std::string error;  // a failure of the board is in the channel's outcome
  while (out.size() + 2 <= capacity) {
    const std::size_t packet = std::min(kMaxPacket, capacity - out.size());
    const std::size_t payload = std::min(packet - 2, c->to_host.size());
    out.push_back(kStatus0);
    out.push_back(kStatus1);
    const auto end = c->to_host.begin() + static_cast<std::ptrdiff_t>(payload);
    out.insert(out.end(), c->to_host.begin(), end);
    c->to_host.erase(c->to_host.begin(), end);
    stats_.bulk_in_bytes += payload;
    if (payload < packet - 2) break;  // a short packet ends the transfer
    // The engine goes on as packets leave, so one long IN transfer can
    // carry more than the transmit buffer holds, as on the chip.
    if (c->to_host.size() < kMaxPacket - 2) pump(*c, error);
    if (c->to_host.empty()) break;
  }
  if (stats_.bulk_in_bytes != answered_before) {
    ++stats_.bulk_in_answered;
    pump(*c, error);  // the room made lets a stalled engine go on
  }
  return out;
}

}  // namespace ftdi_emu
