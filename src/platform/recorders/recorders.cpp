#include "platform/recorders/recorders.h"

#include <cstdlib>

#include "platform/recorders/wave_recorder.h"

namespace jtag {
namespace {

const char *setting(const char *name) {
  const char *value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

}  // namespace

std::vector<std::unique_ptr<TapObserver>> open_recorders(const TapRecord &start) {
  std::vector<std::unique_ptr<TapObserver>> recorders;
  if (const char *wave = setting("JTAG_WAVE")) recorders.push_back(std::make_unique<WaveRecorder>(wave, start.state));
  return recorders;
}

}  // namespace jtag
