#include "sim/tap_device.h"

#include <cstdio>

namespace jtag::sim {
namespace {

constexpr const char *kDrCellsKey = "dr_cells";

// Between Capture-DR and Update-DR the selected register's cells hold the
// bits of a scan in flight, as a real chip holds them for as long as its TAP
// stays there: a run that ends in Pause-DR (or a server that lets the board
// go while its client pauses mid-scan) leaves them for the next one.
bool in_dr_scan(TapState s) {
  return s == TapState::ShiftDR || s == TapState::Exit1DR || s == TapState::PauseDR || s == TapState::Exit2DR;
}

}  // namespace

TapDevice::TapDevice(TapDescription description)
    : desc_(std::move(description)),
      instruction_(desc_.idcode_instruction),
      ir_(desc_.ir_length),
      idcode_(32, desc_.idcode) {}

DataRegister &TapDevice::data_register() {
  if (instruction_ == desc_.idcode_instruction) return idcode_;
  for (auto &unit : units_)
    if (DataRegister *r = unit->data_register_for(instruction_)) return *r;
  return bypass_;  // every instruction the chip does not know selects BYPASS
}

ShiftRegister &TapDevice::shifting_cells() { return state_ == TapState::ShiftIR ? ir_ : data_register().cells(); }

bool TapDevice::tdo() {
  if (state_ == TapState::ShiftIR) return ir_.lsb();
  if (state_ == TapState::ShiftDR) return data_register().cells().lsb();
  return true;
}

void TapDevice::test_reset() {
  state_ = TapState::TestLogicReset;
  shifting_dr_ = nullptr;
  enter_test_logic_reset();
}

void TapDevice::enter_test_logic_reset() {
  instruction_ = desc_.idcode_instruction;
  for (auto &unit : units_) unit->on_test_logic_reset();
}

bool TapDevice::clock(bool tms, bool tdi) {
  bool tdo = true;
  switch (state_) {
    case TapState::CaptureDR: data_register().capture(); break;
    case TapState::ShiftDR:
      // Nothing can change which register is selected while the TAP stays
      // in Shift-DR, so a long scan looks it up once.
      if (shifting_dr_ == nullptr) shifting_dr_ = &data_register().cells();
      tdo = shifting_dr_->shift(tdi);
      break;
    case TapState::CaptureIR: ir_.load_u64(ir_capture_); break;
    case TapState::ShiftIR: tdo = ir_.shift(tdi); break;
    case TapState::RunTestIdle:
      for (auto &unit : units_) unit->on_run_test_idle_tick(instruction_);
      break;
    default: break;
  }
  state_ = next_state(state_, tms);
  if (state_ != TapState::ShiftDR) shifting_dr_ = nullptr;
  switch (state_) {
    case TapState::UpdateDR: data_register().update(); break;
    case TapState::UpdateIR:
      instruction_ = static_cast<unsigned>(ir_.to_u64());
      for (auto &unit : units_) unit->on_instruction(instruction_);
      break;
    case TapState::TestLogicReset: enter_test_logic_reset(); break;
    default: break;
  }
  return tdo;
}

void TapDevice::save(StateMap &state) const {
  const std::string p = desc_.name + ".";
  state.put(p + "tap", std::string(state_name(state_)));
  state.put_number(p + "ir", instruction_);
  state.put_number(p + "ir_cells", ir_.to_u64());
  for (const auto &unit : units_) unit->save(state, p);
  // Which register the instruction selects is a lookup that changes nothing.
  DataRegister &dr = const_cast<TapDevice *>(this)->data_register();
  if (in_dr_scan(state_) && !dr.cells_kept_elsewhere()) state.put(p + kDrCellsKey, to_hex(dr.cells().contents()));
}

void TapDevice::load(StateMap &state) {
  const std::string p = desc_.name + ".";
  const std::string tap = state.take(p + "tap");
  const auto s = state_from_name(tap);
  if (!s) throw StateError("bad TAP state '" + tap + "' for '" + p + "tap'");
  state_ = *s;
  const uint64_t max = (uint64_t{1} << desc_.ir_length) - 1;
  instruction_ = static_cast<unsigned>(state.take_number(p + "ir", max));
  ir_.load_u64(state.take_number(p + "ir_cells", max));
  for (auto &unit : units_) unit->load(state, p);
  if (const std::optional<std::string> text = state.take_optional(p + kDrCellsKey)) load_dr_cells(*text, p);
}

void TapDevice::load_dr_cells(const std::string &text, const std::string &prefix) {
  DataRegister &dr = data_register();
  const size_t length = dr.cells().length();
  const bool fits = in_dr_scan(state_) && !dr.cells_kept_elsewhere() && text.size() == (length + 3) / 4 &&
                    leading_hex_digits(text.c_str()).size() == text.size() && to_hex(from_hex(text, length)) == text;
  if (!fits)
    throw StateError("bad '" + prefix + kDrCellsKey + "' for a " + std::to_string(length) + "-bit register in " +
                     std::string(state_name(state_)));
  dr.cells().load(from_hex(text, length));
}

void TapDevice::show(std::ostream &out) {
  char ir[16];
  std::snprintf(ir, sizeof ir, "0x%02x", instruction_);
  out << desc_.name << ": " << state_name(state_) << ", IR " << ir << " (" << desc_.ir_length << " bits)";
  char id[16];
  std::snprintf(id, sizeof id, "0x%08x", desc_.idcode);
  out << ", IDCODE " << id << "\n";
  for (const auto &unit : units_) unit->show(out);
}

}  // namespace jtag::sim
