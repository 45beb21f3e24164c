#include "platform/platform_session.h"

#include <cstdlib>
#include <memory>
#include <optional>

#include "platform/backend_description.h"
#include "platform/backend_table.h"
#include "platform/jtag_platform.h"
#include "platform/module_backend.h"
#include "platform/run_end.h"
#include "platform/trace.h"
#include "recorders/recorders.h"

namespace jtag {
namespace {

// Set at the first platform operation, released by end_run().  A process
// that ends another way (a failure, the reset watchdog) lets the
// destructors close the connection or the board without confirming
// anything (abandon_run()): the board then keeps the state of the run before.
std::unique_ptr<PlatformSession> g_session;
bool g_ended = false;
FailureHandler g_failure_handler = nullptr;
RunStartHandler g_run_start_handler = nullptr;
// A library caller's session for one call, on the thread that makes it.
thread_local PlatformSession *t_bound = nullptr;

std::string known_platforms() {
  std::string list;
  for (const BackendEntry &e : backend_table()) {
    if (e.open == nullptr && e.module.empty()) continue;
    if (!list.empty()) list += " or ";
    list += e.usage;
  }
  return list;
}

}  // namespace

Backend open_backend(const char *value) {
  const std::string_view text = value == nullptr ? kDefaultScheme : std::string_view(value);
  const std::string_view scheme = text.substr(0, text.find(':'));
  for (const BackendEntry &e : backend_table()) {
    if (e.scheme != scheme) continue;
    if (e.open == nullptr && e.module.empty()) throw UnsupportedError(std::string(e.left_out));
    // Read here for every backend, so that a key a module's backend does
    // not take is refused in the same words whether the module is there or not.
    const BackendArguments arguments(text, e.scheme, e.keys);
    Backend b = e.open != nullptr ? e.open(arguments) : open_module_backend(e, text);
    b.name = text;
    return b;
  }
  throw ArgumentError("JTAG_PLATFORM=" + std::string(text) + " names no known platform (use " + known_platforms() +
                      ")");
}

void set_failure_handler(FailureHandler handler) { g_failure_handler = handler; }
void set_run_start_handler(RunStartHandler handler) { g_run_start_handler = handler; }

void fail(const PlatformError &failure) {
  if (g_failure_handler != nullptr) g_failure_handler(failure);
  throw failure;
}

void abandon_run() { g_session.reset(); }

SessionBinding::SessionBinding(PlatformSession &session, const TraceFile *trace) {
  t_bound = &session;
  bind_trace(true, trace);
}

SessionBinding::~SessionBinding() {
  t_bound = nullptr;
  bind_trace(false, nullptr);
}

bool session_bound() { return t_bound != nullptr; }

PlatformSession &PlatformSession::get() {
  if (t_bound != nullptr) return *t_bound;
  if (!g_session) {
    if (g_ended) fail(PlatformError("the board was used after the end of the run"));
    g_session = guarded([] {
      // Every file the run writes is opened before the board is taken: one
      // that cannot be written ends the command before it holds the board.
      tracing();
      RecorderFiles files = open_recorder_files();
      return std::make_unique<PlatformSession>(open_backend(std::getenv("JTAG_PLATFORM")), std::move(files));
    });
    if (g_run_start_handler != nullptr) g_run_start_handler();
  }
  return *g_session;
}

PlatformSession::PlatformSession(Backend backend, RecorderFiles files)
    : backend_(std::move(backend)), tap_(*backend_.lines, backend_.record->load()) {
  recorders_ = start_recorders(std::move(files), tap_.record());
  for (const auto &r : recorders_) {
    tap_.add_observer(r.get());
    noted_.push_back(r.get());
  }
}

void PlatformSession::add_recorder(TapObserver &recorder) {
  tap_.add_observer(&recorder);
  noted_.push_back(&recorder);
}

void PlatformSession::note(std::string_view text) {
  for (TapObserver *r : noted_) r->note(text);
}

BoardServices &PlatformSession::services(const char *what) {
  if (backend_.services == nullptr)
    throw UnsupportedError(std::string(what) + " cannot be reached through JTAG_PLATFORM=" + backend_.name);
  return *backend_.services;
}

void PlatformSession::reload_tap_record() { tap_.restart_from(backend_.record->load()); }

void PlatformSession::end() {
  // A run ends with TRST released, so the board is left free to move.
  if (tap_.trst_asserted()) tap_.set_trst(false);
  // A record cut short fails the run before the board confirms it.
  for (const auto &r : recorders_) r->close();
  backend_.lines->flush();
  backend_.lines->finish();
  backend_.record->save(tap_.record());
}

namespace {

// Why the backend could not confirm the run, if it could not.
std::optional<std::string> end_session() {
  if (!g_session) return std::nullopt;
  std::unique_ptr<PlatformSession> session = std::move(g_session);
  g_ended = true;
  try {
    session->end();
  } catch (const PlatformError &e) {
    return std::string(e.what());
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> end_run() { return end_session(); }

std::string backend_description() { return PlatformSession::get().lines().describe(); }

std::optional<double> set_tck_hz(double hz) { return PlatformSession::get().lines().set_tck_hz(hz); }

std::optional<unsigned> routed_scan_mode() {
  if (!PlatformSession::get().has_services()) return std::nullopt;
  return JTAG_read_scan_control_reg() & 0xffu;
}

std::string end_run_after_failure(const std::string &line) {
  const std::optional<std::string> lost = end_session();
  return lost ? line + "; the board kept none of this run: " + *lost : line;
}

}  // namespace jtag
