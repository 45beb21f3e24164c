#include "tools/svf_player.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "platform/platform_session.h"
#include "platform/trace.h"
#include "svf/svf_states.h"

namespace jtag::tools {
namespace {

using S = TapState;
using K = SvfScanKind;

std::string svf_name(TapState s) { return std::string(svf_state_name(s)); }

uint64_t word_mask(unsigned n) { return n == 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1; }

BitVector slice(const BitVector &v, size_t at, size_t length) {
  BitVector out(length);
  out.copy_from(0, v, at, length);
  return out;
}

// `v` where `mask` has ones.
BitVector masked(const BitVector &v, const BitVector &mask) {
  BitVector out(v.size());
  for (size_t i = 0; i < v.size(); i += 64) {
    const auto n = unsigned(std::min<size_t>(64, v.size() - i));
    out.set_bits(i, n, v.get_bits(i, n) & mask.get_bits(i, n));
  }
  return out;
}

// What a mismatch says of the part of a scan it is in: header, statement
// or trailer.
const char *part_name(bool ir, size_t part) {
  if (part == 1) return "";
  if (part == 0) return ir ? " in the HIR bits" : " in the HDR bits";
  return ir ? " in the TIR bits" : " in the TDR bits";
}

std::string statements(uint64_t n) { return std::to_string(n) + (n == 1 ? " statement" : " statements"); }

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
// the pattern, which came out as bits [out_at, out_at + length) of `out`,
// masked as compared.
std::string SvfPlayer::mismatch_text(const Pattern &p, const BitVector &out, size_t out_at, size_t at, size_t length) {
  const BitVector mask = p.mask ? p.mask->slice(at, length) : BitVector(length, true);
  std::string text = ": expected 0x" + to_hex(masked(p.tdo->slice(at, length), mask));
  text.append(", got 0x").append(to_hex(masked(slice(out, out_at, length), mask)));
  text.append(" (mask 0x").append(to_hex(mask)).append(")");
  return text;
}

TapFollower &SvfPlayer::board(const std::string &trace_line) {
  PlatformSession &session = PlatformSession::get();
  trace(trace_line);
  ++sent_;
  return session.tap();
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
  frequency(std::get<SvfFrequency>(s.body), where);
}

void SvfPlayer::frequency(const SvfFrequency &f, const std::string &where) {
  hz_ = f.hz.value_or(kDefaultHz);
  if (!f.hz || frequency_said_) return;
  frequency_said_ = true;
  char text[200];
  std::snprintf(text, sizeof text,
                ": FREQUENCY %g HZ: the TCK rate of the board is not set by jtag-svf; RUNTEST times are waited in "
                "real time",
                hz_);
  say(where + text);
}

void SvfPlayer::take(Pattern &p, SvfScan &&s, const std::string &where) {
  const auto shared = [](std::optional<SvfBits> &v) { return std::make_shared<const SvfBits>(std::move(*v)); };
  if (s.length != p.length) p = Pattern{s.length, nullptr, nullptr, nullptr};
  if (s.tdi) p.tdi = shared(s.tdi);
  if (!p.tdi && p.length > 0)
    throw SvfError(where + ": " + svf_scan_name(s.kind) + " " + std::to_string(p.length) + " needs TDI: no " +
                   svf_scan_name(s.kind) + " before it had that length");
  if (s.mask) p.mask = shared(s.mask);
  p.tdo = s.tdo ? shared(s.tdo) : nullptr;
}

// Compares bits [from, to) of the pattern, 64 at a time from `from` (0 or a
// whole number of pieces, so a word is the same wherever the scan was cut),
// with `out` from `out_at`.
void SvfPlayer::check(const Pattern &p, const BitVector &out, size_t out_at, size_t from, size_t to, const char *part,
                      const std::string &where) const {
  if (!p.tdo) return;
  for (size_t i = from; i < to; i += 64) {
    const auto n = unsigned(std::min<size_t>(64, to - i));
    const size_t o = out_at + (i - from);
    const uint64_t mask = p.mask ? p.mask->get_bits(i, n) : word_mask(n);
    if (((out.get_bits(o, n) ^ p.tdo->get_bits(i, n)) & mask) == 0) continue;
    if (p.length <= kWholeMismatchBits)  // never cut: from is 0
      throw SvfError(where + ": TDO mismatch" + part + mismatch_text(p, out, out_at, 0, p.length));
    std::string text = where + ": TDO mismatch" + part;
    text.append(" in bits ").append(std::to_string(i)).append("..").append(std::to_string(i + n - 1));
    text.append(" of ").append(std::to_string(p.length)).append(mismatch_text(p, out, o, i, n));
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
  const bool checked = total > 0 && (head.tdo || body.tdo || tail.tdo);
  // A scan in pieces is compared as it goes: the scans before it first.
  if (checked && total > kShiftPieceBits) check_until(0);
  TapFollower &tap = board("jtag-svf " + where + " " + svf_scan_name(kind) + " " + std::to_string(body.length));
  const TapState end = ir ? end_ir_ : end_dr_;
  const auto expected = [](const Pattern &p) { return Pattern{p.length, nullptr, p.mask, p.tdo}; };
  Unchecked u{where, ir, expected(head), expected(body), expected(tail), sent_};
  const std::array<const Pattern *, 3> parts = {&head, &body, &tail};  // in the order they go in
  if (total > kShiftPieceBits) return scan_in_pieces(u, parts, checked, end);
  guarded([&] {
    if (total > 0) {
      tap.walk_to(ir ? S::ShiftIR : S::ShiftDR);
      BitVector in(static_cast<size_t>(total));  // at most kShiftPieceBits here
      size_t at = 0;
      for (const Pattern *p : parts) {
        if (p->length > 0) p->tdi->copy_to(in, at, 0, p->length);
        at += p->length;
      }
      if (checked)
        tap.queue_shift(in);
      else
        tap.shift_unread(in);
    }
    tap.walk_to(end);
  });
  if (!checked) return;
  unchecked_.push_back(std::move(u));
  unchecked_bits_ += total;
  // Checks wait only where the scans wait on a wire, never past the window.
  check_until(options_.ahead == 0 || !tap.defers_shifts() ? 0 : options_.ahead);
}

// A scan longer than a piece, part by part and each part in pieces of
// kShiftPieceBits from its start; the TAP leaves Shift-xR on the last TCK of
// the last piece.  A checked scan is compared piece by piece as its TDO
// comes, and a mismatch is said when the scan has ended in its ENDIR/ENDDR
// state, as a shorter scan's is.
void SvfPlayer::scan_in_pieces(const Unchecked &u, const std::array<const Pattern *, 3> &parts, bool checked,
                               TapState end) {
  const uint64_t total = uint64_t(parts[0]->length) + parts[1]->length + parts[2]->length;
  const std::array<const Pattern *, 3> expected = {&u.head, &u.body, &u.tail};
  std::optional<SvfError> mismatch;
  TapFollower &tap = PlatformSession::get().tap();
  guarded([&] {
    tap.walk_to(u.ir ? S::ShiftIR : S::ShiftDR);
    uint64_t done = 0;
    for (size_t k = 0; k < parts.size(); ++k) {
      for (size_t at = 0; at < parts[k]->length; at += kShiftPieceBits) {
        const size_t n = std::min(kShiftPieceBits, parts[k]->length - at);
        BitVector in(n);
        parts[k]->tdi->copy_to(in, 0, at, n);
        done += n;
        BitVector out;
        if (done < total)
          out = tap.shift_staying(in, checked);
        else if (checked)
          out = tap.shift(in, false, true);
        else
          tap.shift_unread(in);
        if (!checked || mismatch) continue;
        try {
          check(*expected[k], out, 0, at, at + n, part_name(u.ir, k), u.where);
        } catch (const SvfError &e) {
          mismatch = e;
        }
      }
    }
    tap.walk_to(end);
  });
  if (mismatch) failed_check(*mismatch, u.sent);
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
    } catch (const SvfError &e) {
      failed_check(e, u.sent);
    }
  }
}

// A mismatch: nothing after it is played.  Ahead, the statements after the
// scan that had gone to the board already are said.
void SvfPlayer::failed_check(const SvfError &e, uint64_t sent) {
  mismatch_ = true;
  if (options_.ahead == 0) throw e;
  throw SvfError(std::string(e.what()) + "; " + statements(sent_ - sent) +
                 " after it had already gone to the board (--ahead)");
}

void SvfPlayer::check_scan(const Unchecked &u, const BitVector &out) const {
  check(u.head, out, 0, 0, u.head.length, part_name(u.ir, 0), u.where);
  check(u.body, out, u.head.length, 0, u.body.length, part_name(u.ir, 1), u.where);
  check(u.tail, out, u.head.length + u.body.length, 0, u.tail.length, part_name(u.ir, 2), u.where);
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
  // The whole path is checked before the first TCK.
  std::vector<bool> tms;
  TapState at = PlatformSession::get().tap().record().state;
  if (s.states.size() == 1) tms = svf_default_path(at, s.states.back());
  for (size_t i = 0; s.states.size() > 1 && i < s.states.size(); ++i) {
    const TapState next = s.states[i];
    if (next_state(at, false) == next) {
      tms.push_back(false);
    } else if (next_state(at, true) == next) {
      tms.push_back(true);
    } else {
      throw SvfError(where + ": STATE: " + svf_name(next) + " is not one TCK from " + svf_name(at));
    }
    at = next;
  }
  TapFollower &tap = board("jtag-svf " + where + " STATE");
  guarded([&] {
    for (const bool level : tms) tap.tck(level);
  });
}

uint64_t SvfPlayer::run_tcks(const SvfRunTest &r, const std::string &where) const {
  const std::string too_many = where + ": RUNTEST beyond the " + std::to_string(kMaxSvfBits) + " TCKs it may give";
  uint64_t n = r.tcks.value_or(0);
  if (r.min_seconds) {
    if (*r.min_seconds > kMaxRunTestSeconds)
      throw SvfError(where + ": RUNTEST beyond the " + std::to_string(int(kMaxRunTestSeconds)) + " SEC it may wait");
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
  const double wait = r.min_seconds.value_or(0);
  TapFollower &tap = board("jtag-svf " + where + " RUNTEST " + std::to_string(tcks));
  guarded([&] {
    tap.walk_to(run);
    // The time runs from when the TAP is in its run state on the board, so
    // what a backend holds back goes first.
    if (wait > 0) tap.flush();
    const auto start = std::chrono::steady_clock::now();
    const bool stay = run == S::TestLogicReset;  // the TMS level that keeps the TAP there
    for (uint64_t i = 0; i < tcks; ++i) tap.tck(stay);
    // However fast the TCKs went, the devices get the time they asked for.
    if (wait > 0)
      tap.hold_until(start +
                     std::chrono::ceil<std::chrono::steady_clock::duration>(std::chrono::duration<double>(wait)));
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
  TapFollower &tap = board("jtag-svf " + where + (on ? " TRST ON" : " TRST OFF"));
  guarded([&] { tap.set_trst(on); });
  trst_on_ = on;
}

void SvfPlayer::trst_by_tms(const std::string &where) {
  const TapState from = PlatformSession::get().tap().record().state;
  if (const std::optional<TapState> passed = state_a_tms_reset_disturbs(from)) {
    const std::string what = "TRST ON: this adapter has no TRST line, and TMS high from " + svf_name(from) +
                             " to RESET passes " + svf_name(*passed);
    if (!options_.tms_trst) throw SvfError(where + ": " + what + "; --tms-trst allows it");
    if (!tms_trst_said_) say(where + ": " + what + " (--tms-trst)");
    tms_trst_said_ = true;
  }
  TapFollower &tap = board("jtag-svf " + where + " TRST ON");
  guarded([&] { tap.reset(); });
}

}  // namespace jtag::tools
