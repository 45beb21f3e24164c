// The board's saved state: ordered key=value pairs, one per line.  Every part
// of the board writes its own keys and takes them back on load; a key that no
// part takes, or a value that does not parse, makes the state unreadable.
#ifndef JTAGBOX_SIM_STATE_MAP_H
#define JTAGBOX_SIM_STATE_MAP_H

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "base/error.h"
#include "base/number_text.h"

namespace jtag::sim {

// A PlatformError, so that a state that cannot be read, wherever it is met,
// ends any program with its line rather than with an abort.
class StateError : public PlatformError {
 public:
  using PlatformError::PlatformError;
};

// The board's numbers are written and read as base/number_text.h says.
using jtag::hex_text;
using jtag::parse_number;

class StateMap {
 public:
  void put(const std::string &key, std::string value) { entries_[key] = std::move(value); }
  void put_number(const std::string &key, uint64_t value) { put(key, hex_text(value)); }
  void erase(const std::string &key) { entries_.erase(key); }
  bool contains(const std::string &key) const { return entries_.count(key) != 0; }
  bool has_prefix(const std::string &prefix) const {
    const auto it = entries_.lower_bound(prefix);
    return it != entries_.end() && it->first.starts_with(prefix);
  }

  // Taking a key marks it as understood.  Missing keys and bad values throw.
  std::string take(const std::string &key);
  std::optional<std::string> take_optional(const std::string &key);
  uint64_t take_number(const std::string &key, uint64_t max);
  bool take_flag(const std::string &key) { return take_number(key, 1) != 0; }
  // Every key that begins with `prefix`, with the prefix cut off.
  std::vector<std::pair<std::string, std::string>> take_prefixed(const std::string &prefix);
  // Throws for the first key nobody took.
  void check_all_taken() const;

  std::string serialize() const;
  static StateMap parse(const std::string &text);  // throws StateError

  const std::map<std::string, std::string> &entries() const { return entries_; }

 private:
  std::map<std::string, std::string> entries_;
  std::set<std::string> taken_;
};

}  // namespace jtag::sim

#endif
