#include "programs/command_table.h"

#include <cstring>

namespace jtagbox {
namespace {

// The GNU basename rule: everything after the last '/', without touching
// the argument ("/usr/bin/" gives "").
const char *last_path_component(const char *path) {
  const char *slash = std::strrchr(path, '/');
  return slash == nullptr ? path : slash + 1;
}

}  // namespace

CommandHandler find_command(const char *invocation_name) {
  if (invocation_name == nullptr) return nullptr;
  const char *name = last_path_component(invocation_name);
  for (const Command &c : command_table())
    if (std::strcmp(c.name, name) == 0) return c.handler;
  return nullptr;
}

}  // namespace jtagbox
