// What jtag-scan does with a chain's bits and its map: a latch's value,
// the decode of a dump, the diff of two and the dump with latches set.
// Each returns the text to print; none prints.
#ifndef JTAGBOX_SCANMAP_LATCHES_H
#define JTAGBOX_SCANMAP_LATCHES_H

#include <string>
#include <string_view>
#include <vector>

#include "base/bits.h"
#include "scanmap/scan_map.h"

namespace jtag::scanmap {

// "0x" and ceil(width / 4) lower-case hex digits.
std::string latch_value(const BitVector &bits, const Latch &latch);

// The latches a --only list picks, in map order: each word a name or a
// glob (fnmatch); a plain name that is no latch of the chain is an
// ArgumentError.  An empty list picks every latch.
std::vector<const Latch *> pick_latches(const Chain &chain, const std::vector<std::string> &only);

// "NAME = 0xVALUE" lines, or with `json` one object {"NAME": "0xVALUE", ...}.
std::string decode(const BitVector &bits, const std::vector<const Latch *> &latches, bool json);

struct Diff {
  std::string text;     // what to print
  bool differ = false;  // any bit, mapped or not
};

// The latches whose values differ, "NAME 0xA -> 0xB" in map order, then
// the count of unmapped bits that differ and the first of them.
Diff diff(const Chain &chain, const BitVector &a, const BitVector &b, bool json);

// `bits` with each "NAME=VALUE" of `assignments` set: VALUE hex with 0x,
// or decimal, at most the latch's width.  ArgumentError for an unknown
// name, a bad or too wide value.
void set_latches(const Chain &chain, BitVector &bits, const std::vector<std::string> &assignments);

}  // namespace jtag::scanmap

#endif
