// The arguments of a JTAG_PLATFORM value, read the same way for every
// backend: "SCHEME", "SCHEME:KEY=VALUE[,KEY=VALUE...]", or the backend's
// positional form "SCHEME:V1[:V2...]", whose values are its keys in order
// (sim:DIR, rbb:HOST:PORT).  The text after the colon is the key form when
// it starts with a lowercase name and '='; else it is positional, split at
// its last colons so that the first value keeps any colon of its own.
//
// Every complaint is a PlatformError whose text names the whole value:
//   JTAG_PLATFORM=rbb:x=1: unknown key 'x' (rbb takes host, port)
//   JTAG_PLATFORM=rbb: needs HOST:PORT
//   JTAG_PLATFORM=rbb:host=h,port=0: bad value '0' for port (1..65535)
// A positional value that does not fit is refused as a whole, with the form
// it should have: "JTAG_PLATFORM=rbb:h:0 is not rbb:HOST:PORT with PORT
// 1..65535".
#ifndef JTAGBOX_BACKENDS_BACKEND_ARGUMENTS_H
#define JTAGBOX_BACKENDS_BACKEND_ARGUMENTS_H

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace jtag {

class BackendArguments {
 public:
  // `value` is a whole JTAG_PLATFORM value whose scheme is `scheme`; `keys`
  // the backend's keys in positional order, separated by commas ("host,port";
  // empty for a backend that takes none).  Throws PlatformError for an
  // unknown or repeated key, an element that is not KEY=VALUE, a value that
  // is empty, and a colon with nothing after it.
  BackendArguments(std::string_view value, std::string_view scheme, std::string_view keys);

  const std::string &value() const { return value_; }  // for messages
  bool positional() const { return positional_; }
  bool has(std::string_view key) const { return find(key) != nullptr; }
  // The value given for `key`; `fallback` when none was.
  std::string get(std::string_view key, std::string_view fallback = {}) const;
  // The value given for `key`; a missing one is a PlatformError.
  std::string require(std::string_view key) const;
  // A decimal number lo..hi given for `key`; a missing or bad one is a
  // PlatformError.
  uint64_t number(std::string_view key, uint64_t lo, uint64_t hi) const;
  // A hexadecimal number 0..hi given for `key`, with or without 0x (a USB
  // vendor or product ID); a missing or bad one is a PlatformError.
  uint64_t hex_number(std::string_view key, uint64_t hi) const;
  // Refuses the value given for `key`: `allowed` says what it may be.
  [[noreturn]] void bad_value(std::string_view key, std::string_view allowed) const;

 private:
  const std::string *find(std::string_view key) const;
  std::string form() const;       // "HOST:PORT"
  std::string keys_text() const;  // "host, port"
  [[noreturn]] void not_positional(std::string_view detail) const;

  std::string value_, scheme_;
  std::vector<std::string> keys_;
  std::vector<std::pair<std::string, std::string>> given_;
  bool positional_ = false;
};

}  // namespace jtag

#endif
