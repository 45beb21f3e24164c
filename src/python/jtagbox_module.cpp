// The compiled half of `import jtagbox` (python/jtagbox/__init__.py is the
// other): a board object over the engine the commands run on.  Every method
// takes Python values, checks them before anything reaches the board (a bad
// one raises ArgumentError with the line the command would print), builds
// the words the command would hand to the platform, and runs the command's
// own steps (tap/, select/, access/, scandump/) as one run of a BoardHandle,
// with the GIL released.  So a method's trace (JTAG_TRACE) is the command's
// for the same arguments, and commands may use the board between calls.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "access/access.h"
#include "backends/sim/sim_backend.h"
#include "base/call_deadline.h"
#include "base/error.h"
#include "platform/board_handle.h"
#include "platform/jtag_platform.h"
#include "scandump/scan_dump_family.h"
#include "scanmap/latches.h"
#include "scanmap/scan_map.h"
#include "select/scan_mode.h"
#include "tap/tap_steps.h"

namespace py = pybind11;

namespace jtagbox::python {
namespace {

using jtag::ArgumentError;
using jtag::BoardHandle;
using jtag::ErrorKind;
using jtag::PlatformError;

// The Python exceptions, made once at import (module init below).
struct Exceptions {
  PyObject *error = nullptr;
  PyObject *unreachable = nullptr;
  PyObject *argument = nullptr;
  PyObject *check = nullptr;
  PyObject *timeout = nullptr;
};
Exceptions g_exceptions;

std::string hex_text(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(value));
  return text;
}

uint64_t hex_value(const std::string &text) { return std::strtoull(text.c_str(), nullptr, 16); }

// A value the command would refuse, in the command's own line (where the
// board's failures come after "jtagbox: ", as the commands print them).
struct CommandLineError : ArgumentError {
  using ArgumentError::ArgumentError;
};

void require(bool ok, const std::string &line) {
  if (!ok) throw CommandLineError(line);
}

bool fits(uint64_t value, int bits) { return bits >= 64 || (value >> bits) == 0; }

// A dump as the scan-dump commands write it: the hex text of the file and
// the bit count.
struct DumpResult {
  std::string hex;
  int length;
};

class Board {
 public:
  Board(std::optional<std::string> platform, const BoardHandle::RecorderPaths &paths)
      : handle_(std::move(platform), paths) {}

  std::string platform() const { return handle_.platform(); }
  bool closed() const { return handle_.closed(); }
  void close() { handle_.close(); }

  uint64_t reset() {
    try {
      return hex_value(handle_.run([] {
        const jtag::CallDeadline watchdog{std::chrono::seconds(kResetWatchdogSeconds)};
        return reset_and_read_idcode();
      }));
    } catch (const PlatformError &e) {
      if (e.kind() != ErrorKind::Timeout) throw;
      throw PlatformError("JTAG_Reset: ERROR : Timeout (" + std::to_string(kResetWatchdogSeconds) + "s)",
                          ErrorKind::Timeout);
    }
  }

  void select_cpu(int number) {
    require(number >= 0 && unsigned(number) < kScanModeDevices, "JTAG_CPUSelect: Error: Invalid system scan mode.");
    select("JTAG_CPUSelect", processor_mode_word(unsigned(number)));
  }
  void select_vornex(int number) {
    require(number >= 0 && unsigned(number) < kScanModeDevices, "JTAG_VNXSelect: Error: Invalid system scan mode.");
    select("JTAG_VNXSelect", vornex_mode_word(unsigned(number)));
  }
  void select_fullscan() { select("JTAG_CPUSelect", kFullScanWord); }
  void select_scandump() { select("JTAG_CPUSelect", kScanDumpWord); }

  uint64_t read_creg(uint64_t address) {
    require(fits(address, kCregAddressBits), "JTAG_ReadCreg: ERROR, Address not valid!");
    const std::string text = hex_text(address);
    return hex_value(handle_.run([&] { return jtagbox::read_creg(text.c_str(), "03"); }));
  }

  void write_creg(uint64_t address, uint64_t value) {
    require(fits(address, kCregAddressBits), "JTAG_WriteCreg: address not valid!");
    const std::string address_text = hex_text(address), data_text = hex_text(value);
    handle_.run([&] { jtagbox::write_creg(address_text.c_str(), data_text.c_str(), "FF"); });
  }

  std::vector<uint64_t> read_mem(uint64_t address, int64_t count) {
    require(count > 0 && count <= INT_MAX, "JTAG_ReadMem: ERROR, Address/Length not specified !");
    require_run_in_field("JTAG_ReadMem", address, uint64_t(count), "nothing read");
    return handle_.run([&] {
      std::vector<uint64_t> words;
      words.reserve(size_t(count));
      for (int64_t i = 0; i < count; ++i)
        words.push_back(hex_value(read_l2_word(address + kL2WordBytes * uint64_t(i))));
      return words;
    });
  }

  void write_mem(uint64_t address, const std::vector<uint64_t> &words) {
    require(!words.empty() && words.size() <= size_t(INT_MAX),
            "JTAG_WriteMem: ERROR, Address/Length/data|file not specified !");
    require_run_in_field("JTAG_WriteMem", address, words.size(), "nothing written");
    std::vector<std::string> texts;
    texts.reserve(words.size());
    for (const uint64_t w : words) texts.push_back(hex_text(w));
    handle_.run([&] {
      for (size_t i = 0; i < texts.size(); ++i) write_l2_word(address + kL2WordBytes * i, texts[i].c_str());
    });
  }

  DumpResult scan_dump(const scandump::Variant &variant, std::optional<unsigned> chain, int64_t length,
                       const std::optional<std::string> &pattern, bool recycle, bool accelerate) {
    const std::string name = variant.name;
    require(length > 0 && length < INT_MAX, name + ": ERROR, ChainSel/Length/File not specified !");
    require(!(recycle && pattern), name + ": ERROR :-r[ecycle] and -f=<infile> are mutually exclusive");
    if (chain) require(*chain < 0x40, name + ": ERROR, chain selector " + hex_text(*chain) + " has more than 6 bits");
    char selector[8] = "";
    if (chain) std::snprintf(selector, sizeof selector, "%02x", *chain);
    scandump::Request request;
    request.chain_selector = chain ? selector : nullptr;
    request.length = int(length);
    request.recycle = recycle;
    request.accelerate = accelerate;
    if (pattern)
      require(pattern->size() <= size_t((length + 3) / 4) &&
                  pattern->find_first_not_of("0123456789abcdefABCDEF") == std::string::npos,
              name + ": ERROR, pattern is no hex text of at most " + std::to_string((length + 3) / 4) + " digits");
    // Without a pattern zeros go in: "0", which the platform pads.
    const std::string in = pattern ? *pattern : "0";
    return {handle_.run([&] { return scandump::dump(variant, request, in); }), int(length)};
  }

  // `value` is the hex text of a value of at most `bits` bits (the package
  // checks it); what came out, as hex text.
  std::string shift(ShiftPath path, const char *name, int64_t bits, const std::string &value) {
    require(bits > 0 && bits < INT_MAX, std::string(name) + ": ERROR, Pattern/Length not specified !");
    require(value.size() <= size_t((bits + 3) / 4) &&
                value.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos,
            std::string(name) + ": ERROR, pattern " + value + " is no hex value of " + std::to_string(bits) + " bits");
    ShiftSettings settings;
    settings.length = int(bits);
    return handle_.run([&] { return std::string(shift_register(path, value.c_str(), settings).get()); });
  }

  void tms(int level) {
    require(level == 0 || level == 1, "ERROR: Usage JTAG_TMS <value(0 or 1)>");
    handle_.run([&] { JTAG_SetTms(level); });
  }

  void tck(int64_t count) {
    require(count > 0 && count <= INT_MAX, "JTAG_Tck: ERROR, Value needs to be greater than 0 !");
    handle_.run([&] { run_clocks(int(count)); });
  }

 private:
  void select(const char *name, unsigned word) {
    handle_.run([&] { select_scan_mode(name, word); });
  }

  // The run's addresses, address + 8 * i, must all fit the 56-bit field.
  static void require_run_in_field(const char *command, uint64_t start, uint64_t count, const char *nothing_done) {
    const bool start_fits = start < kL2AddressLimit;
    const uint64_t room = start_fits ? (kL2AddressLimit - 1 - start) / kL2WordBytes : 0;
    if (start_fits && count - 1 <= room) return;
    const uint64_t first_outside = start_fits ? start + kL2WordBytes * (room + 1) : start;
    throw CommandLineError(std::string(command) + ": ERROR, L2 address 0x" + hex_text(first_outside) +
                           " is beyond the 56-bit address field; " + nothing_done);
  }

  BoardHandle handle_;
};

// A scan map (jtag-scan(5)) over dumps given as their hex text: jtag-scan's
// own decode, diff and set, whose JSON the package reads.
class ScanMap {
 public:
  explicit ScanMap(const std::string &path) : map_(as_jtag_scan([&] { return jtag::scanmap::read_scan_map(path); })) {}

  std::vector<std::string> chains() const {
    std::vector<std::string> names;
    for (const auto &c : map_.chains) names.push_back(c.name);
    return names;
  }

  uint64_t length(const std::string &chain) const {
    return as_jtag_scan([&] { return map_.chain(chain).length; });
  }

  std::string decode(const std::string &chain, const std::string &hex, const std::vector<std::string> &only) const {
    return as_jtag_scan([&] {
      const jtag::scanmap::Chain &c = map_.chain(chain);
      const jtag::BitVector bits = bits_of(c, hex);
      return collected([&] { jtag::scanmap::decode(bits, c, jtag::scanmap::pick_latches(c, only), true, collect); });
    });
  }

  std::string diff(const std::string &chain, const std::string &a_hex, const std::string &b_hex) const {
    return as_jtag_scan([&] {
      const jtag::scanmap::Chain &c = map_.chain(chain);
      const jtag::BitVector a = bits_of(c, a_hex), b = bits_of(c, b_hex);
      jtag::scanmap::DumpDelta delta;
      for (size_t i = 0; i < jtag::BitVector::word_count(a.size()); ++i)
        if (a.words()[i] != b.words()[i]) delta.words.emplace_back(i, b.words()[i]);
      return collected([&] { jtag::scanmap::diff(c, a, delta, true, collect); });
    });
  }

  std::string set(const std::string &chain, const std::string &hex, const std::vector<std::string> &assignments) const {
    return as_jtag_scan([&] {
      const jtag::scanmap::Chain &c = map_.chain(chain);
      jtag::BitVector bits = bits_of(c, hex);
      jtag::scanmap::set_latches(c, bits, assignments);
      return jtag::scanmap::dump_text(bits);
    });
  }

 private:
  // jtag-scan's failures in its words: "jtag-scan: WHAT".
  template <typename Body>
  static auto as_jtag_scan(Body body) -> decltype(body()) {
    try {
      return body();
    } catch (const PlatformError &e) {
      throw CommandLineError("jtag-scan: " + std::string(e.what()));
    }
  }

  // A dump's text for the chain: exactly its digits, no bits above it.
  static jtag::BitVector bits_of(const jtag::scanmap::Chain &c, const std::string &hex) {
    const uint64_t digits = (c.length + 3) / 4;
    require(hex.size() == digits && hex.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos,
            "a dump of chain " + c.name + " is " + std::to_string(digits) + " hex digits, not " +
                std::to_string(hex.size()) + (hex.size() == 1 ? " character" : " characters"));
    const auto size = static_cast<size_t>(c.length);
    jtag::BitVector bits = jtag::from_hex(hex, 4 * hex.size());
    for (size_t k = size; k < bits.size(); ++k)
      require(!bits.get(k), "a dump of chain " + c.name + " has bits set above its " + std::to_string(size));
    jtag::BitVector cut(size);
    cut.copy_from(0, bits, 0, size);
    return cut;
  }

  // The text the engine gives its sink, gathered (the sink is a plain
  // function, so the text goes through this thread's buffer).
  static thread_local std::string t_text;
  static void collect(std::string_view piece) { t_text.append(piece); }
  template <typename Body>
  static std::string collected(Body body) {
    t_text.clear();
    body();
    return std::exchange(t_text, std::string());
  }

  jtag::scanmap::ScanMap map_;
};
thread_local std::string ScanMap::t_text;

// The Python exception for a failure: its kind picks the class, its text
// is the line the command would print (a board's failure after "jtagbox: ",
// as the commands print it).
void raise(const PlatformError &e) {
  PyObject *type = g_exceptions.error;
  std::string line = e.what();
  switch (e.kind()) {
    case ErrorKind::Unreachable: type = g_exceptions.unreachable; break;
    case ErrorKind::Argument: type = g_exceptions.argument; break;
    case ErrorKind::CheckFailed: type = g_exceptions.check; break;
    case ErrorKind::Timeout: type = g_exceptions.timeout; break;
    default: break;
  }
  // The commands print their own argument lines and the reset's timeout
  // as they are; everything else comes from the board, after "jtagbox: ".
  if (dynamic_cast<const CommandLineError *>(&e) == nullptr && e.kind() != ErrorKind::Timeout)
    line = "jtagbox: " + line;
  PyErr_SetString(type, line.c_str());
}

PyObject *new_exception(py::module_ &m, const char *name, PyObject *base, const char *doc) {
  const std::string qualified = std::string("jtagbox.") + name;
  PyObject *type = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base, nullptr);
  if (type == nullptr) throw py::error_already_set();
  m.add_object(name, py::handle(type));
  return type;
}

void add_exceptions(py::module_ &m) {
  g_exceptions.error =
      new_exception(m, "Error", PyExc_Exception, "A failure of jtagbox: its text is the line the command would print.");
  g_exceptions.unreachable =
      new_exception(m, "UnreachableError", g_exceptions.error, "No board answers where the platform points.");
  PyObject *argument_bases = PyTuple_Pack(2, g_exceptions.error, PyExc_ValueError);
  g_exceptions.argument = new_exception(m, "ArgumentError", argument_bases,
                                        "A value that cannot be used; raised before anything reaches the board.");
  Py_DECREF(argument_bases);
  g_exceptions.check =
      new_exception(m, "CheckError", g_exceptions.error, "The board answered, but not what was expected.");
  g_exceptions.timeout = new_exception(m, "TimeoutError", g_exceptions.error,
                                       "The board did not answer in time (a reset that never comes back).");
  py::register_exception_translator(
      [](std::exception_ptr p) {  // NOLINT(performance-unnecessary-value-param): the signature pybind11 takes
        try {
          if (p) std::rethrow_exception(p);
        } catch (const PlatformError &e) {
          raise(e);
        } catch (const std::bad_alloc &) {
          PyErr_SetString(g_exceptions.error, "jtagbox: out of memory");
        }
      });
}

using Release = py::call_guard<py::gil_scoped_release>;

}  // namespace
}  // namespace jtagbox::python

PYBIND11_MODULE(_jtagbox, m) {
  using jtagbox::python::Board;
  using jtagbox::python::DumpResult;
  using jtagbox::python::Release;
  namespace sd = jtagbox::scandump;
  m.doc() = "The engine of the jtagbox commands; use the package jtagbox, not this module.";
  jtagbox::python::add_exceptions(m);
  // Every call is a run: a simulated board stays loaded between them.
  jtag::sim::keep_boards_between_runs(true);

  using jtagbox::python::ScanMap;
  py::class_<ScanMap>(m, "ScanMap")
      .def(py::init<const std::string &>())
      .def("chains", &ScanMap::chains)
      .def("length", &ScanMap::length)
      .def("decode", &ScanMap::decode)
      .def("diff", &ScanMap::diff)
      .def("set", &ScanMap::set);

  py::class_<Board>(m, "Board")
      .def(py::init([](std::optional<std::string> platform, std::string trace, std::string wave, std::string svf) {
             return std::make_unique<Board>(
                 std::move(platform),
                 jtag::BoardHandle::RecorderPaths{std::move(trace), std::move(wave), std::move(svf)});
           }),
           py::arg("platform"), py::arg("trace"), py::arg("wave"), py::arg("svf"))
      .def_property_readonly("platform", &Board::platform)
      .def_property_readonly("closed", &Board::closed)
      .def("close", &Board::close, Release())
      .def("reset", &Board::reset, Release())
      .def("select_cpu", &Board::select_cpu, Release())
      .def("select_vornex", &Board::select_vornex, Release())
      .def("select_fullscan", &Board::select_fullscan, Release())
      .def("select_scandump", &Board::select_scandump, Release())
      .def("read_creg", &Board::read_creg, Release())
      .def("write_creg", &Board::write_creg, Release())
      .def("read_mem", &Board::read_mem, Release())
      .def("write_mem", &Board::write_mem, Release())
      .def(
          "scan_dump",
          [](Board &b, unsigned chain, int64_t length, const std::optional<std::string> &pattern, bool recycle,
             bool accelerate) {
            const DumpResult r = b.scan_dump(sd::processor_scan_dump(), chain, length, pattern, recycle, accelerate);
            return std::make_pair(r.hex, r.length);
          },
          Release())
      .def(
          "vnx_scan_dump",
          [](Board &b, int64_t length, const std::optional<std::string> &pattern, bool recycle, bool accelerate) {
            const DumpResult r =
                b.scan_dump(sd::vornex_scan_dump(), std::nullopt, length, pattern, recycle, accelerate);
            return std::make_pair(r.hex, r.length);
          },
          Release())
      .def(
          "load_ir",
          [](Board &b, int64_t bits, const std::string &value) {
            return b.shift(jtagbox::ShiftPath::Instruction, "JTAG_IRPath", bits, value);
          },
          Release())
      .def(
          "shift_dr",
          [](Board &b, int64_t bits, const std::string &value) {
            return b.shift(jtagbox::ShiftPath::Data, "JTAG_Shift", bits, value);
          },
          Release())
      .def("tms", &Board::tms, Release())
      .def("tck", &Board::tck, Release());
}
