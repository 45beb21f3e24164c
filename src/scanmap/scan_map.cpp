#include "scanmap/scan_map.h"

#include <algorithm>
#include <functional>

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
  Reader(const std::string &file, std::string_view text) : file_(file), text_(text) {
    // At most one latch a line: the first chain's latches are sized once.
    lines_ = size_t(std::count(text.begin(), text.end(), '\n')) + 1;
  }

  void line(std::string_view text, size_t number) {
    number_ = number;
    const Words w = words_of(text);
    if (w.empty()) return;
    if (w[0] == "chain") return start_chain(w);
    if (map_.chains.empty()) fail("a latch before the first chain line");
    if (w.size() != 3) fail("a latch is NAME OFFSET WIDTH, not " + std::to_string(w.size()) + " words");
    add_latch(w);
  }

  std::vector<Chain> finish() {
    if (!map_.chains.empty()) finish_chain();
    return std::move(map_.chains);
  }

 private:
  [[noreturn]] void fail(const std::string &what) const {
    throw ArgumentError(file_ + ":" + std::to_string(number_) + ": " + what);
  }

  // The line a latch's name stands on.
  size_t line_of(const Latch &l) const { return size_t(std::count(text_.data(), l.name.data(), '\n')) + 1; }

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
    // The first chain may take every line; a later one grows as it must.
    if (map_.chains.empty()) {
      chain.latches.reserve(lines_);
      jtagbox::files::prepare_big_buffer(chain.latches.data(), lines_ * sizeof(Latch));
    }
    map_.chains.push_back(std::move(chain));
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
    chain.latches.push_back(Latch{w[0], uint32_t(offset), uint32_t(width)});
  }

  // No name twice: the names' hashes sorted (a radix sort, which walks
  // memory in order; a hash table's probes of a big map each miss the
  // cache), then neighbours with one hash compared.  Of the names that
  // come twice, the one whose second line comes first is said.
  void check_names(const Chain &chain) {
    const size_t n = chain.latches.size();
    std::vector<uint64_t> keys(n), spare(n);
    for (size_t i = 0; i < n; ++i)
      keys[i] = (uint64_t(uint32_t(std::hash<std::string_view>{}(chain.latches[i].name))) << 32) | i;
    for (unsigned shift = 32; shift < 64; shift += 8) {
      size_t count[257] = {};
      for (const uint64_t k : keys) ++count[((k >> shift) & 0xff) + 1];
      for (size_t d = 1; d < 257; ++d) count[d] += count[d - 1];
      for (const uint64_t k : keys) spare[count[(k >> shift) & 0xff]++] = k;
      keys.swap(spare);
    }
    size_t first = 0, second = n;
    for (size_t i = 1; i < n; ++i) {
      if ((keys[i] >> 32) != (keys[i - 1] >> 32)) continue;
      // One hash: every earlier key of the run against this one.
      for (size_t j = i; j-- > 0 && (keys[j] >> 32) == (keys[i] >> 32);) {
        const size_t x = size_t(keys[j] & 0xffffffffu), y = size_t(keys[i] & 0xffffffffu);
        if (chain.latches[x].name == chain.latches[y].name && std::max(x, y) < second) {
          first = std::min(x, y);
          second = std::max(x, y);
        }
      }
    }
    if (second == n) return;
    number_ = line_of(chain.latches[second]);
    fail("latch " + std::string(chain.latches[second].name) + " is defined twice in chain " + chain.name +
         " (first on line " + std::to_string(line_of(chain.latches[first])) + ")");
  }

  // The latches by offset, and no two of them sharing a bit.
  void finish_chain() {
    Chain &chain = map_.chains.back();
    check_names(chain);
    const auto before = [&](const Latch &x, const Latch &y) { return x.offset < y.offset; };
    if (!std::is_sorted(chain.latches.begin(), chain.latches.end(), before)) {
      chain.by_offset.resize(chain.latches.size());
      for (size_t i = 0; i < chain.by_offset.size(); ++i) chain.by_offset[i] = uint32_t(i);
      std::sort(chain.by_offset.begin(), chain.by_offset.end(),
                [&](uint32_t x, uint32_t y) { return before(chain.latches[x], chain.latches[y]); });
    }
    const auto index = [&](size_t i) { return chain.by_offset.empty() ? uint32_t(i) : chain.by_offset[i]; };
    for (size_t i = 1; i < chain.latches.size(); ++i) {
      const uint32_t a = index(i - 1), b = index(i);
      const Latch &lower = chain.latches[a], &upper = chain.latches[b];
      if (uint64_t(lower.offset) + lower.width > upper.offset) {
        const Latch &earlier = chain.latches[std::min(a, b)], &later = chain.latches[std::max(a, b)];
        number_ = line_of(later);
        fail("latch " + std::string(later.name) + " overlaps latch " + std::string(earlier.name) + " at bit " +
             std::to_string(upper.offset));
      }
    }
  }

  const std::string &file_;
  std::string_view text_;
  size_t number_ = 0;
  size_t lines_ = 0;
  ScanMap map_;
};

}  // namespace

bool is_name(std::string_view word) {
  if (word.empty()) return false;
  return std::all_of(word.begin(), word.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
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

ScanMap parse_scan_map(std::string text, const std::string &file) {
  ScanMap map;
  map.file = file;
  map.text = std::make_unique<std::string>(std::move(text));
  std::string_view rest = *map.text;
  Reader reader(file, rest);
  size_t number = 0;
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    reader.line(rest.substr(0, end), ++number);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  }
  map.chains = reader.finish();
  return map;
}

ScanMap read_scan_map(const std::string &path) {
  return parse_scan_map(jtagbox::files::read_whole_file(path, kMapFileLimit), path);
}

}  // namespace jtag::scanmap
