// What jtag-scan does with a chain's bits and its map: a latch's value,
// the decode of a dump, the diff of two and the dump with latches set.
// None prints: the text goes to the caller's sink in pieces of about
// 64 KiB, so that 100,000 latches never make one long text.
#ifndef JTAGBOX_SCANMAP_LATCHES_H
#define JTAGBOX_SCANMAP_LATCHES_H

#include <string>
#include <string_view>
#include <vector>

#include "base/bits.h"
#include "scanmap/dump_bits.h"
#include "scanmap/scan_map.h"

namespace jtag::scanmap {

// Where the text goes.
using Sink = void (*)(std::string_view text);

// The latches a --only list picks: picked[i] for chain.latches[i].  Each
// word is a name or a glob (fnmatch); a plain name that is no latch of
// the chain is an ArgumentError.  An empty list picks every latch.
std::vector<bool> pick_latches(const Chain &chain, const std::vector<std::string> &only);

// The picked latches in map order, "NAME = 0xVALUE" lines (as many hex
// digits as the width needs), or with `json` one object
// {"NAME": "0xVALUE", ...}.
void decode(const BitVector &bits, const Chain &chain, const std::vector<bool> &picked, bool json, Sink sink);

// The latches whose values differ, "NAME 0xA -> 0xB" in map order, then
// the count of unmapped bits that differ and the first of them.  True
// when any bit differs, mapped or not.  `delta` is the second dump as
// its words that differ from `a`.
bool diff(const Chain &chain, const BitVector &a, const DumpDelta &delta, bool json, Sink sink);

// `bits` with each "NAME=VALUE" of `assignments` set: VALUE hex with 0x,
// or decimal, at most the latch's width.  ArgumentError for an unknown
// name, a bad or too wide value.
void set_latches(const Chain &chain, BitVector &bits, const std::vector<std::string> &assignments);

}  // namespace jtag::scanmap

#endif
