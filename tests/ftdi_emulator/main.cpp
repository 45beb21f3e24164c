// ftdi-emulator: an FT2232H that libusb, libftdi1 and OpenOCD see as a
// plugged-in USB device, for testing without hardware (doc/testing-ftdi.md
// lists its options).  A umockdev testbed holds its chips; channel A's MPSSE
// commands run against the remote_bitbang server given by --rbb HOST:PORT
// (ADBUS0 TCK, ADBUS1 TDI, ADBUS2 TDO, ADBUS3 TMS).  `-- COMMAND ARGS...`
// runs COMMAND in the testbed and exits with its status (128 + signal);
// `--daemon` prints `UMOCKDEV_DIR=<dir>` and `READY` and serves clients
// started with that environment until SIGTERM or SIGINT.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <umockdev.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ftdi_chip.h"
#include "rbb_link.h"
#include "usbfs_device.h"

namespace {

using ftdi_emu::Chip;
using ftdi_emu::UsbfsDevice;

constexpr const char *kPreload = "libumockdev-preload.so";
constexpr int kMaxDevices = 32;
// How often closed clients are looked for (umockdev does not say when one
// goes), and so how late the stats file can be after a client closed.
constexpr std::chrono::milliseconds kTick(10);

[[noreturn]] void fail(const std::string &message) {
  std::fprintf(stderr, "ftdi-emulator: %s\n", message.c_str());
  std::exit(1);
}

struct Options {
  std::string rbb_host;
  int rbb_port = 0;
  ftdi_emu::Identity identity;
  int devices = 1;
  std::string stats_file;
  ftdi_emu::Faults faults;
  int trst_pin = -1;
  int srst_pin = -1;
  bool daemon = false;
  std::vector<std::string> command;
};

uint64_t number_option(const std::string &name, const std::string &value, uint64_t max, int base = 10) {
  const std::string digits = base == 16 && value.rfind("0x", 0) == 0 ? value.substr(2) : value;
  uint64_t n = 0;
  const char *end = digits.data() + digits.size();
  const auto [ptr, ec] = std::from_chars(digits.data(), end, n, base);
  if (digits.empty() || ec != std::errc() || ptr != end || n > max)
    fail(name + " takes a number up to " + std::to_string(max) + ", not '" + value + "'");
  return n;
}

Options parse_options(int argc, char **argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      for (int j = i + 1; j < argc; ++j) o.command.emplace_back(argv[j]);
      break;
    }
    if (arg == "--daemon") {
      o.daemon = true;
      continue;
    }
    if (i + 1 >= argc) fail("unknown option or missing value: " + arg);
    const std::string value = argv[++i];
    if (arg == "--rbb") {
      const std::size_t colon = value.rfind(':');
      if (colon == std::string::npos || colon == 0) fail("--rbb takes HOST:PORT, not '" + value + "'");
      o.rbb_host = value.substr(0, colon);
      o.rbb_port = int(number_option("--rbb port", value.substr(colon + 1), 65535));
    } else if (arg == "--pid") {
      o.identity.pid = uint16_t(number_option(arg, value, 0xFFFF, 16));
    } else if (arg == "--serial") {
      if (value.empty() || value.size() > 64) fail("--serial takes 1 to 64 characters");
      o.identity.serial = value;
    } else if (arg == "--devices") {
      o.devices = int(number_option(arg, value, kMaxDevices));
      if (o.devices < 1) fail("--devices takes a number from 1 to 32");
    } else if (arg == "--stats") {
      o.stats_file = value;
    } else if (arg == "--unplug-after-out") {
      o.faults.unplug_after_out = number_option(arg, value, UINT32_MAX);
    } else if (arg == "--silent-after-out") {
      o.faults.silent_after_out = number_option(arg, value, UINT32_MAX);
    } else if (arg == "--bad-command-at") {
      o.faults.bad_command_at = number_option(arg, value, UINT32_MAX);
    } else if (arg == "--trst-pin") {
      o.trst_pin = int(number_option(arg, value, 15));
    } else if (arg == "--srst-pin") {
      o.srst_pin = int(number_option(arg, value, 15));
    } else {
      fail("unknown option: " + arg);
    }
  }
  if (o.daemon == !o.command.empty()) fail("give either --daemon or -- COMMAND ARGS...");
  return o;
}

// The serial of chip k of n: the given one for a single chip; otherwise
// its trailing digits replaced by k (JTBX0001, JTBX0002, ...), or k
// appended when it has none.
std::string serial_of(const std::string &base, int k, int n) {
  if (n == 1) return base;
  std::size_t digits = 0;
  while (digits < base.size() && std::isdigit(static_cast<unsigned char>(base[base.size() - 1 - digits])) != 0)
    ++digits;
  std::string number = std::to_string(k);
  if (number.size() < digits) number.insert(0, digits - number.size(), '0');
  return base.substr(0, base.size() - digits) + number;
}

std::string hex(const std::vector<uint8_t> &bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : bytes) text += {kDigits[b >> 4], kDigits[b & 0xF]};
  return text;
}

// The sysfs device as the kernel shows a high-speed device on port k of
// bus 1, in umockdev's text format.
std::string sysfs_record(const ftdi_emu::Identity &id, int k, int devnum) {
  char ids[64];
  std::snprintf(ids, sizeof ids, "%04x/%04x/700", id.vid, id.pid);
  char node[32];
  std::snprintf(node, sizeof node, "bus/usb/001/%03d", devnum);
  char vid[8], pid[8];
  std::snprintf(vid, sizeof vid, "%04x", id.vid);
  std::snprintf(pid, sizeof pid, "%04x", id.pid);
  const std::string port = "1-" + std::to_string(k);
  return "P: /devices/pci0000:00/0000:00:14.0/usb1/" + port + "\nN: " + node +
         "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: BUSNUM=001\nE: DEVNUM=" +
         std::string(node + 12) + "\nE: DEVNAME=/dev/" + node + "\nE: PRODUCT=" + ids +
         "\nA: busnum=1\\n\nA: devnum=" + std::to_string(devnum) + "\\n\nA: devpath=" + std::to_string(k) +
         "\\n\nA: speed=480\\n\nA: bConfigurationValue=1\\n\nA: bNumConfigurations=1\\n\nA: bNumInterfaces= 2\\n"
         "\nA: bMaxPacketSize0=64\\n\nA: idVendor=" +
         vid + "\\n\nA: idProduct=" + pid +
         "\\n\nA: bcdDevice=0700\\n\nA: manufacturer=FTDI\\n\nA: product=Dual RS232-HS\\n\nA: serial=" + id.serial +
         "\\n\nH: descriptors=" + hex(ftdi_emu::descriptors(id)) + "\n";
}

// Writes `text` to `path` through a fresh file renamed over it: never
// through a symbolic link, never half-written.
bool write_file_atomically(const std::string &path, const std::string &text) {
  const std::string temporary = path + ".tmp" + std::to_string(getpid());
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool written = write(fd, text.data(), text.size()) == ssize_t(text.size());
  const bool closed = close(fd) == 0;
  if (!written || !closed || rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

class Emulator {
 public:
  explicit Emulator(const Options &options) : options_(options) {
    if (options_.rbb_host.empty())
      wire_ = std::make_unique<ftdi_emu::NoBoard>();
    else
      wire_ = std::make_unique<ftdi_emu::RbbLink>(options_.rbb_host, options_.rbb_port);
    testbed_ = umockdev_testbed_new();
    if (testbed_ == nullptr) fail("cannot create the umockdev testbed");
    gchar *root = umockdev_testbed_get_root_dir(testbed_);
    root_ = root;
    g_free(root);
    for (int k = 1; k <= options_.devices; ++k) add_device(k);
  }
  ~Emulator() {
    // The testbed's thread stops calling into the devices first; a client
    // still connected (daemon mode) finds no answer and its ioctl fails.
    for (const auto &d : devices_) d->detach();
    if (testbed_ != nullptr) g_object_unref(testbed_);
    devices_.clear();
  }
  Emulator(const Emulator &) = delete;
  Emulator &operator=(const Emulator &) = delete;

  const std::string &root() const { return root_; }

  void unplug_all() {
    for (const auto &d : devices_) d->unplug();
  }

  // Notices the clients that went away (the stats are written for each);
  // returns how many are still there.
  int tick() {
    const std::lock_guard<std::mutex> hold(lock_);
    int open = 0;
    for (const auto &d : devices_) {
      d->forget_closed_clients();
      open += d->open_clients();
    }
    return open;
  }

  // Waits up to `limit` for every client to close the device (their
  // sockets close when they exit), then writes the stats.
  void finish(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (tick() != 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(kTick);
    const std::lock_guard<std::mutex> hold(lock_);
    write_stats();
  }

 private:
  void add_device(int k) {
    ftdi_emu::Identity id = options_.identity;
    id.serial = serial_of(options_.identity.serial, k, options_.devices);
    const int devnum = k + 1;  // address 1 is the root hub's
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03d", devnum);
    auto device = std::make_unique<UsbfsDevice>(
        Chip(id, options_.faults, wire_.get(), options_.trst_pin, options_.srst_pin), lock_, [this] { write_stats(); });
    std::string error;
    // The node is served before the device appears, so a client that sees
    // it can open it at once.
    if (!device->attach(testbed_, node, error)) fail(error);
    GError *failure = nullptr;
    if (umockdev_testbed_add_from_string(testbed_, sysfs_record(id, k, devnum).c_str(), &failure) == 0) {
      const std::string why = failure != nullptr ? failure->message : "refused";
      if (failure != nullptr) g_error_free(failure);
      fail("cannot add the device to the testbed: " + why);
    }
    devices_.push_back(std::move(device));
  }

  // With the lock held.
  void write_stats() {
    if (options_.stats_file.empty()) return;
    std::string text;
    for (const auto &[name, count] : ftdi_emu::kStatNames) {
      uint64_t total = 0;
      for (const auto &d : devices_) total += d->stats().*count;
      text += std::string(name) + " " + std::to_string(total) + "\n";
    }
    if (!write_file_atomically(options_.stats_file, text))
      std::fprintf(stderr, "ftdi-emulator: cannot write %s: %s\n", options_.stats_file.c_str(), std::strerror(errno));
  }

  const Options &options_;
  std::mutex lock_;
  std::unique_ptr<ftdi_emu::Wire> wire_;
  UMockdevTestbed *testbed_ = nullptr;
  std::string root_;
  std::vector<std::unique_ptr<UsbfsDevice>> devices_;
};

// The preload goes after whatever the caller preloads already (a sanitizer
// runtime must stay first).
std::string preload_value() {
  const char *existing = std::getenv("LD_PRELOAD");
  return existing == nullptr || *existing == '\0' ? kPreload : std::string(existing) + ":" + kPreload;
}

// An AddressSanitizer build refuses to start when a preloaded library
// comes before its runtime, which the umockdev preload does unless the
// caller preloads the runtime itself; the check alone is turned off (the
// preload only wraps the device calls, ASan still sees the rest).
std::string asan_options() {
  const char *existing = std::getenv("ASAN_OPTIONS");
  std::string options = existing != nullptr ? existing : "";
  if (options.find("verify_asan_link_order") != std::string::npos) return options;
  return options.empty() ? "verify_asan_link_order=0" : options + ":verify_asan_link_order=0";
}

pid_t spawn(const Options &options, const std::string &root, const sigset_t &blocked) {
  const pid_t pid = fork();
  if (pid < 0) fail(std::string("cannot fork: ") + std::strerror(errno));
  if (pid > 0) return pid;
  sigprocmask(SIG_UNBLOCK, &blocked, nullptr);
  setenv("UMOCKDEV_DIR", root.c_str(), 1);
  setenv("LD_PRELOAD", preload_value().c_str(), 1);
  setenv("ASAN_OPTIONS", asan_options().c_str(), 1);
  std::vector<char *> argv;
  for (const std::string &a : options.command) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  std::fprintf(stderr, "ftdi-emulator: cannot run %s: %s\n", argv[0], std::strerror(errno));
  _exit(127);
}

int exit_status(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

// Serves until the command ends (its status) or, with none (child -1),
// until SIGTERM or SIGINT (0).  Either signal is passed on to the command,
// SIGKILL follows 5 s later; SIGUSR1 pulls the chips out.
int serve(Emulator &emulator, const sigset_t &blocked, pid_t child) {
  std::optional<std::chrono::steady_clock::time_point> kill_at;
  const timespec tick{0, std::chrono::nanoseconds(kTick).count()};
  for (;;) {
    int status = 0;
    const pid_t done = child > 0 ? waitpid(child, &status, WNOHANG) : 0;
    if (done == child) return exit_status(status);
    if (done < 0 && errno != EINTR) fail(std::string("waitpid: ") + std::strerror(errno));
    const int sig = sigtimedwait(&blocked, nullptr, &tick);
    if (sig < 0 && errno != EAGAIN && errno != EINTR) fail(std::string("sigtimedwait: ") + std::strerror(errno));
    emulator.tick();
    if (sig == SIGUSR1) emulator.unplug_all();
    if ((sig == SIGTERM || sig == SIGINT) && child < 0) return 0;
    if (sig == SIGTERM || sig == SIGINT) {
      kill(child, sig);
      if (!kill_at) kill_at = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    }
    if (kill_at && std::chrono::steady_clock::now() >= *kill_at) kill(child, SIGKILL);
  }
}

}  // namespace

int main(int argc, char **argv) {
  const Options options = parse_options(argc, argv);
  // Blocked before the testbed's worker thread starts, so it inherits the
  // mask and the signals come to the waits below.
  sigset_t blocked;
  sigemptyset(&blocked);
  for (const int sig : {SIGTERM, SIGINT, SIGCHLD, SIGUSR1}) sigaddset(&blocked, sig);
  sigprocmask(SIG_BLOCK, &blocked, nullptr);
  signal(SIGPIPE, SIG_IGN);
  int status = 0;
  {
    Emulator emulator(options);
    pid_t child = -1;
    if (options.daemon) {
      std::printf("UMOCKDEV_DIR=%s\nREADY\n", emulator.root().c_str());
      std::fflush(stdout);
    } else {
      child = spawn(options, emulator.root(), blocked);
    }
    status = serve(emulator, blocked, child);
    emulator.finish(std::chrono::milliseconds(options.daemon ? 200 : 1000));
  }
  return status;
}
