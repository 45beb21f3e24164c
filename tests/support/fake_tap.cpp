#include "support/fake_tap.h"

#include "base/error.h"

namespace fake {
namespace {

using jtag::TapState;
using S = TapState;

// IEEE 1149.1 figure 6-1: the state after a rising TCK edge, TMS 0 and 1.
struct Next {
  TapState on0, on1;
};
Next next(TapState s) {
  switch (s) {
    case S::TestLogicReset: return {S::RunTestIdle, S::TestLogicReset};
    case S::RunTestIdle: return {S::RunTestIdle, S::SelectDRScan};
    case S::SelectDRScan: return {S::CaptureDR, S::SelectIRScan};
    case S::CaptureDR: return {S::ShiftDR, S::Exit1DR};
    case S::ShiftDR: return {S::ShiftDR, S::Exit1DR};
    case S::Exit1DR: return {S::PauseDR, S::UpdateDR};
    case S::PauseDR: return {S::PauseDR, S::Exit2DR};
    case S::Exit2DR: return {S::ShiftDR, S::UpdateDR};
    case S::UpdateDR: return {S::RunTestIdle, S::SelectDRScan};
    case S::SelectIRScan: return {S::CaptureIR, S::TestLogicReset};
    case S::CaptureIR: return {S::ShiftIR, S::Exit1IR};
    case S::ShiftIR: return {S::ShiftIR, S::Exit1IR};
    case S::Exit1IR: return {S::PauseIR, S::UpdateIR};
    case S::PauseIR: return {S::PauseIR, S::Exit2IR};
    case S::Exit2IR: return {S::ShiftIR, S::UpdateIR};
    case S::UpdateIR: return {S::RunTestIdle, S::SelectDRScan};
  }
  return {s, s};
}

// A shift register: TDO is bit 0, TDI enters at the top.
void shift_in(jtag::BitVector &r, bool tdi) {
  for (size_t i = 0; i + 1 < r.size(); ++i) r.set(i, r.get(i + 1));
  r.set(r.size() - 1, tdi);
}

}  // namespace

FakeTap::FakeTap(TapModel model) : model_(model), instruction_(model.idcode_instruction), ir_(model.ir_length) {}

bool FakeTap::clock(bool tms, bool tdi) {
  bool tdo = true;  // not shifting: the line rests high
  switch (state_) {
    case S::TestLogicReset: instruction_ = model_.idcode_instruction; break;
    case S::CaptureIR: ir_ = jtag::BitVector::from_u64(0x1, model_.ir_length); break;
    case S::ShiftIR:
      tdo = ir_.get(0);
      shift_in(ir_, tdi);
      break;
    case S::UpdateIR: instruction_ = ir_.to_u64(); break;
    case S::CaptureDR: dr_ = bypassed() ? jtag::BitVector(1) : jtag::BitVector::from_u64(model_.idcode, 32); break;
    case S::ShiftDR:
      tdo = dr_.get(0);
      shift_in(dr_, tdi);
      break;
    default: break;
  }
  state_ = tms ? next(state_).on1 : next(state_).on0;
  if (state_ == S::TestLogicReset) instruction_ = model_.idcode_instruction;
  return tdo;
}

bool FakeLineDriver::clock(bool tms, bool tdi) {
  if (gone_) throw jtag::PlatformError("the fake wire is gone");
  ++clocks_;
  last_tms_ = tms;
  last_tdi_ = tdi;
  return tap_.clock(tms, tdi);
}

void FakeLineDriver::finish() {
  if (gone_) throw jtag::PlatformError("the fake wire is gone");
  ++finishes_;
}

}  // namespace fake
