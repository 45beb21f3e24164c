#include "serve/backend_hold.h"

#include "base/notice.h"
#include "platform/platform_session.h"

namespace jtag::serve {

BackendLines &BackendHold::lines() {
  if (!backend_) {
    Backend opened = open_backend(platform_);
    record_ = opened.record->load();
    if (tck_hz_) opened.lines->set_tck_hz(*tck_hz_);
    backend_ = std::move(opened);
  }
  return *backend_->lines;
}

std::optional<double> BackendHold::set_tck_hz(std::optional<double> hz) {
  if (!hz) {
    tck_hz_.reset();
    return std::nullopt;
  }
  BackendLines &taken = lines();  // a backend opened now starts at its own rate
  tck_hz_ = hz;
  return taken.set_tck_hz(*hz);
}

void BackendHold::release() {
  if (!backend_) return;
  std::optional<Backend> b = std::move(backend_);
  backend_.reset();
  if (!wave_written()) return;
  try {
    b->lines->flush();
    b->lines->finish();
    b->record->save(record_);
  } catch (const PlatformError &e) {
    notice(e.what());
  }
}

bool LinesRbbBoard::rising_edge(bool tms, bool tdi, bool read) {
  BackendLines &lines = hold_.lines();
  TapRecord &rec = hold_.record();
  bool tdo = false;
  if (read)
    tdo = lines.clock(tms, tdi);
  else
    lines.pulse(tms, tdi);
  if (VcdWriter *w = wave()) {
    try {
      w->tck(rec.state, tms, tdi, read ? std::optional<bool>(tdo) : std::nullopt);
    } catch (const PlatformError &e) {
      wave_failed(e);
    }
  }
  rec = {trst_ ? TapState::TestLogicReset : next_state(rec.state, tms), tms, tdi};  // TRST holds the TAP
  note_wave_end_state(rec.state);
  return tdo;
}

void LinesRbbBoard::set_resets(bool trst, bool srst) {
  BackendLines &lines = hold_.lines();
  if (lines.has_srst() && srst != srst_) {
    lines.set_srst(srst);
    srst_ = srst;
  }
  if (!lines.has_trst()) return;
  lines.set_trst(trst);
  trst_ = trst;
  if (trst) hold_.record().state = TapState::TestLogicReset;
}

}  // namespace jtag::serve
