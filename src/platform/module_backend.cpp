#include "platform/module_backend.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "backends/module_interface.h"
#include "base/errno_text.h"
#include "base/unique_fd.h"

namespace jtag {
namespace {

namespace fs = std::filesystem;

// From the engine's folder to the modules' (CMakeLists.txt): from bin/ or
// lib/ for the programs and libjtagplatform.so; the Python extension, which
// lives in Python's path, names its own, installed first, then the build
// tree's (cmake/python.cmake), and takes the first that exists.
#ifdef JTAGBOX_MODULE_FOLDERS
constexpr const char *kModuleFolders[] = {JTAGBOX_MODULE_FOLDERS};
#else
constexpr const char *kModuleFolders[] = {"../" JTAGBOX_MODULE_DIR};
#endif
// What a module's program headers and notes may take at most.
constexpr size_t kMaxHeaders = 256;
constexpr size_t kMaxNoteBytes = 1 << 16;

const char kHere = 0;  // an address inside the engine's file

// The engine's own file, links resolved.  A program has no name in its
// link map, and its argv[0] may be a bare command name: the kernel knows it.
fs::path engine_file() {
  Dl_info info{};
  link_map *map = nullptr;
  std::error_code ec;
  fs::path file;
  if (dladdr1(&kHere, &info, reinterpret_cast<void **>(&map), RTLD_DL_LINKMAP) != 0 && map != nullptr)
    file = map->l_name[0] == '\0' ? fs::read_symlink("/proc/self/exe", ec) : fs::canonical(map->l_name, ec);
  if (file.empty() || ec) throw PlatformError("cannot tell which file this program was started from");
  return file;
}

template <typename T>
bool read_at(int fd, uint64_t at, T *out, size_t count = 1) {
  const size_t bytes = sizeof(T) * count;
  return ::pread(fd, out, bytes, off_t(at)) == ssize_t(bytes);
}

// The module's identity note, read from its file; nothing when the file is
// no shared object for the engine's machine or has no such note.
std::optional<jtagbox_module_identity> identity_in(int fd, const ElfW(Ehdr) & engine) {
  ElfW(Ehdr) header{};
  // The magic, the word size, the byte order and the ELF version; the OS
  // ABI byte differs with the symbols a file uses.
  if (!read_at(fd, 0, &header) || std::memcmp(header.e_ident, engine.e_ident, EI_OSABI) != 0 ||
      header.e_type != ET_DYN || header.e_machine != engine.e_machine || header.e_phentsize != sizeof(ElfW(Phdr)) ||
      header.e_phnum > kMaxHeaders)
    return std::nullopt;
  std::vector<ElfW(Phdr)> segments(header.e_phnum);
  if (!read_at(fd, header.e_phoff, segments.data(), segments.size())) return std::nullopt;
  for (const ElfW(Phdr) & s : segments) {
    if (s.p_type != PT_NOTE || s.p_filesz > kMaxNoteBytes) continue;
    std::vector<unsigned char> notes(s.p_filesz);
    if (!read_at(fd, s.p_offset, notes.data(), notes.size())) return std::nullopt;
    // Each note: its header and name, then its contents, each padded to the
    // segment's alignment from the note's start (4, or 8 for the notes that
    // ask for it).
    const size_t align = s.p_align == 8 ? 8 : 4;
    const auto padded = [align](size_t n) { return (n + align - 1) / align * align; };
    for (size_t at = 0; at + sizeof(ElfW(Nhdr)) <= notes.size();) {
      ElfW(Nhdr) note{};
      std::memcpy(&note, &notes[at], sizeof note);
      const size_t name = at + sizeof note, contents = at + padded(sizeof note + note.n_namesz);
      if (contents > notes.size() || padded(note.n_descsz) > notes.size() - contents) break;
      if (note.n_type == JTAGBOX_MODULE_NOTE_TYPE && note.n_namesz == sizeof JTAGBOX_MODULE_NOTE_NAME &&
          std::memcmp(&notes[name], JTAGBOX_MODULE_NOTE_NAME, note.n_namesz) == 0 &&
          note.n_descsz == sizeof(jtagbox_module_identity)) {
        jtagbox_module_identity identity{};
        std::memcpy(&identity, &notes[contents], sizeof identity);
        return identity;
      }
      at = contents + padded(note.n_descsz);
    }
  }
  return std::nullopt;
}

struct LibraryClose {
  void operator()(void *handle) const { ::dlclose(handle); }
};
using Library = std::unique_ptr<void, LibraryClose>;

// A board a module opened.  It is closed, and the module let go after it,
// when the last of its lines and its record goes.
class ModuleBoard {
 public:
  ModuleBoard(Library library, const jtagbox_module_table &calls) : library_(std::move(library)), calls_(calls) {}
  ~ModuleBoard() {
    if (board_ != nullptr) calls_.close(board_);
  }
  ModuleBoard(const ModuleBoard &) = delete;
  ModuleBoard &operator=(const ModuleBoard &) = delete;

  void open(const std::string &value, const std::string &scheme, const std::string &keys) {
    jtagbox_module_error error{};
    check(calls_.open(value.c_str(), scheme.c_str(), keys.c_str(), &board_, &error), error);
  }

  const jtagbox_module_table &calls() const { return calls_; }
  uint32_t features() const { return calls_.features(board_); }

  // One call of the table on the board; its failure thrown as this side's.
  template <typename Call, typename... Args>
  void call(Call function, Args... arguments) const {
    jtagbox_module_error error{};
    check(function(board_, arguments..., &error), error);
  }

 private:
  static void check(int status, const jtagbox_module_error &error) {
    if (status == JTAGBOX_MODULE_OK) return;
    if (status == JTAGBOX_MODULE_NO_MEMORY) throw std::bad_alloc();
    const bool known = error.kind >= 0 && error.kind <= int32_t(ErrorKind::Memory);
    throw PlatformError(std::string(error.line, strnlen(error.line, sizeof error.line)),
                        known ? ErrorKind(error.kind) : ErrorKind::Board);
  }

  Library library_;  // first in, last out: the module outlives the board
  const jtagbox_module_table &calls_;
  jtagbox_module_board *board_ = nullptr;
};

class ModuleLines final : public BackendLines {
 public:
  explicit ModuleLines(std::shared_ptr<ModuleBoard> board) : board_(std::move(board)), features_(board_->features()) {}

  bool clock(bool tms, bool tdi) override {
    int tdo = 0;
    board_->call(board_->calls().clock, int(tms), int(tdi), &tdo);
    return tdo != 0;
  }
  void pulse(bool tms, bool tdi) override { board_->call(board_->calls().pulse, int(tms), int(tdi)); }
  void reset_tap(bool tdi) override { board_->call(board_->calls().reset_tap, int(tdi)); }

  BitVector shift_bits(const BitVector &in, bool recycle) override { return shift(JTAGBOX_SHIFT_BITS, in, recycle); }
  BitVector shift_bulk(const BitVector &in, bool recycle) override { return shift(JTAGBOX_SHIFT_BULK, in, recycle); }
  void shift_unread(const BitVector &in) override {
    board_->call(board_->calls().shift, uint32_t(JTAGBOX_SHIFT_UNREAD), in.words(), uint64_t(in.size()),
                 static_cast<uint64_t *>(nullptr));
  }

  BitVector shift_staying(const BitVector &in, bool read) override {
    if (read) return shift(JTAGBOX_SHIFT_STAYING, in, false);
    board_->call(board_->calls().shift, uint32_t(JTAGBOX_SHIFT_STAYING_UNREAD), in.words(), uint64_t(in.size()),
                 static_cast<uint64_t *>(nullptr));
    return {};
  }

  bool defers_shifts() const override { return (features_ & JTAGBOX_MODULE_DEFERS_SHIFTS) != 0; }
  void queue_shift(const BitVector &in) override {
    board_->call(board_->calls().queue_shift, in.words(), uint64_t(in.size()));
    queued_.push_back(in.size());
  }
  BitVector collect_shift() override {
    if (queued_.empty()) throw PlatformError("a shift was collected that was never queued");
    const size_t n = queued_.front();
    std::vector<uint64_t> out(BitVector::word_count(n));
    board_->call(board_->calls().collect_shift, out.data(), uint64_t(n));
    queued_.pop_front();
    return BitVector::from_words(out.data(), n);
  }

  bool has_trst() const override { return (features_ & JTAGBOX_MODULE_HAS_TRST) != 0; }
  void set_trst(bool asserted) override {
    board_->call(board_->calls().set_reset, uint32_t(JTAGBOX_RESET_TRST), int(asserted));
  }
  bool has_srst() const override { return (features_ & JTAGBOX_MODULE_HAS_SRST) != 0; }
  void set_srst(bool asserted) override {
    board_->call(board_->calls().set_reset, uint32_t(JTAGBOX_RESET_SRST), int(asserted));
  }

  std::string describe() const override {
    char text[512] = {};
    board_->call(board_->calls().describe, +text, sizeof text);
    return text;
  }
  std::optional<double> set_tck_hz(double hz) override {
    double taken = 0;
    board_->call(board_->calls().set_tck_hz, hz, &taken);
    if (taken > 0) return taken;
    return std::nullopt;
  }
  void flush() override { board_->call(board_->calls().flush); }
  void finish() override { board_->call(board_->calls().finish); }

 private:
  BitVector shift(uint32_t how, const BitVector &in, bool recycle) {
    std::vector<uint64_t> out(BitVector::word_count(in.size()));
    board_->call(board_->calls().shift, how | (recycle ? uint32_t(JTAGBOX_SHIFT_RECYCLE) : 0U), in.words(),
                 uint64_t(in.size()), out.data());
    return BitVector::from_words(out.data(), in.size());
  }

  std::shared_ptr<ModuleBoard> board_;
  uint32_t features_;
  std::deque<size_t> queued_;  // the lengths of the shifts queued and not yet collected
};

class ModuleRecord final : public TapRecordStore {
 public:
  explicit ModuleRecord(std::shared_ptr<ModuleBoard> board) : board_(std::move(board)) {}
  TapRecord load() override {
    jtagbox_module_tap_record r{};
    board_->call(board_->calls().load_record, &r);
    if (r.state < 0 || r.state >= kTapStateCount) throw PlatformError("the module gave a TAP state there is none of");
    return {TapState(r.state), r.tms != 0, r.tdi != 0};
  }
  void save(const TapRecord &record) override {
    const jtagbox_module_tap_record r{int32_t(record.state), record.tms ? 1 : 0, record.tdi ? 1 : 0};
    board_->call(board_->calls().save_record, &r);
  }

 private:
  std::shared_ptr<ModuleBoard> board_;
};

std::string version_text(const jtagbox_module_identity &identity) {
  return std::string(identity.version, strnlen(identity.version, sizeof identity.version));
}

// The first of the modules' folders that exists, else the first.
fs::path module_folder(const fs::path &engine) {
  std::error_code ec;
  for (const char *folder : kModuleFolders)
    if (fs::is_directory(engine.parent_path() / folder, ec)) return engine.parent_path() / folder;
  return engine.parent_path() / kModuleFolders[0];
}

// The module, checked against this build and loaded.
std::shared_ptr<ModuleBoard> load_module(const BackendEntry &entry) {
  const std::string module(entry.module);
  const fs::path engine = engine_file();
  const std::string file = (module_folder(engine) / (module + ".so")).lexically_normal().string();
  const std::string reinstall = "; reinstall " + module;
  const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  const int open_error = errno;
  if (!fd.valid() && open_error == ENOENT)
    throw UnsupportedError("JTAG_PLATFORM=" + std::string(entry.scheme) + " needs the package " + module +
                           ", which is not installed (no " + file + ")");
  if (!fd.valid()) throw PlatformError("cannot read " + file + ": " + std::strerror(open_error) + reinstall);
  const UniqueFd self(::open(engine.c_str(), O_RDONLY | O_CLOEXEC));
  ElfW(Ehdr) engine_header{};
  if (!self.valid() || !read_at(self.get(), 0, &engine_header))
    throw PlatformError("cannot read " + engine.string() + ": " + errno_text());
  const std::optional<jtagbox_module_identity> identity = identity_in(fd.get(), engine_header);
  if (!identity) throw PlatformError(file + " is not a jtagbox module for this machine" + reinstall);
  if (identity->interface_number != JTAGBOX_MODULE_INTERFACE || version_text(*identity) != JTAGBOX_VERSION)
    throw PlatformError(file + " is of jtagbox " + version_text(*identity) + " (module interface " +
                        std::to_string(identity->interface_number) + "), not of this jtagbox " + JTAGBOX_VERSION +
                        " (interface " + std::to_string(JTAGBOX_MODULE_INTERFACE) + "); install " + module + " " +
                        JTAGBOX_VERSION);
  // Every symbol bound at once, so that a library the module needs and
  // lacks stops it here, not in the middle of a run.  The module stays
  // mapped when its handle is closed: the C++ runtime inside it takes
  // memory when it is loaded (its exception pool) that only its own data
  // points at, and the next load in the process finds it there.
  Library library(::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE));
  if (!library) {
    const char *why = ::dlerror();
    throw PlatformError("cannot load " + file + ": " + (why != nullptr ? why : "no reason given") + reinstall);
  }
  const auto *calls = static_cast<const jtagbox_module_table *>(::dlsym(library.get(), JTAGBOX_MODULE_TABLE));
  if (calls == nullptr || calls->interface_number != JTAGBOX_MODULE_INTERFACE)
    throw PlatformError(file + " is not a jtagbox module for this machine" + reinstall);
  return std::make_shared<ModuleBoard>(std::move(library), *calls);
}

}  // namespace

Backend open_module_backend(const BackendEntry &entry, std::string_view value) {
  const std::shared_ptr<ModuleBoard> board = load_module(entry);
  board->open(std::string(value), std::string(entry.scheme), std::string(entry.keys));
  Backend b;
  b.lines = std::make_unique<ModuleLines>(board);
  b.record = std::make_unique<ModuleRecord>(board);
  return b;
}

}  // namespace jtag
