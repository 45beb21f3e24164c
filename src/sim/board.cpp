#include "sim/board.h"

#include <algorithm>
#include <cstdio>

#include "sim/access_units.h"
#include "sim/board_store.h"
#include "sim/scan_chains.h"

namespace jtag::sim {
namespace {

// IEEE 1149.1 IDCODEs: version in bits 31..28 (the chip's position on the
// board), part number in 27..12, manufacturer in 11..1, bit 0 always 1.
constexpr uint32_t kProcessorIdcodeBase = 0x0BC0E06B;
constexpr uint32_t kVornexIdcodeBase = 0x04A56093;
constexpr unsigned kIdcodeInstruction = 0x02;  // in both chips' instruction sets

}  // namespace

uint32_t processor_idcode(int index) { return kProcessorIdcodeBase | (uint32_t(index) << 28); }
uint32_t vornex_idcode(int index) { return kVornexIdcodeBase | (uint32_t(index) << 28); }
std::string processor_name(int index) { return "cpu" + std::to_string(index); }
std::string vornex_name(int index) { return "vnx" + std::to_string(index); }

Board::Board(BoardStore *store)
    : store_(store),
      fpga_([store](uint64_t address) { return store != nullptr ? store->fpga_register(address) : std::nullopt; }) {
  for (int i = 0; i < kProcessorCount; ++i)
    devices_.push_back(
        std::make_unique<TapDevice>(TapDescription{processor_name(i), 8, processor_idcode(i), kIdcodeInstruction}));
  for (int i = 0; i < kVornexCount; ++i)
    devices_.push_back(
        std::make_unique<TapDevice>(TapDescription{vornex_name(i), 6, vornex_idcode(i), kIdcodeInstruction}));
  for (int i = 0; i < kProcessorCount; ++i) add_processor_units(processor(i), *this, i);
  for (int i = 0; i < kVornexCount; ++i) add_vornex_units(vornex(i), *this, i);
  route();
}

void Board::route() {
  std::vector<TapDevice *> &out = routed_;
  out.clear();
  // A device not fitted is no stage of any chain: its jumper passes TDI on.
  const auto push = [&](TapDevice *d) {
    if (d->name() != chain_faults_.absent) out.push_back(d);
  };
  switch (scan_mode_ & 0x7u) {
    case 0:
      for (auto &d : devices_) push(d.get());
      break;
    case 1: push(&processor(0)); break;
    case 2:
      for (int i = 0; i < kProcessorCount; ++i) push(&processor(i));
      break;
    case 3:
    case 4:
    case 5: push(&processor(int(scan_mode_ & 0x7u) - 2)); break;
    case 7: push(&vornex(int(scan_mode_ >> 6) & 0x3)); break;
    default: break;
  }
}

ScanChain *Board::find_chain(const std::string &key) {
  const auto it = chains_.find(key);
  return it == chains_.end() ? nullptr : it->second;
}

TapDevice *Board::device_named(const std::string &name) {
  for (auto &d : devices_)
    if (d->name() == name) return d.get();
  return nullptr;
}

void Board::set_chain_faults(ChainFaults faults) {
  chain_faults_ = std::move(faults);
  route();
  open_input_ = device_named(chain_faults_.chain_open);
  held_ = device_named(chain_faults_.held_in_reset);
  if (held_ != nullptr) held_->test_reset();
  for (auto &d : devices_)
    d->set_ir_capture(d->name() == chain_faults_.ir_capture ? d->bypass_instruction() & ~0x3u : TapDevice::kIrCapture);
  if (const auto &errors = chain_faults_.tdo_errors; errors && errors->rate > 0) {
    errors_.seed(errors->seed ? *errors->seed : std::random_device{}());
    error_gap_ = std::geometric_distribution<uint64_t>(errors->rate);
    bits_to_error_ = error_gap_(errors_);
  }
  tdo_wrong_ = false;
  draw_tdo_error();
}

bool Board::errors_now() const {
  const auto &errors = chain_faults_.tdo_errors;
  return errors && errors->rate > 0 && (!errors->above_hz || (tck_hz_ && *tck_hz_ > *errors->above_hz));
}

void Board::draw_tdo_error() {
  if (!errors_now()) {
    tdo_wrong_ = false;
  } else if (bits_to_error_ == 0) {
    tdo_wrong_ = true;
    bits_to_error_ = error_gap_(errors_);
  } else {
    tdo_wrong_ = false;
    --bits_to_error_;
  }
}

bool Board::tdo_line(bool driven) const {
  if (chain_faults_.tdo_stuck) return *chain_faults_.tdo_stuck;
  return driven != tdo_wrong_;
}

bool Board::clock(bool tms, bool tdi) {
  tms_ = tms;
  tdi_ = tdi;
  bool bit = true;  // no device routed, or TRST: the board's pull-up
  if (!trst_) {     // held in Test-Logic-Reset: TDO is not driven
    unrouted_state_ = next_state(unrouted_state_, tms);
    const auto &devices = chain();
    if (!devices.empty()) bit = tdi;
    for (TapDevice *d : devices) {
      if (d == open_input_) bit = true;  // its TDI floats high
      if (d == held_) {                  // in Test-Logic-Reset, its TDO undriven
        d->test_reset();
        bit = true;
        continue;
      }
      bit = d->clock(tms, bit);
    }
  }
  const bool out = tdo_line(bit);
  draw_tdo_error();
  return out;
}

bool Board::tdo() {
  const auto &devices = chain();
  return tdo_line(devices.empty() ? true : devices.back()->tdo());
}

void Board::test_reset() {
  unrouted_state_ = TapState::TestLogicReset;
  for (auto &d : devices_) d->test_reset();
}

void Board::set_trst(bool asserted) {
  trst_ = asserted;
  if (asserted) test_reset();
}

void Board::set_srst(bool asserted) {
  if (asserted && !srst_) ++srst_assertions_;
  srst_ = asserted;
}

TapState Board::tap_state() const {
  for (TapDevice *d : chain())
    if (d != held_) return d->state();
  return unrouted_state_;
}

bool Board::chain_is_shifting() {
  const auto &devices = chain();
  // A fault on the path between TDI and TDO is clocked bit by bit.
  if (devices.empty() || chain_faults_.tdo_stuck || open_input_ != nullptr || held_ != nullptr || errors_now())
    return false;
  for (TapDevice *d : devices)
    if (d->state() != TapState::ShiftDR && d->state() != TapState::ShiftIR) return false;
  return true;
}

BitVector Board::shift_bulk(const BitVector &in, bool recycle) {
  const size_t m = in.size();
  BitVector out(m);
  if (m == 0) return out;
  const auto &devices = chain();
  std::vector<ShiftRegister *> cells;  // TDI side first
  cells.reserve(devices.size());
  for (TapDevice *d : devices) cells.push_back(&d->shifting_cells());
  const size_t bulk = m - 1;  // the last cycle carries TMS 1 and goes bit by bit

  if (!recycle) {
    BitVector stream(bulk);
    stream.copy_from(0, in, 0, bulk);
    for (ShiftRegister *c : cells) stream = c->shift_many(stream);
    out.copy_from(0, stream, 0, bulk);
    out.set(bulk, clock(true, in.get(bulk)));
    return out;
  }

  // Recycled, the bits leaving TDO repeat with period L + 1: the chain as it
  // stands (TDO end first) and then the first pattern bit, fed round again.
  size_t total = 0;
  for (ShiftRegister *c : cells) total += c->length();
  const size_t period = total + 1;
  BitVector ring(period);
  size_t at = 0;
  for (auto it = cells.rbegin(); it != cells.rend(); ++it) {
    const BitVector now = (*it)->contents();
    ring.copy_from(at, now, 0, now.size());
    at += now.size();
  }
  ring.set(total, in.get(0));
  auto copy_ring = [&](BitVector &dst, size_t dst_at, size_t from, size_t count) {
    while (count > 0) {
      const size_t pos = from % period;
      const size_t n = std::min(count, period - pos);
      dst.copy_from(dst_at, ring, pos, n);
      dst_at += n;
      from += n;
      count -= n;
    }
  };
  copy_ring(out, 0, 0, bulk);
  // After `bulk` cycles the chain holds the next `total` bits of the ring.
  at = bulk;
  for (auto it = cells.rbegin(); it != cells.rend(); ++it) {
    BitVector now((*it)->length());
    copy_ring(now, 0, at, now.size());
    (*it)->load(now);
    at += now.size();
  }
  const bool last_tdi = bulk > 0 ? out.get(bulk - 1) : in.get(0);
  out.set(bulk, clock(true, last_tdi));
  return out;
}

BitVector Board::shift_staying(const BitVector &in) {
  BitVector stream = in;
  for (TapDevice *d : chain()) stream = d->shifting_cells().shift_many(stream);
  if (!in.empty()) {
    tms_ = false;
    tdi_ = in.get(in.size() - 1);
  }
  return stream;
}

uint8_t Board::fpga_read(uint32_t address) { return uint8_t(fpga_.get(address).value_or(0)); }

bool Board::set_accelerator(bool on) {
  if (on ? faults_.accel_on_fail : faults_.accel_off_fail) return false;
  accelerator_ = on;
  return true;
}

void Board::save(StateMap &state) const {
  state.put_number("scan_mode", scan_mode_);
  state.put_number("tms", tms_);
  state.put_number("tdi", tdi_);
  state.put("unrouted_tap", std::string(state_name(unrouted_state_)));
  state.put_number("accelerator", accelerator_);
  state.put_number("reset_hang", faults_.reset_hang);
  state.put_number("accel_on_fail", faults_.accel_on_fail);
  state.put_number("accel_off_fail", faults_.accel_off_fail);
  state.put_number("srst", srst_);
  state.put_number("srst_assertions", srst_assertions_);
  for (const auto &d : devices_) d->save(state);
}

void Board::load(StateMap &state) {
  scan_mode_ = unsigned(state.take_number("scan_mode", 0xff));
  route();
  tms_ = state.take_flag("tms");
  tdi_ = state.take_flag("tdi");
  const std::string unrouted = state.take("unrouted_tap");
  const auto s = state_from_name(unrouted);
  if (!s) throw StateError("bad TAP state '" + unrouted + "' for 'unrouted_tap'");
  unrouted_state_ = *s;
  accelerator_ = state.take_flag("accelerator");
  faults_.reset_hang = state.take_flag("reset_hang");
  faults_.accel_on_fail = state.take_flag("accel_on_fail");
  faults_.accel_off_fail = state.take_flag("accel_off_fail");
  srst_ = state.take_flag("srst");
  srst_assertions_ = state.take_number("srst_assertions", ~uint64_t{0} >> 1);
  for (const auto &[address_text, value_text] : state.take_prefixed("fpga.")) {
    const auto address = parse_number(address_text);
    const auto value = parse_number(value_text);
    if (!address || *address > 0xffffffffu) throw StateError("bad FPGA register address '" + address_text + "'");
    if (!value || *value > 0xff) throw StateError("bad FPGA register value '" + value_text + "'");
    fpga_.put(*address, *value);
  }
  for (auto &d : devices_) d->load(state);
}

void Board::save_changes(BoardStore &store) {
  StateMap state;
  save(state);
  store.put_small_state(state);
  for (const auto &[address, value] : fpga_.written()) store.put_fpga_register(address, value);
  for (auto &d : devices_) d->save_changes(store);
}

std::optional<std::string> Board::get(const std::string &key) {
  if (key.rfind("fpga.", 0) == 0) {
    const auto address = parse_number(key.substr(5));
    if (!address || *address > 0xffffffffu) return std::nullopt;
    return hex_text(fpga_read(uint32_t(*address)));
  }
  for (auto &d : devices_)
    if (key.size() > d->name().size() && key.compare(0, d->name().size() + 1, d->name() + ".") == 0)
      return d->get(key.substr(d->name().size() + 1));
  return std::nullopt;
}

void Board::show(std::ostream &out) {
  char line[96];
  std::snprintf(line, sizeof line, "scan mode: 0x%02x (", scan_mode_);
  out << line;
  static const char *const kModes[] = {"full scan",   "processor 0", "scan dump", "processor 1",
                                       "processor 2", "processor 3", "no device", "Vornex chip "};
  out << kModes[scan_mode_ & 7];
  if ((scan_mode_ & 7) == 7) out << ((scan_mode_ >> 6) & 3);
  out << ")\n";
  out << "lines: TMS " << tms_ << ", TDI " << tdi_ << "\n";
  out << "TAP of the chain: " << state_name(tap_state()) << "\n";
  out << "scan-dump accelerator: " << (accelerator_ ? "on" : "off") << "\n";
  out << "faults: reset_hang=" << faults_.reset_hang << " accel_on_fail=" << faults_.accel_on_fail
      << " accel_off_fail=" << faults_.accel_off_fail << "\n";
  out << "wiring faults:";
  for (const auto &[name, value] : chain_faults_.entries()) out << " " << name << "=" << value;
  out << (chain_faults_.any() ? "\n" : " none\n");
  out << "SRST: " << (srst_ ? "asserted" : "released") << ", asserted " << srst_assertions_ << " times\n";
  const RowSummary fpga = store_ != nullptr ? store_->fpga_registers(kShowFirst) : RowSummary{};
  out << "FPGA registers:";
  if (fpga.count == 0) out << " all 0x00";
  out << "\n";
  for (const auto &[address, value] : fpga.first) {
    std::snprintf(line, sizeof line, "  0x%06llx = 0x%02llx%s\n", static_cast<unsigned long long>(address),
                  static_cast<unsigned long long>(value),
                  address == kMiscCsrAddress ? " (KESTA_MORVIN_ONLY_MISC_CSR)" : "");
    out << line;
  }
  show_rest(out, "  ", "fpga.", fpga);
  for (const auto &d : devices_) d->show(out);
}

}  // namespace jtag::sim
