// Xilinx Virtual Cable 1.0, written once for the client backend and for
// jtag-serve.  Three requests over TCP, each answered at once:
//   "getinfo:"                   -> "xvcServer_v1.0:<max vector bytes>\n"
//   "settck:" <period ns, u32>    -> <period used, u32>
//   "shift:" <bits, u32> <TMS vector> <TDI vector>  -> <TDO vector>
// Numbers are little-endian; a vector of n bits is ceil(n/8) bytes, bit i
// in bit i%8 of byte i/8, and TDO bit i is sampled on TCK i.  XVC carries
// TCK, TMS, TDI and TDO only: no TRST, no way to read TDO without a TCK.
#ifndef JTAGBOX_PROTOCOLS_XVC_PROTOCOL_H
#define JTAGBOX_PROTOCOLS_XVC_PROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace jtag::xvc {

inline constexpr std::string_view kGetInfo = "getinfo:";
inline constexpr std::string_view kSetTck = "settck:";
inline constexpr std::string_view kShift = "shift:";
inline constexpr std::string_view kInfoPrefix = "xvcServer_v1.0:";
// The longest getinfo answer read: the prefix, ten digits and the newline.
inline constexpr size_t kLongestInfo = kInfoPrefix.size() + 11;

constexpr size_t vector_bytes(uint64_t bits) { return size_t((bits + 7) / 8); }

inline uint32_t get_u32(const char *p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}

inline void put_u32(std::string &out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(char((v >> (8 * i)) & 0xff));
}

inline bool vector_bit(const char *vector, size_t i) {
  return ((static_cast<unsigned char>(vector[i / 8]) >> (i % 8)) & 1) != 0;
}

inline void set_vector_bit(char *vector, size_t i, bool level) {
  if (level) vector[i / 8] = char(static_cast<unsigned char>(vector[i / 8]) | (1u << (i % 8)));
}

// The max vector bytes a getinfo answer offers, or nothing when `line`
// (without its newline) is not "xvcServer_v1.0:" and a decimal number 1..
// 2^32-1.
inline std::optional<uint64_t> offered_vector_bytes(std::string_view line) {
  if (!line.starts_with(kInfoPrefix)) return std::nullopt;
  const std::string_view digits = line.substr(kInfoPrefix.size());
  if (digits.empty() || digits.size() > 10) return std::nullopt;
  uint64_t n = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + uint64_t(c - '0');
  }
  if (n == 0 || n > 0xffffffffu) return std::nullopt;
  return n;
}

}  // namespace jtag::xvc

#endif
