#include "tools/svf_player.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/platform_session.h"
#include "platform/trace.h"
#include "recorders/svf_writer.h"

namespace jtag::tools {
namespace {

using S = TapState;
using K = SvfScanKind;

TapFollower &board_tap(const std::string &trace_line) {
  PlatformSession &session = PlatformSession::get();
  trace(trace_line);
  return session.tap();
}

std::string svf_name(TapState s) { return std::string(svf_state_name(s)); }

uint64_t word_mask(unsigned n) { return n == 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1; }

// The bits of `v` (at `offset`, `length` of them) where `mask` has ones;
// no mask keeps them all.
BitVector masked(const BitVector &v, size_t offset, size_t length, const std::optional<BitVector> &mask) {
  BitVector out(length);
  for (size_t i = 0; i < length; i += 64) {
    const auto n = unsigned(std::min<size_t>(64, length - i));
    out.set_bits(i, n, v.get_bits(offset + i, n) & (mask ? mask->get_bits(i, n) : word_mask(n)));
  }
  return out;
}

// Header, statement and trailer bits in the order they go in.
BitVector joined(const BitVector &head, const BitVector &body, const BitVector &tail) {
  BitVector in(head.size() + body.size() + tail.size());
  in.copy_from(0, head, 0, head.size());
  in.copy_from(head.size(), body, 0, body.size());
  in.copy_from(head.size() + body.size(), tail, 0, tail.size());
  return in;
}

const BitVector &tdi_of(const std::optional<BitVector> &tdi) {
  static const BitVector kNone;
  return tdi ? *tdi : kNone;
}

BitVector slice(const BitVector &v, size_t at, size_t length) {
  BitVector out(length);
  out.copy_from(0, v, at, length);
  return out;
}

// The state five TMS-high TCKs from `from` would pass through that a real
// TRST never touches: an Update-xR (a register takes what was shifted) or a
// Capture-xR.  None from Test-Logic-Reset, Run-Test/Idle and the Select
// states; from a pause or a shift state the path leaves through Update-xR.
std::optional<TapState> state_a_tms_reset_disturbs(TapState from) {
  TapState s = from;
  for (int i = 0; i < 5; ++i) {
    s = next_state(s, true);
    if (s == TapState::UpdateDR || s == TapState::UpdateIR || s == TapState::CaptureDR || s == TapState::CaptureIR)
      return s;
  }
  return std::nullopt;
}

}  // namespace

// ": expected 0x..., got 0x... (mask 0x...)" for bits [at, at + length) of
// the pattern, masked as compared.
std::string SvfPlayer::mismatch_text(const Pattern &p, const BitVector &out, size_t offset, size_t at, size_t length) {
  const BitVector mask = p.mask ? slice(*p.mask, at, length) : BitVector(length, true);
  std::string text = ": expected 0x" + to_hex(masked(*p.tdo, at, length, mask));
  text.append(", got 0x").append(to_hex(masked(out, offset + at, length, mask)));
  text.append(" (mask 0x").append(to_hex(mask)).append(")");
  return text;
}

void SvfPlayer::play(SvfStatement &&s, const std::string &where) {
  const bool clocks = std::holds_alternative<SvfScan>(s.body) || std::holds_alternative<SvfStatePath>(s.body) ||
                      std::holds_alternative<SvfRunTest>(s.body);
  if (clocks && trst_on_)
    throw SvfError(where + ": TRST is ON: the TAP is held in Test-Logic-Reset and cannot move; TRST OFF first");
  if (auto *scan_statement = std::get_if<SvfScan>(&s.body)) return scan(std::move(*scan_statement), where);
  if (const auto *end = std::get_if<SvfEndState>(&s.body)) return end_state(*end);
  if (const auto *path = std::get_if<SvfStatePath>(&s.body)) return state_path(*path, where);
  if (const auto *run = std::get_if<SvfRunTest>(&s.body)) return run_test(*run, where);
  if (const auto *mode = std::get_if<SvfTrst>(&s.body)) return trst(*mode, where);
  hz_ = std::get<SvfFrequency>(s.body).hz.value_or(kDefaultHz);
}

void SvfPlayer::take(Pattern &p, SvfScan &&s, const std::string &where) {
  if (s.length != p.length) p = Pattern{s.length, std::nullopt, std::nullopt, std::nullopt};
  if (s.tdi) p.tdi = std::move(s.tdi);
  if (!p.tdi && p.length > 0)
    throw SvfError(where + ": " + svf_scan_name(s.kind) + " " + std::to_string(p.length) + " needs TDI: no " +
                   svf_scan_name(s.kind) + " before it had that length");
  if (s.mask) p.mask = std::move(s.mask);
  p.tdo = std::move(s.tdo);
}

void SvfPlayer::check(const Pattern &p, const BitVector &out, size_t offset, const char *part,
                      const std::string &where) const {
  if (!p.tdo) return;
  for (size_t i = 0; i < p.length; i += 64) {
    const auto n = unsigned(std::min<size_t>(64, p.length - i));
    const uint64_t mask = p.mask ? p.mask->get_bits(i, n) : word_mask(n);
    if (((out.get_bits(offset + i, n) ^ p.tdo->get_bits(i, n)) & mask) == 0) continue;
    if (p.length <= kWholeMismatchBits)
      throw SvfError(where + ": TDO mismatch" + part + mismatch_text(p, out, offset, 0, p.length));
    std::string text = where + ": TDO mismatch" + part;
    text.append(" in bits ").append(std::to_string(i)).append("..").append(std::to_string(i + n - 1));
    text.append(" of ").append(std::to_string(p.length)).append(mismatch_text(p, out, offset, i, n));
    throw SvfError(text);
  }
}

void SvfPlayer::scan(SvfScan &&s, const std::string &where) {
  const SvfScanKind kind = s.kind;
  Pattern &body = patterns_[size_t(kind)];
  take(body, std::move(s), where);
  if (kind != K::SIR && kind != K::SDR) return;  // a header or trailer waits for its scans
  const bool ir = kind == K::SIR;
  const Pattern &head = patterns_[size_t(ir ? K::HIR : K::HDR)];
  const Pattern &tail = patterns_[size_t(ir ? K::TIR : K::TDR)];
  const uint64_t total = uint64_t(head.length) + body.length + tail.length;
  if (total > kMaxSvfBits)
    throw SvfError(where + ": " + std::to_string(total) + " bits with header and trailer, beyond the " +
                   std::to_string(kMaxSvfBits) + " bits of one scan");
  TapFollower &tap = board_tap("jtag-svf " + where + " " + svf_scan_name(kind) + " " + std::to_string(body.length));
  const TapState end = ir ? end_ir_ : end_dr_;
  const bool checked = total > 0 && (head.tdo || body.tdo || tail.tdo);
  guarded([&] {
    if (total > 0) {
      tap.walk_to(ir ? S::ShiftIR : S::ShiftDR);
      // Without header and trailer the statement's own bits go as they are.
      const BitVector in = head.length == 0 && tail.length == 0
                               ? tdi_of(body.tdi)
                               : joined(tdi_of(head.tdi), tdi_of(body.tdi), tdi_of(tail.tdi));
      if (checked)
        tap.queue_shift(in);
      else
        tap.shift_unread(in);
    }
    tap.walk_to(end);
  });
  if (!checked) return;
  const auto expected = [](const Pattern &p) { return Pattern{p.length, std::nullopt, p.mask, p.tdo}; };
  unchecked_.push_back({where, ir, expected(head), expected(body), expected(tail)});
  unchecked_bits_ += total;
  // Checks wait only where the scans wait on a wire, never past the window.
  check_until(options_.strict || !tap.defers_shifts() ? 0 : kMaxUncheckedScans);
}

// Compares the oldest unchecked scans until at most `left` are waiting
// (and, unless none may, their bits are within the bound).
void SvfPlayer::check_until(size_t left) {
  while (!unchecked_.empty() && (unchecked_.size() > left || unchecked_bits_ > kMaxUncheckedBits)) {
    const Unchecked u = std::move(unchecked_.front());
    unchecked_.pop_front();
    unchecked_bits_ -= uint64_t(u.head.length) + u.body.length + u.tail.length;
    TapFollower &tap = PlatformSession::get().tap();
    const BitVector out = guarded([&] { return tap.collect(); });
    try {
      check_scan(u, out);
    } catch (const SvfError &) {
      mismatch_ = true;
      throw;
    }
  }
}

void SvfPlayer::check_scan(const Unchecked &u, const BitVector &out) const {
  check(u.head, out, 0, u.ir ? " in the HIR bits" : " in the HDR bits", u.where);
  check(u.body, out, u.head.length, "", u.where);
  check(u.tail, out, u.head.length + u.body.length, u.ir ? " in the TIR bits" : " in the TDR bits", u.where);
}

std::vector<bool> svf_default_path(TapState from, TapState to) {
  if (from == to && (to == S::PauseDR || to == S::PauseIR)) {
    // Exit2, Update, Select-DR-Scan (and Select-IR-Scan), Capture, Exit1, Pause.
    std::vector<bool> round = {true, true, true};
    if (to == S::PauseIR) round.push_back(true);
    round.insert(round.end(), {false, true, false});
    return round;
  }
  return tms_path(from, to);
}

void SvfPlayer::state_path(const SvfStatePath &s, const std::string &where) {
  TapFollower &tap = board_tap("jtag-svf " + where + " STATE");
  const TapState target = s.states.back();
  if (s.states.size() == 1) {
    guarded([&] {
      for (const bool tms : svf_default_path(tap.record().state, target)) tap.tck(tms);
    });
    return;
  }
  // The whole path is checked before the first TCK.
  std::vector<bool> tms;
  TapState at = tap.record().state;
  for (const TapState next : s.states) {
    if (next_state(at, false) == next) {
      tms.push_back(false);
    } else if (next_state(at, true) == next) {
      tms.push_back(true);
    } else {
      throw SvfError(where + ": STATE: " + svf_name(next) + " is not one TCK from " + svf_name(at));
    }
    at = next;
  }
  guarded([&] {
    for (const bool level : tms) tap.tck(level);
  });
}

uint64_t SvfPlayer::run_tcks(const SvfRunTest &r, const std::string &where) const {
  const std::string too_many = where + ": RUNTEST beyond the " + std::to_string(kMaxSvfBits) + " TCKs it may give";
  uint64_t n = r.tcks.value_or(0);
  if (r.min_seconds) {
    // Rounded up, less a hair so that 1E-6 SEC at 1 MHz stays one TCK.
    const double tcks = std::max(0.0, std::ceil(*r.min_seconds * hz_ - 1e-6));
    if (tcks > double(kMaxSvfBits)) throw SvfError(too_many);
    n = std::max(n, uint64_t(tcks));
  }
  if (n > kMaxSvfBits) throw SvfError(too_many);
  if (r.max_seconds && double(n) > *r.max_seconds * hz_ * (1 + 1e-9)) {
    char text[160];
    std::snprintf(text, sizeof text, ": RUNTEST: %llu TCKs take longer than MAXIMUM %g SEC at %g HZ",
                  static_cast<unsigned long long>(n), *r.max_seconds, hz_);
    throw SvfError(where + text);
  }
  return n;
}

void SvfPlayer::run_test(const SvfRunTest &r, const std::string &where) {
  const uint64_t tcks = run_tcks(r, where);
  if (r.run_state) run_state_ = *r.run_state;
  if (r.end_state || r.run_state) run_end_ = r.end_state.value_or(*r.run_state);
  const TapState run = run_state_, end = run_end_;
  TapFollower &tap = board_tap("jtag-svf " + where + " RUNTEST " + std::to_string(tcks));
  guarded([&] {
    tap.walk_to(run);
    const bool stay = run == S::TestLogicReset;  // the TMS level that keeps the TAP there
    for (uint64_t i = 0; i < tcks; ++i) tap.tck(stay);
    tap.walk_to(end);
  });
}

void SvfPlayer::end_state(const SvfEndState &e) { (e.ir ? end_ir_ : end_dr_) = e.state; }

// With a TRST line (the simulated board, remote_bitbang, a probe's pin) ON
// asserts it, OFF and Z release it and ABSENT leaves it alone.  Without one,
// ON is five TCKs with TMS high (trst_by_tms).
void SvfPlayer::trst(SvfTrst mode, const std::string &where) {
  if (mode == SvfTrst::Absent) return;
  const bool on = mode == SvfTrst::On;
  PlatformSession &session = PlatformSession::get();
  if (!session.tap().has_trst()) {
    if (on) trst_by_tms(where);
    return;
  }
  if (on == trst_on_) return;
  TapFollower &tap = board_tap("jtag-svf " + where + (on ? " TRST ON" : " TRST OFF"));
  guarded([&] { tap.set_trst(on); });
  trst_on_ = on;
}

void SvfPlayer::trst_by_tms(const std::string &where) {
  TapFollower &tap = board_tap("jtag-svf " + where + " TRST ON");
  const TapState from = tap.record().state;
  if (const std::optional<TapState> passed = state_a_tms_reset_disturbs(from)) {
    const std::string what = "TRST ON: this adapter has no TRST line, and TMS high from " + svf_name(from) +
                             " to RESET passes " + svf_name(*passed);
    if (!options_.tms_trst) throw SvfError(where + ": " + what + "; --tms-trst allows it");
    if (!tms_trst_said_) std::fprintf(stderr, "jtag-svf: %s: %s (--tms-trst)\n", where.c_str(), what.c_str());
    tms_trst_said_ = true;
  }
  guarded([&] { tap.reset(); });
}

}  // namespace jtag::tools
