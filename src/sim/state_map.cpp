#include "sim/state_map.h"

#include <sstream>

namespace jtag::sim {

std::string StateMap::take(const std::string &key) {
  auto v = take_optional(key);
  if (!v) throw StateError("missing key '" + key + "'");
  return *v;
}

std::optional<std::string> StateMap::take_optional(const std::string &key) {
  const auto it = entries_.find(key);
  if (it == entries_.end()) return std::nullopt;
  taken_.insert(key);
  return it->second;
}

uint64_t StateMap::take_number(const std::string &key, uint64_t max) {
  const std::string text = take(key);
  const auto v = parse_number(text);
  if (!v || *v > max) throw StateError("bad value '" + text + "' for '" + key + "' (0 to " + hex_text(max) + ")");
  return *v;
}

std::vector<std::pair<std::string, std::string>> StateMap::take_prefixed(const std::string &prefix) {
  std::vector<std::pair<std::string, std::string>> out;
  for (auto it = entries_.lower_bound(prefix); it != entries_.end() && it->first.compare(0, prefix.size(), prefix) == 0;
       ++it) {
    taken_.insert(it->first);
    out.emplace_back(it->first.substr(prefix.size()), it->second);
  }
  return out;
}

void StateMap::check_all_taken() const {
  for (const auto &[key, value] : entries_)
    if (!taken_.count(key)) throw StateError("unknown key '" + key + "'");
}

std::string StateMap::serialize() const {
  std::string out;
  for (const auto &[key, value] : entries_) {
    out += key;
    out += '=';
    out += value;
    out += '\n';
  }
  return out;
}

StateMap StateMap::parse(const std::string &text) {
  StateMap map;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    const auto eq = line.find('=');
    if (eq == std::string::npos || eq == 0) throw StateError("line " + std::to_string(number) + " is not key=value");
    map.put(line.substr(0, eq), line.substr(eq + 1));
  }
  return map;
}

}  // namespace jtag::sim
