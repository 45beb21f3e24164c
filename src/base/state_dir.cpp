#include "base/state_dir.h"

#include <cstdlib>

#include "base/error.h"

namespace jtag {
namespace {

bool absolute_variable(const char *name, std::filesystem::path &value) {
  const char *text = std::getenv(name);
  if (text == nullptr || text[0] != '/') return false;
  value = text;
  return true;
}

}  // namespace

std::filesystem::path user_state_dir(const std::string &name, const std::string &what) {
  std::filesystem::path base;
  if (absolute_variable("XDG_STATE_HOME", base)) return base / name;
  if (absolute_variable("HOME", base)) return base / ".local" / "state" / name;
  throw PlatformError("neither XDG_STATE_HOME nor HOME is an absolute path: no place for " + what);
}

}  // namespace jtag
