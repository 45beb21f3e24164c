// The tools nobody here wrote that check what jtagbox does: sigrok-cli's
// JTAG decoder and OpenOCD.  Missing, a case is skipped, and fails in CI
// (CI=true), so that no check passes by not running.
#ifndef JTAGBOX_TESTS_E2E_PEER_TOOLS_H
#define JTAGBOX_TESTS_E2E_PEER_TOOLS_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "support/e2e.h"

namespace e2e {

inline const char *const kSigrokCli = "/usr/bin/sigrok-cli";
inline const char *const kOpenOcd = "/usr/bin/openocd";

inline bool in_ci() {
  const char *ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

#define JTAGBOX_NEED_PEER(path)                                                                       \
  do {                                                                                                \
    if (::access((path), X_OK) != 0) {                                                                \
      if (e2e::in_ci()) FAIL() << (path) << " is missing: CI must have it (scripts/install-deps.sh)"; \
      GTEST_SKIP() << (path) << " is not installed (scripts/install-deps.sh installs it)";            \
    }                                                                                                 \
  } while (0)

}  // namespace e2e

#endif
