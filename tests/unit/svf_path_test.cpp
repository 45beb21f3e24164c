// STATE's default paths between the four stable states, as the SVF
// standard's table lists them, state by state: the player's TMS levels must
// walk exactly these states.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/tap_state.h"
#include "recorders/svf_writer.h"
#include "tools/svf_player.h"

namespace {

using jtag::TapState;

// From, to, and every state passed after `from`, by SVF's names.
struct Row {
  const char *from, *to;
  std::vector<std::string> path;
};

const std::vector<Row> kTable = {
    {"RESET", "RESET", {}},
    {"RESET", "IDLE", {"IDLE"}},
    {"RESET", "DRPAUSE", {"IDLE", "DRSELECT", "DRCAPTURE", "DREXIT1", "DRPAUSE"}},
    {"RESET", "IRPAUSE", {"IDLE", "DRSELECT", "IRSELECT", "IRCAPTURE", "IREXIT1", "IRPAUSE"}},
    {"IDLE", "RESET", {"DRSELECT", "IRSELECT", "RESET"}},
    {"IDLE", "IDLE", {}},
    {"IDLE", "DRPAUSE", {"DRSELECT", "DRCAPTURE", "DREXIT1", "DRPAUSE"}},
    {"IDLE", "IRPAUSE", {"DRSELECT", "IRSELECT", "IRCAPTURE", "IREXIT1", "IRPAUSE"}},
    {"DRPAUSE", "RESET", {"DREXIT2", "DRUPDATE", "DRSELECT", "IRSELECT", "RESET"}},
    {"DRPAUSE", "IDLE", {"DREXIT2", "DRUPDATE", "IDLE"}},
    {"DRPAUSE", "DRPAUSE", {"DREXIT2", "DRUPDATE", "DRSELECT", "DRCAPTURE", "DREXIT1", "DRPAUSE"}},
    {"DRPAUSE", "IRPAUSE", {"DREXIT2", "DRUPDATE", "DRSELECT", "IRSELECT", "IRCAPTURE", "IREXIT1", "IRPAUSE"}},
    {"IRPAUSE", "RESET", {"IREXIT2", "IRUPDATE", "DRSELECT", "IRSELECT", "RESET"}},
    {"IRPAUSE", "IDLE", {"IREXIT2", "IRUPDATE", "IDLE"}},
    {"IRPAUSE", "DRPAUSE", {"IREXIT2", "IRUPDATE", "DRSELECT", "DRCAPTURE", "DREXIT1", "DRPAUSE"}},
    {"IRPAUSE", "IRPAUSE", {"IREXIT2", "IRUPDATE", "DRSELECT", "IRSELECT", "IRCAPTURE", "IREXIT1", "IRPAUSE"}},
};

TapState state(const std::string &name) {
  const auto s = jtag::svf_state_from_name(name);
  EXPECT_TRUE(s.has_value()) << name;
  return s.value_or(TapState::TestLogicReset);
}

TEST(SvfDefaultPath, EveryStableStateToEveryOtherAsTheTableSays) {
  for (const Row &row : kTable) {
    const std::vector<bool> tms = jtag::tools::svf_default_path(state(row.from), state(row.to));
    std::vector<std::string> walked;
    TapState at = state(row.from);
    for (const bool level : tms) {
      at = jtag::next_state(at, level);
      walked.emplace_back(jtag::svf_state_name(at));
    }
    EXPECT_EQ(walked, row.path) << row.from << " to " << row.to;
  }
}

}  // namespace
