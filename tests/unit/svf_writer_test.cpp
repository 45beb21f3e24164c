// The SVF that JTAG_SVF writes, statement by statement, for TCK sequences
// the platform gives: the exact text for each.
#include "recorders/svf_writer.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using jtag::BitVector;
using jtag::TapState;

class StringSink : public jtag::SvfSink {
 public:
  void put(std::string_view text) override { text_ += text; }
  std::string text_;
};

// A TAP driven through the writer the way the follower drives recorders.
class Rig {
 public:
  explicit Rig(TapState start) : writer_(sink_, start), state_(start) {}

  // One TCK per character of `levels` ('0'/'1'), TDI at `tdi`.
  Rig &tms(const std::string &levels, bool tdi = false) {
    for (const char c : levels) {
      writer_.tck(state_, c == '1', tdi, std::nullopt);
      state_ = jtag::next_state(state_, c == '1');
    }
    return *this;
  }
  // A shift from Shift-xR: bit strings with bit 0 first.
  Rig &shift(const std::string &in, const std::string &out, bool recycle = false) {
    BitVector i(in.size()), o(out.size());
    for (size_t k = 0; k < in.size(); ++k) i.set(k, in[k] == '1');
    for (size_t k = 0; k < out.size(); ++k) o.set(k, out[k] == '1');
    writer_.shift(state_, i, o, recycle);
    state_ = jtag::next_state(state_, true);
    return *this;
  }
  Rig &note(const std::string &text) {
    writer_.note(text);
    return *this;
  }
  Rig &restart(TapState s) {
    writer_.restart(s);
    state_ = s;
    return *this;
  }
  std::string end() {
    writer_.end();
    return sink_.text_;
  }
  jtag::SvfWriter &writer() { return writer_; }

 private:
  StringSink sink_;
  jtag::SvfWriter writer_;
  TapState state_;
};

struct Case {
  std::string name;
  TapState start;
  std::function<std::string(Rig &)> run;
  std::string svf;
};

TEST(SvfWriter, WritesTheStatementsOfEachSequence) {
  const std::vector<Case> cases = {
      {"reset then idle", TapState::RunTestIdle, [](Rig &r) { return r.tms("111110").end(); },
       "STATE RESET;\nSTATE IDLE;\n"},
      {"cycles in idle", TapState::RunTestIdle, [](Rig &r) { return r.tms("000").end(); },
       "RUNTEST IDLE 3 TCK ENDSTATE IDLE;\n"},
      {"reset from Test-Logic-Reset writes nothing", TapState::TestLogicReset,
       [](Rig &r) { return r.tms("11111").end(); }, ""},
      {"DR scan to idle", TapState::RunTestIdle,
       [](Rig &r) { return r.tms("100").shift("101", "110").tms("10").end(); },
       "ENDDR IDLE;\nSDR 3 TDI (5) TDO (3) MASK (7);\n"},
      {"IR scan, then another: ENDIR once", TapState::RunTestIdle,
       [](Rig &r) {
         return r.tms("1100").shift("10111100", "10000000").tms("10").tms("1100").shift("1", "1").tms("10").end();
       },
       "ENDIR IDLE;\nSIR 8 TDI (3d) TDO (01) MASK (ff);\nSIR 1 TDI (1) TDO (1) MASK (1);\n"},
      {"scan to pause, cycles there", TapState::RunTestIdle,
       [](Rig &r) { return r.tms("100").shift("1111", "0000").tms("000").end(); },
       "ENDDR DRPAUSE;\nSDR 4 TDI (f) TDO (0) MASK (f);\nRUNTEST DRPAUSE 2 TCK ENDSTATE DRPAUSE;\n"},
      {"recycle: TDI is the TDO before", TapState::RunTestIdle,
       [](Rig &r) { return r.tms("100").shift("1000", "0110", true).tms("10").end(); },
       "ENDDR IDLE;\nSDR 4 TDI (d) TDO (6) MASK (f);\n"},
      {"bits clocked by hand: TDI only", TapState::RunTestIdle,
       [](Rig &r) { return r.tms("100").tms("0", true).tms("1", false).tms("10").end(); },
       "ENDDR IDLE;\nSDR 2 TDI (1);\n"},
      {"capture and update with no shift: the explicit path", TapState::RunTestIdle,
       [](Rig &r) { return r.tms("10110").end(); }, "STATE DRSELECT DRCAPTURE DREXIT1 DRUPDATE IDLE;\n"},
      {"scan left in Exit1-DR: ends in Pause-DR", TapState::RunTestIdle,
       [](Rig &r) { return r.tms("100").shift("01", "11").end(); },
       "ENDDR DRPAUSE;\nSDR 2 TDI (2) TDO (3) MASK (3);\n"},
      {"from Exit1-DR through Update: the path from Pause-DR", TapState::Exit1DR,
       [](Rig &r) { return r.tms("10").end(); }, "STATE IDLE;\n"},
      {"from Exit1-DR into Pause-DR: nothing to walk", TapState::Exit1DR, [](Rig &r) { return r.tms("00").end(); },
       "RUNTEST DRPAUSE 1 TCK ENDSTATE DRPAUSE;\n"},
      {"Select-DR-Scan left for the next process", TapState::RunTestIdle, [](Rig &r) { return r.tms("1").end(); }, ""},
      {"the next process goes on from Select-DR-Scan", TapState::SelectDRScan,
       [](Rig &r) { return r.tms("00").shift("10", "01").tms("10").end(); },
       "ENDDR IDLE;\nSDR 2 TDI (1) TDO (2) MASK (3);\n"},
      {"Update-DR left: written on to idle", TapState::RunTestIdle, [](Rig &r) { return r.tms("1011").end(); },
       "STATE DRSELECT DRCAPTURE DREXIT1 DRUPDATE IDLE;\n"},
      {"a scan from Pause-DR through Update starts from idle", TapState::PauseDR,
       [](Rig &r) { return r.tms("11100").shift("1", "1").tms("10").end(); },
       "STATE DREXIT2 DRUPDATE IDLE;\nENDDR IDLE;\nSDR 1 TDI (1) TDO (1) MASK (1);\n"},
      {"a scan going on from Pause-DR without a capture", TapState::PauseDR,
       [](Rig &r) { return r.tms("10").shift("1", "0").tms("10").end(); },
       "! the scan goes on from Pause-DR without a capture\nENDDR IDLE;\nSDR 1 TDI (1) TDO (0) MASK (1);\n"},
      {"into Shift-DR and no further", TapState::RunTestIdle, [](Rig &r) { return r.tms("100").end(); },
       "STATE DRSELECT DRCAPTURE DREXIT1 DRPAUSE;\n"},
      {"a note between two walks", TapState::RunTestIdle,
       [](Rig &r) { return r.tms("00").note("FPGA register 0x10 read: 0x01").tms("0").end(); },
       "RUNTEST IDLE 2 TCK ENDSTATE IDLE;\n! FPGA register 0x10 read: 0x01\nRUNTEST IDLE 1 TCK ENDSTATE IDLE;\n"},
      {"another TAP, in Test-Logic-Reset", TapState::RunTestIdle,
       [](Rig &r) { return r.restart(TapState::TestLogicReset).tms("0").end(); }, "STATE RESET;\nSTATE IDLE;\n"},
  };
  for (const Case &c : cases) {
    Rig rig(c.start);
    EXPECT_EQ(c.run(rig), c.svf) << c.name;
  }
}

TEST(SvfWriter, HeaderOnlyForANewFile) {
  const struct {
    bool new_file;
    TapState start;
    std::string svf;
  } cases[] = {
      {true, TapState::TestLogicReset,
       "! SVF record of jtagbox runs (JTAG_SVF): each process appends what it did on the wire\n! JTAG_TMS\nSTATE "
       "RESET;\n"},
      {true, TapState::Exit1IR,
       "! SVF record of jtagbox runs (JTAG_SVF): each process appends what it did on the wire\n! JTAG_TMS\nSTATE "
       "IRPAUSE;\n"},
      {false, TapState::Exit1IR, "! JTAG_TMS\n"},
  };
  for (const auto &c : cases) {
    Rig rig(c.start);
    rig.writer().begin(c.new_file, "JTAG_TMS");
    EXPECT_EQ(rig.end(), c.svf);
  }
}

TEST(SvfWriter, NamesAndNearestStableStates) {
  for (int i = 0; i < jtag::kTapStateCount; ++i) {
    const auto s = static_cast<TapState>(i);
    EXPECT_EQ(jtag::svf_state_from_name(jtag::svf_state_name(s)), s);
    EXPECT_TRUE(jtag::svf_stable(jtag::svf_nearest_stable(s)));
  }
  EXPECT_EQ(jtag::svf_nearest_stable(TapState::CaptureIR), TapState::RunTestIdle);
  EXPECT_EQ(jtag::svf_nearest_stable(TapState::Exit2IR), TapState::PauseIR);
  EXPECT_FALSE(jtag::svf_state_from_name("SHIFTDR"));
}

}  // namespace

// A shift given where the TAP is not in Shift-xR (JTAG_Shift_internal from
// Test-Logic-Reset) is that many TCKs along the TAP's own path.
TEST(SvfWriter, ShiftOutsideShiftStatesIsItsTcks) {
  Rig rig(TapState::TestLogicReset);
  rig.tms("0");
  jtag::BitVector in(8), out(8, true);
  rig.writer().tck(TapState::RunTestIdle, false, false, std::nullopt);
  rig.writer().shift(TapState::RunTestIdle, in, out, false);
  EXPECT_EQ(rig.end(), "STATE IDLE;\nRUNTEST IDLE 8 TCK ENDSTATE IDLE;\n");
}
