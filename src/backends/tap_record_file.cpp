#include "backends/tap_record_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "base/errno_text.h"
#include "base/state_dir.h"
#include "base/unique_fd.h"

namespace jtag {
namespace {

namespace fs = std::filesystem;

constexpr const char *kHeader = "jtagbox tap record 1";
constexpr size_t kMaxRecordBytes = 4096;

// mkdir -p with mode 0700 for the parts that do not exist yet.
void make_private_dirs(const fs::path &dir) {
  fs::path at;
  for (const fs::path &part : dir) {
    at /= part;
    if (::mkdir(at.c_str(), 0700) != 0 && errno != EEXIST)
      throw PlatformError("cannot make " + at.string() + ": " + errno_text());
  }
}

std::string read_small_file(const fs::path &file, bool &exists) {
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  exists = fd.get() >= 0 || errno != ENOENT;
  if (fd.get() < 0) {
    if (!exists) return {};
    throw PlatformError("the TAP record " + file.string() +
                        " cannot be read: " + (errno == ELOOP ? std::string("it is a symbolic link") : errno_text()));
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
    throw PlatformError("the TAP record " + file.string() + " is not a regular file");
  std::string text(kMaxRecordBytes + 1, '\0');
  size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = ::read(fd.get(), text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw PlatformError("the TAP record " + file.string() + " cannot be read: " + errno_text());
    if (n == 0) break;
    got += size_t(n);
  }
  if (got > kMaxRecordBytes) throw PlatformError("the TAP record " + file.string() + " is too long");
  text.resize(got);
  return text;
}

bool parse_record(const std::string &text, TapRecord &record) {
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kHeader) return false;
  int seen = 0;
  while (std::getline(in, line)) {
    const auto eq = line.find('=');
    if (eq == std::string::npos) return false;
    const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "tap") {
      const auto state = state_from_name(value);
      if (!state) return false;
      record.state = *state;
    } else if ((key == "tms" || key == "tdi") && (value == "0" || value == "1")) {
      (key == "tms" ? record.tms : record.tdi) = value == "1";
    } else {
      return false;
    }
    ++seen;
  }
  return seen == 3;
}

void write_all(int fd, const std::string &text, const fs::path &file) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw PlatformError("cannot write " + file.string() + ": " + errno_text());
    done += size_t(n);
  }
}

// Keeps the newest kMaxTapRecords records of the directory.
void prune_old_records(const fs::path &dir) {
  std::error_code ec;
  std::vector<std::pair<fs::file_time_type, fs::path>> records;
  for (const auto &entry : fs::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name[0] == '.' || !entry.is_regular_file(ec) || entry.is_symlink(ec)) continue;
    records.emplace_back(entry.last_write_time(ec), entry.path());
  }
  if (records.size() <= kMaxTapRecords) return;
  std::sort(records.begin(), records.end());
  for (size_t i = 0; i + kMaxTapRecords < records.size(); ++i) fs::remove(records[i].second, ec);
}

class TapRecordFile final : public TapRecordStore {
 public:
  explicit TapRecordFile(fs::path file) : file_(std::move(file)) {}

  TapRecord load() override {
    bool exists = false;
    const std::string text = read_small_file(file_, exists);
    TapRecord record;
    if (exists && !parse_record(text, record))
      throw PlatformError("the TAP record " + file_.string() +
                          " cannot be read; remove it, then JTAG_Reset brings the TAP and the record in step");
    return record;
  }

  void save(const TapRecord &record) override {
    const fs::path dir = file_.parent_path();
    make_private_dirs(dir);
    std::string hidden_name = ".";
    hidden_name += file_.filename().string();
    hidden_name += ".XXXXXX";
    std::string tmp = (dir / hidden_name).string();
    UniqueFd fd(::mkostemp(tmp.data(), O_CLOEXEC));  // O_EXCL: never through a planted link
    if (fd.get() < 0) throw PlatformError("cannot create a file in " + dir.string() + ": " + errno_text());
    std::ostringstream text;
    text << kHeader << "\ntap=" << state_name(record.state) << "\ntms=" << record.tms << "\ntdi=" << record.tdi << "\n";
    try {
      write_all(fd.get(), text.str(), tmp);
      if (::close(fd.release()) != 0) throw PlatformError("cannot write " + tmp + ": " + errno_text());
      if (::rename(tmp.c_str(), file_.c_str()) != 0)
        throw PlatformError("cannot replace " + file_.string() + ": " + errno_text());
    } catch (const PlatformError &) {
      ::unlink(tmp.c_str());
      throw;
    }
    prune_old_records(dir);
  }

 private:
  fs::path file_;
};

}  // namespace

fs::path tap_record_dir() { return user_state_dir("jtagbox", "the TAP record") / "tap-records"; }

std::string file_name_of(const std::string &name) {
  std::string safe = name;
  for (char &c : safe)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') c = '_';
  if (safe.empty() || safe[0] == '.') safe.insert(safe.begin(), '_');
  return safe;
}

std::unique_ptr<TapRecordStore> tap_record_file(const std::string &name) {
  return std::make_unique<TapRecordFile>(tap_record_dir() / file_name_of(name));
}

UniqueFd lock_adapter(const std::string &name, const std::string &what) {
  const fs::path dir = tap_record_dir().parent_path() / "adapter-locks";
  make_private_dirs(dir);
  const fs::path file = dir / file_name_of(name);
  UniqueFd fd(::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd.valid()) throw PlatformError(what + ": cannot open its lock " + file.string() + ": " + errno_text());
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(kAdapterLockSeconds);
  while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR)
      throw PlatformError(what + ": cannot lock " + file.string() + ": " + errno_text());
    if (std::chrono::steady_clock::now() >= until)
      throw PlatformError(what + " is busy: another process has driven it for " + std::to_string(kAdapterLockSeconds) +
                          " s");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return fd;
}

}  // namespace jtag
