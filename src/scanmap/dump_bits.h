// A dump file read as the bits of one chain: the hex text the scan dumps
// write, (LENGTH + 3) / 4 digits, most significant first, so that bit k of
// the number is the k-th bit out of the chain.  One line end after the
// digits is allowed (a pattern file, a dump edited by hand); anything else
// is refused with one ArgumentError line naming the file: a digit count
// that does not fit the chain (expected and found), a character that is no
// hex digit (its offset in the file), pad bits above the chain's length
// that are not zero.  The file is read in pieces, once; the bits take half
// its size.
#ifndef JTAGBOX_SCANMAP_DUMP_BITS_H
#define JTAGBOX_SCANMAP_DUMP_BITS_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/bits.h"

namespace jtag::scanmap {

BitVector read_dump(const std::string &path, uint64_t length);

// A second dump of the same chain as only the 64-bit words in which it
// differs from the first (`a`, of `length` bits), by index, ascending: two
// dumps that differ in a few places cost the memory of one.
struct DumpDelta {
  std::vector<std::pair<size_t, uint64_t>> words;
};
DumpDelta read_dump_against(const std::string &path, uint64_t length, const BitVector &a);

// The hex text of a chain's bits: (length + 3) / 4 lower-case digits and
// nothing else, as the scan dumps write it and JTAG_ScanDump -f= reads it.
std::string dump_text(const BitVector &bits);

}  // namespace jtag::scanmap

#endif
