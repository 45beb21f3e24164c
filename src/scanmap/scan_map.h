// A scan map: per chain, its length and its named latches at bit offsets,
// read from the text format of jtag-scan(5):
//
//   # processor 2, chain 0x0c
//   chain cpu2.chain.0c 1454
//   pc      0  32
//   halted 32   1
//
// Bit k of a chain is the k-th bit out of it, bit k of the dump read as one
// number; a latch's value is the dump shifted right by its offset and cut
// to its width.  Latches may leave bits unmapped, never overlap or reach
// past the chain.  The map is read once, and every fault is one
// ArgumentError "FILE:LINE: what is wrong".
#ifndef JTAGBOX_SCANMAP_SCAN_MAP_H
#define JTAGBOX_SCANMAP_SCAN_MAP_H

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace jtag::scanmap {

// A latch's name is a view into the map's text, which the map keeps: a
// map of 100,000 latches is its text and 24 bytes a latch.
struct Latch {
  std::string_view name;
  uint32_t offset = 0;
  uint32_t width = 0;
};

struct Chain {
  std::string name;
  uint64_t length = 0;
  std::vector<Latch> latches;  // in map order
  // Indices into `latches`, by offset: the order the unmapped gaps are
  // walked in.  Empty when the map lists them by offset already.
  std::vector<uint32_t> by_offset;
  // The i-th latch by offset.
  const Latch &nth_by_offset(size_t i) const { return latches[by_offset.empty() ? i : by_offset[i]]; }
  // The latch named `wanted`, or nullptr.
  const Latch *find(std::string_view wanted) const;
};

inline constexpr uint64_t kMaxChainLength = 0xffffffffu;  // 2^32 - 1

struct ScanMap {
  std::string file;                   // as named on the command line, for messages
  std::unique_ptr<std::string> text;  // what the names are views into
  std::vector<Chain> chains;
  // The chain named `name`; ArgumentError "FILE: no chain NAME" when none is.
  const Chain &chain(std::string_view name) const;
};

// The map in `text`, read from the file named `file`.
ScanMap parse_scan_map(std::string text, const std::string &file);

// The map in the file `path` (a regular file, read once in full, at most
// 256 MiB).  Throws ArgumentError for a file that cannot be read.
ScanMap read_scan_map(const std::string &path);

// True when `word` is a name: letters, digits, '.', '_', '-', at least one.
bool is_name(std::string_view word);

}  // namespace jtag::scanmap

#endif
