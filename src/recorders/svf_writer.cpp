#include "recorders/svf_writer.h"

namespace jtag {
namespace {

using S = TapState;

bool in_ir_column(TapState s) { return static_cast<int>(s) >= static_cast<int>(S::SelectIRScan); }

// The states a shortest walk visits after `from`, ending with `to`.
std::vector<TapState> shortest_walk(TapState from, TapState to) {
  std::vector<TapState> walk;
  TapState s = from;
  for (const bool tms : tms_path(from, to)) {
    s = next_state(s, tms);
    walk.push_back(s);
  }
  return walk;
}

}  // namespace

void SvfWriter::sync_to(TapState state) {
  mapped_ = svf_nearest_stable(state);
  written_ = mapped_;
}

void SvfWriter::begin(bool new_file, std::string_view program) {
  if (new_file) out_.put("! SVF record of jtagbox runs (JTAG_SVF): each process appends what it did on the wire\n");
  out_.put("! ");
  out_.put(program);
  out_.put("\n");
  if (new_file) put_state_line({written_});
}

void SvfWriter::put_state_line(const std::vector<TapState> &path) {
  out_.put("STATE");
  for (const TapState s : path) {
    out_.put(" ");
    out_.put(svf_state_name(s));
  }
  out_.put(";\n");
}

void SvfWriter::resume_scan() {
  flush_run();
  const std::vector<TapState> steps = shortest_walk(mapped_, real_);
  path_.insert(path_.end(), steps.begin(), steps.end());
  mapped_ = real_;
  open_scan();
}

void SvfWriter::tck(TapState /*before*/, bool tms, bool tdi, std::optional<bool> tdo) {
  if (scan_ == Scan::None && (real_ == S::ShiftDR || real_ == S::ShiftIR)) resume_scan();
  if (scan_ == Scan::Open) {
    append_bit(tdi, tdo);
    real_ = next_state(real_, tms);
    mapped_ = real_;
    if (tms) scan_ = Scan::Done;
    return;
  }
  if (scan_ == Scan::Done) {
    // Exit1-xR: on through Update (ends in Run-Test/Idle, which stands for
    // Update-xR) or to Pause-xR.
    const TapState end = tms ? S::RunTestIdle : (scan_ir_ ? S::PauseIR : S::PauseDR);
    write_scan(end);
    real_ = next_state(real_, tms);
    return;
  }
  const TapState after = next_state(real_, tms);
  if (mapped_ == real_ && after == real_) {
    stay();
    return;
  }
  const std::vector<TapState> steps = mapped_ == real_ ? std::vector<TapState>{after} : shortest_walk(mapped_, after);
  real_ = after;
  if (steps.empty()) return;  // the record is there already
  flush_run();
  path_.insert(path_.end(), steps.begin(), steps.end());
  mapped_ = after;
  if (svf_stable(mapped_))
    flush_path();
  else if (mapped_ == S::ShiftDR || mapped_ == S::ShiftIR)
    open_scan();
}

void SvfWriter::stay() {
  if (real_ != S::TestLogicReset) ++run_;
}

void SvfWriter::flush_run() {
  if (run_ == 0) return;
  const std::string_view name = svf_state_name(written_);
  out_.put("RUNTEST ");
  out_.put(name);
  out_.put(" ");
  out_.put(std::to_string(run_));
  out_.put(" TCK ENDSTATE ");
  out_.put(name);
  out_.put(";\n");
  run_ = 0;
}

void SvfWriter::flush_path() {
  if (path_.empty()) return;
  if (mapped_ == S::TestLogicReset || path_ == shortest_walk(written_, mapped_))
    put_state_line({mapped_});
  else
    put_state_line(path_);
  written_ = mapped_;
  path_.clear();
}

void SvfWriter::open_scan() {
  scan_ir_ = mapped_ == S::ShiftIR;
  const TapState capture = scan_ir_ ? S::CaptureIR : S::CaptureDR;
  // path_ is the walk from written_ (Run-Test/Idle or a Pause state) into
  // Shift; from Run-Test/Idle it can only be SIR's or SDR's own.
  if (written_ != S::RunTestIdle) {
    size_t update = 0;
    while (update < path_.size() && path_[update] != S::UpdateDR && path_[update] != S::UpdateIR) ++update;
    if (update < path_.size() && path_.size() >= 2 && path_[path_.size() - 2] == capture) {
      std::vector<TapState> to_idle(path_.begin(), path_.begin() + std::ptrdiff_t(update) + 1);
      to_idle.push_back(S::RunTestIdle);
      put_state_line(to_idle);
      written_ = S::RunTestIdle;
    } else {
      out_.put("! the scan goes on from ");
      out_.put(state_name(written_));
      out_.put(" without a capture\n");
    }
  }
  lead_.assign(path_.begin(), path_.end());
  path_.clear();
  scan_ = Scan::Open;
  bits_ = 0;
  any_tdo_ = false;
  tdi_.resize(0);
  tdo_.resize(0);
  mask_.resize(0);
}

void SvfWriter::append_bit(bool tdi, std::optional<bool> tdo) {
  tdi_.resize(bits_ + 1);
  tdo_.resize(bits_ + 1);
  mask_.resize(bits_ + 1);
  tdi_.set(bits_, tdi);
  if (tdo) {
    tdo_.set(bits_, *tdo);
    mask_.set(bits_, true);
    any_tdo_ = true;
  }
  ++bits_;
}

void SvfWriter::shift(TapState before, const BitVector &in, const BitVector &out, bool recycle) {
  const size_t n = in.size();
  if (n == 0) return;
  if (before != S::ShiftDR && before != S::ShiftIR) {
    // A shift that does not start in Shift-xR (JTAG_Shift_internal from
    // another state) is that many TCKs wherever they lead; SVF can check
    // no TDO outside a scan.
    TapState s = before;
    for (size_t i = 0; i < n; ++i) {
      const bool tms = i + 1 == n;
      tck(s, tms, recycle && i > 0 ? out.get(i - 1) : in.get(i), out.get(i));
      s = next_state(s, tms);
    }
    return;
  }
  if (scan_ == Scan::None) resume_scan();
  tdi_.resize(bits_ + n);
  tdo_.resize(bits_ + n);
  mask_.resize(bits_ + n, true);
  if (recycle) {
    tdi_.set(bits_, in.get(0));
    tdi_.copy_from(bits_ + 1, out, 0, n - 1);
  } else {
    tdi_.copy_from(bits_, in, 0, n);
  }
  tdo_.copy_from(bits_, out, 0, n);
  bits_ += n;
  any_tdo_ = true;
  real_ = in_ir_column(before) ? S::Exit1IR : S::Exit1DR;
  mapped_ = real_;
  scan_ = Scan::Done;
}

void SvfWriter::write_scan(TapState end) {
  if (bits_ == 0) {
    // Into Shift and no further: a capture, then the pause that stands for
    // Shift-xR.
    const TapState capture = scan_ir_ ? S::CaptureIR : S::CaptureDR;
    if (lead_.size() >= 2 && lead_[lead_.size() - 2] == capture) {
      lead_.back() = scan_ir_ ? S::Exit1IR : S::Exit1DR;
      lead_.push_back(end);
      put_state_line(lead_);
    }
    scan_ = Scan::None;
    written_ = end;
    mapped_ = end;
    return;
  }
  std::optional<TapState> &end_state = scan_ir_ ? end_ir_ : end_dr_;
  if (end_state != end) {
    out_.put(scan_ir_ ? "ENDIR " : "ENDDR ");
    out_.put(svf_state_name(end));
    out_.put(";\n");
    end_state = end;
  }
  out_.put(scan_ir_ ? "SIR " : "SDR ");
  out_.put(std::to_string(bits_));
  out_.put(" TDI (");
  out_.put(to_hex(tdi_));
  if (any_tdo_) {
    out_.put(") TDO (");
    out_.put(to_hex(tdo_));
    out_.put(") MASK (");
    out_.put(to_hex(mask_));
  }
  out_.put(");\n");
  scan_ = Scan::None;
  written_ = end;
  mapped_ = end;
  tdi_ = BitVector();
  tdo_ = BitVector();
  mask_ = BitVector();
  bits_ = 0;
}

// Everything pending written, the record in the stable state that stands
// for the TAP's.
void SvfWriter::settle() {
  if (scan_ != Scan::None) write_scan(scan_ir_ ? S::PauseIR : S::PauseDR);
  flush_run();
  if (path_.empty()) return;
  const TapState near = svf_nearest_stable(mapped_);
  // A walk the next steps redo from `near` anyway (Select-DR-Scan after
  // JTAG_Select_DR, say) is left to them.
  bool redone = near == written_;
  for (const bool tms : {false, true}) {
    std::vector<TapState> walk = path_;
    walk.push_back(next_state(mapped_, tms));
    redone = redone && shortest_walk(near, walk.back()) == walk;
  }
  if (!redone) {
    const std::vector<TapState> rest = shortest_walk(mapped_, near);
    path_.insert(path_.end(), rest.begin(), rest.end());
    mapped_ = near;
    flush_path();
  }
  path_.clear();
  mapped_ = near;
}

void SvfWriter::restart(TapState state) {
  settle();
  real_ = state;
  const TapState near = svf_nearest_stable(state);
  if (near != written_) put_state_line({near});
  sync_to(state);
}

void SvfWriter::trst(bool asserted) {
  settle();
  out_.put(asserted ? "TRST ON;\n" : "TRST OFF;\n");
  if (!asserted) return;
  real_ = TapState::TestLogicReset;
  sync_to(real_);
}

void SvfWriter::note(std::string_view text) {
  settle();
  out_.put("! ");
  out_.put(text);
  out_.put("\n");
}

void SvfWriter::end() { settle(); }

}  // namespace jtag
