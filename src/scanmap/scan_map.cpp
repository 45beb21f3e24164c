#include "scanmap/scan_map.h"

#include <algorithm>
#include <cctype>
#include <unordered_map>

#include "base/error.h"
#include "files/checked_file.h"

namespace jtag::scanmap {
namespace {

constexpr uint64_t kMapFileLimit = uint64_t{256} << 20;

// The words of one line up to a '#': the first four, and how many there are.
struct Words {
  std::string_view word[4];
  size_t count = 0;
  size_t size() const { return count; }
  bool empty() const { return count == 0; }
  std::string_view operator[](size_t i) const { return word[i]; }
  void push_back(std::string_view w) {
    if (count < 4) word[count] = w;
    ++count;
  }
};

Words words_of(std::string_view line) {
  if (const size_t hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
  Words words;
  size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t' || line[at] == '\r')) ++at;
    const size_t start = at;
    while (at < line.size() && line[at] != ' ' && line[at] != '\t' && line[at] != '\r') ++at;
    if (at > start) words.push_back(line.substr(start, at - start));
  }
  return words;
}

class Reader {
 public:
  explicit Reader(const std::string &file) : file_(file) {}

  void line(std::string_view text, size_t number) {
    number_ = number;
    const Words w = words_of(text);
    if (w.empty()) return;
    if (w[0] == "chain") return start_chain(w);
    if (map_.chains.empty()) fail("a latch before the first chain line");
    if (w.size() != 3) fail("a latch is NAME OFFSET WIDTH, not " + std::to_string(w.size()) + " words");
    add_latch(w);
  }

  ScanMap finish() {
    if (!map_.chains.empty()) finish_chain();
    map_.file = file_;
    return std::move(map_);
  }

 private:
  [[noreturn]] void fail(const std::string &what) const {
    throw ArgumentError(file_ + ":" + std::to_string(number_) + ": " + what);
  }

  void check_name(std::string_view word, const char *what) const {
    if (!is_name(word))
      fail(std::string(what) + " '" + std::string(word) + "' is not a name (letters, digits, '.', '_', '-')");
  }

  // A decimal number from `low` to `high`.
  uint64_t number(std::string_view word, const char *what, uint64_t low, uint64_t high) const {
    uint64_t value = 0;
    bool too_big = false;
    for (const char c : word) {
      if (c < '0' || c > '9') fail(std::string(what) + " '" + std::string(word) + "' is not a decimal number");
      if (value > (high - uint64_t(c - '0')) / 10) too_big = true;
      if (!too_big) value = value * 10 + uint64_t(c - '0');
    }
    if (too_big || value < low || value > high)
      fail(std::string(what) + " " + std::string(word) + " is out of range (" + std::to_string(low) + " to " +
           std::to_string(high) + ")");
    return value;
  }

  void start_chain(const Words &w) {
    if (w.size() != 3) fail("a chain line is 'chain NAME LENGTH'");
    check_name(w[1], "chain name");
    if (!map_.chains.empty()) finish_chain();
    for (const Chain &c : map_.chains)
      if (c.name == w[1]) fail("chain " + std::string(w[1]) + " is defined twice");
    Chain chain;
    chain.name = std::string(w[1]);
    chain.length = number(w[2], "chain length", 1, kMaxChainLength);
    map_.chains.push_back(std::move(chain));
    names_.clear();
    lines_.clear();
  }

  void add_latch(const Words &w) {
    Chain &chain = map_.chains.back();
    check_name(w[0], "latch name");
    const uint64_t offset = number(w[1], "offset", 0, chain.length - 1);
    const uint64_t width = number(w[2], "width", 1, chain.length);
    if (width > chain.length - offset)
      fail("latch " + std::string(w[0]) + " (bits " + std::to_string(offset) + " to " +
           std::to_string(offset + width - 1) + ") reaches past the end of chain " + chain.name + " (" +
           std::to_string(chain.length) + " bits)");
    const auto [it, added] = names_.emplace(w[0], number_);
    if (!added)
      fail("latch " + std::string(w[0]) + " is defined twice in chain " + chain.name + " (first on line " +
           std::to_string(it->second) + ")");
    chain.latches.push_back(Latch{std::string(w[0]), offset, width});
    lines_.push_back(number_);
  }

  // The latches by offset, and no two of them sharing a bit.
  void finish_chain() {
    Chain &chain = map_.chains.back();
    chain.by_offset.resize(chain.latches.size());
    for (size_t i = 0; i < chain.by_offset.size(); ++i) chain.by_offset[i] = i;
    std::sort(chain.by_offset.begin(), chain.by_offset.end(),
              [&](size_t a, size_t b) { return chain.latches[a].offset < chain.latches[b].offset; });
    for (size_t i = 1; i < chain.by_offset.size(); ++i) {
      const Latch &before = chain.latches[chain.by_offset[i - 1]];
      const size_t later_index = std::max(chain.by_offset[i - 1], chain.by_offset[i]);
      const Latch &after = chain.latches[chain.by_offset[i]];
      if (before.offset + before.width > after.offset) {
        const Latch &earlier = chain.latches[std::min(chain.by_offset[i - 1], chain.by_offset[i])];
        const Latch &later = chain.latches[later_index];
        number_ = lines_[later_index];
        fail("latch " + later.name + " overlaps latch " + earlier.name + " at bit " + std::to_string(after.offset));
      }
    }
  }

  const std::string &file_;
  size_t number_ = 0;
  ScanMap map_;
  std::unordered_map<std::string_view, size_t> names_;  // the chain's latch names (in the text), their lines
  std::vector<size_t> lines_;                           // each latch's line
};

}  // namespace

bool is_name(std::string_view word) {
  if (word.empty()) return false;
  return std::all_of(word.begin(), word.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '_' || c == '-';
  });
}

const Latch *Chain::find(std::string_view wanted) const {
  for (const Latch &l : latches)
    if (l.name == wanted) return &l;
  return nullptr;
}

const Chain &ScanMap::chain(std::string_view name) const {
  for (const Chain &c : chains)
    if (c.name == name) return c;
  throw ArgumentError(file + ": no chain " + printable(std::string(name)));
}

ScanMap parse_scan_map(std::string_view text, const std::string &file) {
  Reader reader(file);
  size_t number = 0;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    reader.line(text.substr(0, end), ++number);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  }
  return reader.finish();
}

ScanMap read_scan_map(const std::string &path) {
  return parse_scan_map(jtagbox::files::read_whole_file(path, kMapFileLimit), path);
}

}  // namespace jtag::scanmap
