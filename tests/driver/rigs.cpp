#include "driver/rigs.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <stdexcept>

#include "driver/backend_arguments.h"

#ifdef JTAGBOX_SIM_BOARD
#include "backends/rbb/rbb_client.h"
#include "backends/sim/sim_backend.h"
#include "backends/xvc/xvc_client.h"
#include "support/rbb_wire.h"
#include "support/xvc_peer.h"
#endif
#ifdef JTAGBOX_FTDI_RIG
#include "backends/ftdi/ftdi_backend.h"
#include "backends/ftdi/ftdi_options.h"
#include "support/emulated_probe.h"
#endif

namespace conformance {
namespace {

class FakeRig final : public Rig {
 public:
  std::unique_ptr<jtag::LineDriver> open() override {
    auto d = std::make_unique<fake::FakeLineDriver>(tap_);
    last_ = d.get();
    return d;
  }
  void lose_board() override { last_->cut_wire(); }

 private:
  fake::FakeTap tap_;
  fake::FakeLineDriver *last_ = nullptr;
};

#ifdef JTAGBOX_SIM_BOARD
// A directory of its own, removed with the rig.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "jtagbox-driver-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::filesystem::path &path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// The simulated board in a fresh directory, in this process.
class SimRig final : public Rig {
 public:
  std::unique_ptr<jtag::LineDriver> open() override {
    const std::string value = "sim:" + (dir_.path() / "board").string();
    return jtag::sim::open_sim_backend(jtag::BackendArguments(value, "sim", "dir")).lines;
  }
  void lose_board() override { throw std::logic_error("the simulated board cannot go away"); }

 private:
  TempDir dir_;
};

// The remote_bitbang client against `jtag-sim serve` in a child process,
// serving a fresh board; its TAP records in the rig's directory.
class RbbRig final : public Rig {
 public:
  RbbRig() {
    ::setenv("XDG_STATE_HOME", (dir_.path() / "state").c_str(), 1);
    port_ = server_.start("sim:" + (dir_.path() / "board").string());
    if (port_ == 0) throw std::runtime_error("jtag-sim serve printed no port");
  }
  std::unique_ptr<jtag::LineDriver> open() override {
    const std::string value = "rbb:127.0.0.1:" + std::to_string(port_);
    return jtag::rbb::open_rbb_backend(jtag::BackendArguments(value, "rbb", "host,port")).lines;
  }
  void lose_board() override { server_.stop(); }

 private:
  TempDir dir_;
  e2e::ServeProcess server_;
  int port_ = 0;
};

// The XVC client against `jtag-serve --xvc` serving a fresh board.
class XvcRig final : public Rig {
 public:
  XvcRig() {
    ::setenv("XDG_STATE_HOME", (dir_.path() / "state").c_str(), 1);
    port_ =
        server_.start_program("jtag-serve", {"jtag-serve", "--xvc", "0"}, "sim:" + (dir_.path() / "board").string());
    if (port_ == 0) throw std::runtime_error("jtag-serve printed no port");
  }
  std::unique_ptr<jtag::LineDriver> open() override { return open_xvc(port_); }
  void lose_board() override { server_.stop(); }

  static std::unique_ptr<jtag::LineDriver> open_xvc(int port) {
    const std::string value = "xvc:127.0.0.1:" + std::to_string(port);
    return jtag::xvc::open_xvc_backend(jtag::BackendArguments(value, "xvc", "host,port")).lines;
  }

 private:
  TempDir dir_;
  e2e::ServeProcess server_;
  int port_ = 0;
};

// The XVC client against the tests' own XVC server (support/xvc_peer.h),
// which offers vectors of 3 bytes only: every shift is cut into many
// requests, and a scan goes on across them.
class XvcPeerRig final : public Rig {
 public:
  XvcPeerRig() {
    ::setenv("XDG_STATE_HOME", (dir_.path() / "state").c_str(), 1);
    const int rbb = server_.start("sim:" + (dir_.path() / "board").string());
    if (rbb == 0) throw std::runtime_error("jtag-sim serve printed no port");
    peer_ = std::make_unique<e2e::XvcPeer>(rbb, 3);
    if (peer_->port() == 0) throw std::runtime_error("the XVC peer cannot listen");
  }
  std::unique_ptr<jtag::LineDriver> open() override { return XvcRig::open_xvc(peer_->port()); }
  void lose_board() override { peer_->stop(); }

 private:
  TempDir dir_;
  e2e::ServeProcess server_;
  std::unique_ptr<e2e::XvcPeer> peer_;
};
#endif

#ifdef JTAGBOX_FTDI_RIG
// The FTDI backend in this process, on an emulated FT2232H whose TAP is a
// fresh board served by `jtag-sim serve`.  The process must run with
// libumockdev-preload (tests/CMakeLists.txt registers it so, as ftdi.*);
// the probe's UMOCKDEV_DIR is set here, and libusb finds the probe by it.
class FtdiRig final : public Rig {
 public:
  FtdiRig() {
    const char *preload = std::getenv("LD_PRELOAD");
    if (preload == nullptr || std::string(preload).find("umockdev") == std::string::npos)
      throw std::runtime_error("the ftdi rig needs LD_PRELOAD=libumockdev-preload.so.0 (run it as ftdi.*)");
    ::setenv("XDG_STATE_HOME", (dir_.path() / "state").c_str(), 1);
    const int port = server_.start("sim:" + (dir_.path() / "board").string());
    if (port == 0) throw std::runtime_error("jtag-sim serve printed no port");
    if (!probe_.start({"--rbb", "127.0.0.1:" + std::to_string(port), "--serial", e2e::kProbeSerial, "--trst-pin",
                       std::to_string(e2e::kProbeTrstPin)}))
      throw std::runtime_error("ftdi-emulator --daemon did not print UMOCKDEV_DIR and READY");
    for (const auto &[k, v] : probe_.client_environment())
      if (k != "LD_PRELOAD") ::setenv(k.c_str(), v.c_str(), 1);
  }
  std::unique_ptr<jtag::LineDriver> open() override {
    return jtag::ftdi::open_ftdi_backend(
               jtag::BackendArguments("ftdi:trst=" + std::to_string(e2e::kProbeTrstPin), "ftdi", jtag::ftdi::kKeys))
        .lines;
  }
  // A probe loses its board by being unplugged: the run sees the USB
  // device go away.  (Stopping the emulator would break umockdev's own
  // socket instead, which ends the client in umockdev's preload.)
  void lose_board() override { probe_.unplug(); }

 private:
  TempDir dir_;
  e2e::ServeProcess server_;
  e2e::EmulatedProbe probe_;
};
#endif

}  // namespace

std::vector<std::string> backends() {
#if defined(JTAGBOX_FTDI_RIG)
  return {"fake", "sim", "rbb", "xvc", "xvcpeer", "ftdi"};
#elif defined(JTAGBOX_SIM_BOARD)
  return {"fake", "sim", "rbb", "xvc", "xvcpeer"};
#else
  return {"fake"};
#endif
}

std::vector<std::string> losable_backends() {
#if defined(JTAGBOX_FTDI_RIG)
  return {"fake", "rbb", "xvc", "xvcpeer", "ftdi"};
#elif defined(JTAGBOX_SIM_BOARD)
  return {"fake", "rbb", "xvc", "xvcpeer"};
#else
  return {"fake"};
#endif
}

std::unique_ptr<Rig> make_rig(const std::string &backend) {
  if (backend == "fake") return std::make_unique<FakeRig>();
#ifdef JTAGBOX_SIM_BOARD
  if (backend == "sim") return std::make_unique<SimRig>();
  if (backend == "rbb") return std::make_unique<RbbRig>();
  if (backend == "xvc") return std::make_unique<XvcRig>();
  if (backend == "xvcpeer") return std::make_unique<XvcPeerRig>();
#endif
#ifdef JTAGBOX_FTDI_RIG
  if (backend == "ftdi") return std::make_unique<FtdiRig>();
#endif
  throw std::invalid_argument("no rig for backend " + backend);
}

}  // namespace conformance
