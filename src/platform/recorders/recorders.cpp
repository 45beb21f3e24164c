#include "platform/recorders/recorders.h"

#include <cerrno>
#include <cstdlib>

#include "platform/recorders/svf_recorder.h"
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
  if (const char *svf = setting("JTAG_SVF"))
    recorders.push_back(std::make_unique<SvfRecorder>(svf, start.state, program_invocation_short_name));
  return recorders;
}

}  // namespace jtag
