// What every backend's lines must do, against each backend by name.  The TDO
// expected comes from the device behind it (processor 0: a 32-bit IDCODE, a
// BYPASS bit capturing 0, an 8-bit IR capturing ...01), never from a backend.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <random>

#include "base/error.h"
#include "base/tap_state.h"
#include "platform/jtag_platform.h"
#include "platform/platform_session.h"
#include "support/fake_tap.h"
#ifdef JTAGBOX_SIM_BOARD
#include "support/e2e.h"
#endif

namespace {

using jtag::BackendLines;
using jtag::BitVector;
using S = jtag::TapState;

struct TempDir {
  std::filesystem::path path;
  TempDir() {
    std::string name = (std::filesystem::temp_directory_path() / "jtagbox-backend-XXXXXX").string();
    if (::mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = name;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

std::vector<std::string> backends([[maybe_unused]] bool losable) {
  std::vector<std::string> names{"fake"};
#ifdef JTAGBOX_SIM_BOARD
  if (!losable) names.emplace_back("sim");  // the board in this process cannot go away
  names.insert(names.end(), {"rbb", "xvc", "xvcpeer"});
#endif
#ifdef JTAGBOX_FTDI_RIG
  names.emplace_back("ftdi");
#endif
  return names;
}

// A fresh board behind the backend named, opened by its JTAG_PLATFORM value
// (none: the fake TAP); lose() takes the board away under the open run.
struct Rig {
  TempDir dir;  // first, so that it goes last
  fake::FakeTap tap;
  fake::FakeBackendLines *fake_run = nullptr;
#ifdef JTAGBOX_SIM_BOARD
  e2e::ServeProcess server;
  std::unique_ptr<e2e::XvcPeer> peer;
  e2e::EmulatedProbe probe;
#endif
  std::string platform;
  std::function<void()> lose = [this] { fake_run->cut_wire(); };

  explicit Rig(const std::string &name) {
    if (name == "fake") return;
#ifdef JTAGBOX_SIM_BOARD
    ::setenv("XDG_STATE_HOME", (dir.path / "state").c_str(), 1);
    platform = "sim:" + (dir.path / "board").string();
    if (name == "sim") return;
    // xvc: `jtag-serve --xvc`; others `jtag-sim serve`, xvcpeer behind 3-byte XVC vectors.
    int port = name == "xvc" ? server.start_program("jtag-serve", {"jtag-serve", "--xvc", "0"}, platform)
                             : server.start(platform);
    lose = [this] { server.stop(); };
    if (name == "xvcpeer") {
      peer = std::make_unique<e2e::XvcPeer>(port, 3);
      port = peer->port();
      lose = [this] { peer->stop(); };
    }
    platform = (name == "rbb" ? "rbb:127.0.0.1:" : "xvc:127.0.0.1:") + std::to_string(port);
#endif
#ifdef JTAGBOX_FTDI_RIG
    // An emulated FT2232H (under libumockdev-preload, as ftdi.*) in front of
    // the served board; it loses the board by being unplugged.
    if (name != "ftdi") return;
    if (!probe.start({"--rbb", "127.0.0.1:" + std::to_string(port), "--serial", e2e::kProbeSerial, "--trst-pin",
                      std::to_string(e2e::kProbeTrstPin)}))
      throw std::runtime_error("ftdi-emulator --daemon did not start");
    for (const auto &[k, v] : probe.client_environment())
      if (k != "LD_PRELOAD") ::setenv(k.c_str(), v.c_str(), 1);
    platform = "ftdi:trst=" + std::to_string(e2e::kProbeTrstPin);
    lose = [this] { probe.unplug(); };
#endif
  }
  std::unique_ptr<BackendLines> open() {  // once the run before is destroyed
    if (!platform.empty()) return jtag::open_backend(platform.c_str()).lines;
    auto d = std::make_unique<fake::FakeBackendLines>(tap);
    fake_run = d.get();
    return d;
  }
};

BitVector random_bits(size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  BitVector v(n);
  for (size_t i = 0; i < n; ++i) v.set(i, (rng() & 1U) != 0);
  return v;
}

const BitVector kIdcode = BitVector::from_u64(fake::TapModel{}.idcode, 32), kBypass = BitVector(1);

// TDO through a register that captured `captured`: those bits, then TDI as
// it went in |captured| TCKs earlier (recycled: the TDO of the TCK before).
void expect_tdo(const BitVector &got, const BitVector &captured, const BitVector &in, bool recycle,
                const std::string &what) {
  ASSERT_EQ(got.size(), in.size()) << what;
  const size_t n = captured.size();
  BitVector want(in.size());
  for (size_t i = 0; i < in.size(); ++i)
    want.set(i, i < n ? captured.get(i) : recycle && i > n ? want.get(i - n - 1) : in.get(i - n));
  size_t i = 0;
  while (i < in.size() && got.get(i) == want.get(i)) ++i;
  EXPECT_EQ(i, in.size()) << what << ": the first wrong bit";
}

class BackendConformance : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    rig_ = std::make_unique<Rig>(GetParam());
    d_ = rig_->open();
  }
  void next_run() {
    d_->finish();
    d_.reset();
    d_ = rig_->open();
  }
  void walk(S from, S to) {
    for (const bool tms : jtag::tms_path(from, to)) d_->pulse(tms, true);
  }
  // Reset; BYPASS in the IR where asked (its capture checked); on to `to`.
  void reset_to(S to, bool bypass) {
    d_->reset_tap(true);
    if (bypass) {
      walk(S::TestLogicReset, S::ShiftIR);
      EXPECT_EQ(d_->shift_bits(BitVector(8, true), false), BitVector::from_u64(1, 8)) << "Capture-IR";
      walk(S::Exit1IR, S::RunTestIdle);
    }
    walk(bypass ? S::RunTestIdle : S::TestLogicReset, to);
  }
  void expect_idcode(const std::string &what) {
    walk(S::TestLogicReset, S::ShiftDR);
    EXPECT_EQ(d_->shift_bits(BitVector(32), false), kIdcode) << what;
    walk(S::Exit1DR, S::RunTestIdle);
  }
  std::unique_ptr<Rig> rig_;
  std::unique_ptr<BackendLines> d_;
};

// Every length that meets a byte or word boundary through IDCODE and BYPASS,
// by single TCKs (up to 65), the bit-level and the bulk path, plain and recycled,
// and in two pieces, the first staying in Shift-DR.
TEST_P(BackendConformance, ShiftsOfEveryLength) {
  const std::vector<size_t> plain{1, 7, 8, 9, 63, 64, 65, 1000, 4097, size_t{1} << 20},
      recycled{1, 2, 33, 34, 65, 1000, 4097};
  unsigned seed = 1;
  for (const std::string path : {"clock", "bits", "bulk", "staying"})
    for (const bool recycle : {false, true})
      for (const bool bypass : {false, true})
        for (const size_t n : recycle ? recycled : plain) {
          if ((path == "clock" && (recycle || n > 65)) || (path == "staying" && recycle)) continue;
          reset_to(S::ShiftDR, bypass);
          const BitVector in = random_bits(n, seed++);
          BitVector got(n), first(n / 2), rest(n - n / 2);
          for (size_t i = 0; path == "clock" && i < n; ++i) got.set(i, d_->clock(i + 1 == n, in.get(i)));
          if (path == "bits" || path == "bulk")
            got = path == "bits" ? d_->shift_bits(in, recycle) : d_->shift_bulk(in, recycle);
          if (path == "staying") {
            first.copy_from(0, in, 0, first.size());
            rest.copy_from(0, in, first.size(), rest.size());
            got.copy_from(0, d_->shift_staying(first, true), 0, first.size());
            got.copy_from(first.size(), d_->shift_bulk(rest, false), 0, rest.size());
          }
          expect_tdo(got, bypass ? kBypass : kIdcode, in, recycle,
                     std::to_string(n) + " bits by " + path + (recycle ? " recycled" : "") +
                         (bypass ? " through BYPASS" : ""));
          walk(S::Exit1DR, S::RunTestIdle);
        }
  d_->finish();
}

// All sixteen states: the IR and then BYPASS each shifted in two parts around
// its Pause state, each time in a new run, which finds what the last one left.
TEST_P(BackendConformance, TmsPathsThroughEveryStateAndAcrossRuns) {
  d_->reset_tap(true);
  walk(S::TestLogicReset, S::ShiftIR);
  EXPECT_EQ(d_->shift_bits(BitVector(3, true), false), BitVector::from_u64(1, 3));
  walk(S::Exit1IR, S::PauseIR);
  d_->pulse(false, true);
  walk(S::PauseIR, S::ShiftIR);
  d_->shift_bits(BitVector(5, true), false);
  walk(S::Exit1IR, S::RunTestIdle);  // through Update-IR
  next_run();
  walk(S::RunTestIdle, S::ShiftDR);
  const BitVector first = random_bits(10, 7), second = random_bits(30, 8);
  expect_tdo(d_->shift_bulk(first, false), kBypass, first, false, "BYPASS, the next run");
  walk(S::Exit1DR, S::ShiftDR);  // through Pause-DR and Exit2-DR
  expect_tdo(d_->shift_bits(second, false), BitVector(1, first.get(9)), second, false, "BYPASS after Pause-DR");
  walk(S::Exit1DR, S::RunTestIdle);  // through Update-DR
  next_run();
  d_->reset_tap(true);
  expect_idcode("after reset in the next run");
  d_->flush();
  d_->finish();
}

// From every state five TMS-high TCKs, and TRST held through TCKs (XVC has
// no line and refuses it), give IDCODE back; SRST leaves BYPASS in force.
TEST_P(BackendConformance, ResetsFromEveryStateSrstDoesNot) {
  const int n = jtag::kTapStateCount;
  EXPECT_EQ(d_->has_trst(), !GetParam().starts_with("xvc"));
  if (!d_->has_trst()) {
    EXPECT_THROW(d_->set_trst(true), jtag::PlatformError);
  }
  for (int s = 0; s < (d_->has_trst() ? 2 * n : n); ++s) {
    reset_to(S(s % n), true);
    if (s < n) {
      d_->reset_tap(s % 2 == 0);
    } else {
      d_->set_trst(true);
      for (const bool tms : {false, true, false, false}) d_->pulse(tms, true);  // Shift-DR if not held
      d_->set_trst(false);
    }
    expect_idcode(std::string(s < n ? "TMS" : "TRST").append(" reset from ").append(jtag::state_name(S(s % n))));
  }
  if (d_->has_srst()) {
    reset_to(S::ShiftDR, true);
    d_->set_srst(true);
    d_->set_srst(false);
    expect_tdo(d_->shift_bits(BitVector(2, true), false), kBypass, BitVector(2, true), false, "after SRST");
    walk(S::Exit1DR, S::RunTestIdle);
  }
  d_->finish();
}

// Deferred shifts come back in order, each its own TDO, a one-TCK read after
// them its own; a backend that does not defer refuses to queue.
TEST_P(BackendConformance, DeferredShiftsComeBackInOrder) {
  if (!d_->defers_shifts()) {
    EXPECT_THROW(d_->queue_shift(BitVector(8)), jtag::PlatformError);
    return d_->finish();
  }
  reset_to(S::ShiftDR, false);
  std::vector<BitVector> ins;
  for (unsigned k = 0; k < 4; ++k) {
    ins.push_back(random_bits(40 + 300 * k, 50 + k));
    d_->queue_shift(ins.back());
    for (const bool tms : {true, true, false, false}) d_->pulse(tms, true);  // Update, Select, Capture (IDCODE)
  }
  EXPECT_EQ(d_->clock(false, true), kIdcode.get(0));  // its own answer, not a queued shift's
  for (unsigned k = 0; k < 4; ++k)
    expect_tdo(d_->collect_shift(), kIdcode, ins[k], false, "shift " + std::to_string(k));
  walk(S::ShiftDR, S::RunTestIdle);
  d_->finish();
}

const auto kName = [](const auto &info) { return info.param; };
INSTANTIATE_TEST_SUITE_P(Backends, BackendConformance, ::testing::ValuesIn(backends(false)), kName);

// A board gone during a run is PlatformError at once, never a hang.
class BackendLosesBoard : public BackendConformance {};

TEST_P(BackendLosesBoard, GoneBoardIsPlatformError) {
  d_->reset_tap(true);
  expect_idcode("before");
  rig_->lose();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(
      {
        for (int i = 0; i < 1000; ++i) d_->clock(false, true);
        d_->shift_bulk(BitVector(1 << 16), false);
        d_->finish();
      },
      jtag::PlatformError);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

INSTANTIATE_TEST_SUITE_P(Backends, BackendLosesBoard, ::testing::ValuesIn(backends(true)), kName);

// A board that cannot be opened is an error of its kind, and the engine
// never ends the process for it: with no failure handler set, a platform
// call throws it to its caller.
TEST(OpenBackend, EachFailureHasItsKindAndIsThrown) {
  using K = jtag::ErrorKind;
  const std::pair<const char *, K> cases[] = {
      {"bogus", K::Argument},
      {"rbb:127.0.0.1", K::Argument},  // no port
      {"rbb:127.0.0.1:1", K::Unreachable},
      {"xvc:127.0.0.1:1", K::Unreachable},
      {"rbb:127.0.0.1:1,speed=9", K::Argument},
  };
  for (const auto &[platform, kind] : cases) {
    try {
      jtag::open_backend(platform);
      ADD_FAILURE() << platform << " opened";
    } catch (const jtag::PlatformError &e) {
      EXPECT_EQ(int(e.kind()), int(kind)) << platform << ": " << e.what();
    }
  }
  ::setenv("JTAG_PLATFORM", "rbb:127.0.0.1:1", 1);
  try {
    JTAG_Reset();
    ADD_FAILURE() << "JTAG_Reset() returned";
  } catch (const jtag::PlatformError &e) {
    EXPECT_EQ(int(e.kind()), int(K::Unreachable)) << e.what();
  }
  ::unsetenv("JTAG_PLATFORM");
}

}  // namespace
