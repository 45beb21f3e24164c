#include "backends/backend_arguments.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "base/error.h"

namespace jtag {
namespace {

std::vector<std::string> split(std::string_view text, char at) {
  std::vector<std::string> parts;
  if (text.empty()) return parts;
  for (;;) {
    const auto end = text.find(at);
    parts.emplace_back(text.substr(0, end));
    if (end == std::string_view::npos) return parts;
    text.remove_prefix(end + 1);
  }
}

// A lowercase name followed by '=': the key form.
bool starts_with_key(std::string_view text) {
  const auto equals = text.find('=');
  if (equals == 0 || equals == std::string_view::npos) return false;
  const std::string_view name = text.substr(0, equals);
  return std::islower(static_cast<unsigned char>(name.front())) != 0 &&
         std::all_of(name.begin(), name.end(), [](char c) {
           return std::islower(static_cast<unsigned char>(c)) != 0 ||
                  std::isdigit(static_cast<unsigned char>(c)) != 0 || c == '_';
         });
}

std::string upper(std::string_view text) {
  std::string out(text);
  for (char &c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

BackendArguments::BackendArguments(std::string_view value, std::string_view scheme, std::string_view keys)
    : value_(value), scheme_(scheme), keys_(split(keys, ',')) {
  if (value.size() <= scheme.size()) return;  // the bare scheme
  const std::string_view text = value.substr(scheme.size() + 1);
  if (text.empty()) throw ArgumentError("JTAG_PLATFORM=" + value_ + " needs " + form());
  if (!starts_with_key(text)) {
    // The values in key order; the first keeps what the last colons leave.
    positional_ = true;
    std::vector<std::string> values;
    std::string_view rest = text;
    for (size_t i = keys_.size(); i > 1; --i) {
      const auto colon = rest.rfind(':');
      if (colon == std::string_view::npos) break;
      values.emplace(values.begin(), rest.substr(colon + 1));
      rest = rest.substr(0, colon);
    }
    values.emplace(values.begin(), rest);
    if (keys_.empty()) not_positional("");
    for (size_t i = 0; i < values.size(); ++i)
      if (!values[i].empty()) given_.emplace_back(keys_[i], values[i]);
    return;
  }
  for (const std::string &element : split(text, ',')) {
    const auto equals = element.find('=');
    if (equals == std::string::npos || equals == 0)
      throw ArgumentError("JTAG_PLATFORM=" + value_ + ": '" + element + "' is not KEY=VALUE (" + scheme_ + " takes " +
                          keys_text() + ")");
    const std::string key = element.substr(0, equals);
    if (std::find(keys_.begin(), keys_.end(), key) == keys_.end())
      throw ArgumentError("JTAG_PLATFORM=" + value_ + ": unknown key '" + key + "' (" + scheme_ + " takes " +
                          keys_text() + ")");
    if (has(key)) throw ArgumentError("JTAG_PLATFORM=" + value_ + ": key '" + key + "' given twice");
    if (equals + 1 == element.size()) throw ArgumentError("JTAG_PLATFORM=" + value_ + ": no value for " + key);
    given_.emplace_back(key, element.substr(equals + 1));
  }
}

const std::string *BackendArguments::find(std::string_view key) const {
  for (const auto &[k, v] : given_)
    if (k == key) return &v;
  return nullptr;
}

std::string BackendArguments::get(std::string_view key, std::string_view fallback) const {
  const std::string *v = find(key);
  return v != nullptr ? *v : std::string(fallback);
}

std::string BackendArguments::require(std::string_view key) const {
  if (const std::string *v = find(key)) return *v;
  if (given_.empty() && !positional_) throw ArgumentError("JTAG_PLATFORM=" + value_ + " needs " + form());
  if (positional_) not_positional("");
  throw ArgumentError("JTAG_PLATFORM=" + value_ + " needs " + std::string(key) + "=" + upper(key));
}

uint64_t BackendArguments::number(std::string_view key, uint64_t lo, uint64_t hi) const {
  const std::string range = std::to_string(lo) + ".." + std::to_string(hi);
  if (positional_ && !has(key)) not_positional(" with " + upper(key) + " " + range);
  const std::string text = require(key);
  // Digits only (no sign, no blank), and few enough that they cannot overflow.
  if (text.size() > 19 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    bad_value(key, range);
  const uint64_t n = std::stoull(text);
  if (n < lo || n > hi) bad_value(key, range);
  return n;
}

uint64_t BackendArguments::hex_number(std::string_view key, uint64_t hi) const {
  char hi_text[24];
  std::snprintf(hi_text, sizeof hi_text, "%llx", static_cast<unsigned long long>(hi));
  const std::string range = std::string("hexadecimal 0..") + hi_text;
  if (positional_ && !has(key)) not_positional(" with " + upper(key) + " " + range);
  std::string text = require(key);
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.erase(0, 2);
  if (text.empty() || text.size() > 15 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }))
    bad_value(key, range);
  const uint64_t n = std::stoull(text, nullptr, 16);
  if (n > hi) bad_value(key, range);
  return n;
}

void BackendArguments::bad_value(std::string_view key, std::string_view allowed) const {
  if (positional_) not_positional(" with " + upper(key) + " " + std::string(allowed));
  throw ArgumentError("JTAG_PLATFORM=" + value_ + ": bad value '" + get(key) + "' for " + std::string(key) + " (" +
                      std::string(allowed) + ")");
}

void BackendArguments::not_positional(std::string_view detail) const {
  throw ArgumentError("JTAG_PLATFORM=" + value_ + " is not " + scheme_ + (keys_.empty() ? "" : ":") + form() +
                      std::string(detail));
}

std::string BackendArguments::form() const {
  std::string out;
  for (const std::string &k : keys_) out += (out.empty() ? "" : ":") + upper(k);
  return out;
}

std::string BackendArguments::keys_text() const {
  std::string out;
  for (const std::string &k : keys_) out += (out.empty() ? "" : ", ") + k;
  return keys_.empty() ? "no keys" : out;
}

}  // namespace jtag
