#include "base/number_text.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace jtag {

std::optional<uint64_t> parse_number(const std::string &text) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return std::nullopt;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char *digits = text.c_str() + (hex ? 2 : 0);
  if (*digits == '\0' || *digits == '-' || *digits == '+' || *digits == ' ') return std::nullopt;
  errno = 0;
  char *end = nullptr;
  const unsigned long long v = std::strtoull(digits, &end, hex ? 16 : 10);
  if (errno != 0 || *end != '\0') return std::nullopt;
  return v;
}

std::string hex_text(uint64_t value) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(value));
  return buf;
}

}  // namespace jtag
