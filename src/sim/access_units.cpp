// The pieces the control-register and L2 units share.
#include "sim/access_units.h"

#include <cstdio>

#include "sim/board_store.h"

namespace jtag::sim {

bool StrobeTimer::tick(unsigned instruction, bool tms) {
  if (ticks_ == kIdle || instruction != strobe_ || tms) return false;
  if (++ticks_ < needed_) return false;
  ticks_ = kIdle;
  return true;
}

void StrobeTimer::save(StateMap &state, const std::string &key) const { state.put(key, std::to_string(ticks_)); }

void StrobeTimer::load(StateMap &state, const std::string &key) {
  ticks_ = kIdle;
  const auto text = state.take_optional(key);
  if (!text || *text == "-1") return;
  const auto n = parse_number(*text);
  if (!n || *n >= uint64_t(needed_)) throw StateError("bad tick count '" + *text + "' for '" + key + "'");
  ticks_ = int(*n);
}

std::string value_text(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(value));
  return text;
}

void save_latch(StateMap &state, const std::string &key, const BitVector &latch) {
  state.put(key, "0x" + to_hex(latch));
}

void load_latch(StateMap &state, const std::string &key, BitVector &latch) {
  const size_t size = latch.size();
  latch = BitVector(size);
  const auto text = state.take_optional(key);
  if (!text) return;
  const std::string_view digits = leading_hex_digits(text->c_str());
  const bool prefixed = text->size() > 2 && (*text)[0] == '0' && ((*text)[1] == 'x' || (*text)[1] == 'X');
  if (!prefixed || digits.size() + 2 != text->size()) throw StateError("bad value '" + *text + "' for '" + key + "'");
  const BitVector wide = from_hex(digits, digits.size() * 4);
  for (size_t i = size; i < wide.size(); ++i)
    if (wide.get(i))
      throw StateError("value '" + *text + "' for '" + key + "' has more than " + std::to_string(size) + " bits");
  latch = from_hex(digits, size);
}

void show_rest(std::ostream &out, const std::string &indent, const std::string &key_prefix, const RowSummary &rows) {
  if (rows.count <= rows.first.size()) return;
  out << indent << "... " << rows.count - rows.first.size() << " more, up to " << hex_text(rows.highest)
      << " ('jtag-sim get " << key_prefix << "ADDR' reads one)\n";
}

std::optional<uint64_t> key_address(const std::string &text, uint64_t max) {
  const auto address = parse_number(text);
  if (!address || *address > max) return std::nullopt;
  return address;
}

}  // namespace jtag::sim
