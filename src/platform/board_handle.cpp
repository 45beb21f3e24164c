#include "platform/board_handle.h"

#include <cstdlib>

#include "platform/backend_table.h"
#include "recorders/recorders.h"

namespace jtag {

BoardHandle::Claim::Claim(BoardHandle &handle) : handle_(handle), accelerate_before_(jtag_fpga_accelerate) {
  if (handle.busy_.exchange(true))
    throw PlatformError("the board is in use by another thread (a board takes one call at a time)");
  if (handle.closed_) {
    handle.busy_ = false;
    throw PlatformError("the board was closed");
  }
}

BoardHandle::BoardHandle(std::optional<std::string> platform, const RecorderPaths &paths) {
  if (platform) {
    platform_ = std::move(*platform);
  } else {
    const char *value = std::getenv("JTAG_PLATFORM");
    platform_ = value != nullptr ? value : std::string(kDefaultScheme);
  }
  if (!paths.trace.empty()) trace_.emplace(paths.trace);
  if (!paths.wave.empty())
    files_.wave = std::make_unique<RecordFile>(paths.wave, "waveform", RecordFile::Mode::Replace);
  if (!paths.svf.empty()) files_.svf = std::make_unique<RecordFile>(paths.svf, "SVF record", RecordFile::Mode::Append);
}

// Destroyed without close(): what the recorders hold is dropped with them,
// as a process that ends on a failure leaves its records.
BoardHandle::~BoardHandle() = default;

std::unique_ptr<PlatformSession> BoardHandle::open_session() {
  auto session = std::make_unique<PlatformSession>(open_backend(platform_.c_str()), RecorderFiles{});
  if (files_.wave || files_.svf) start_recorders_at(session->tap().record());
  for (const auto &r : recorders_) session->add_recorder(*r);
  return session;
}

void BoardHandle::start_recorders_at(const TapRecord &start) {
  recorders_ = start_recorders(std::move(files_), start);
  files_ = RecorderFiles{};
}

void BoardHandle::close() {
  if (closed_) return;
  const Claim claim(*this);
  closed_ = true;
  for (const auto &r : recorders_) r->close();
  recorders_.clear();
  trace_.reset();
}

}  // namespace jtag
