#include "sim/chain_faults.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "base/number_text.h"
#include "base/printable.h"
#include "sim/board.h"
#include "sim/state_map.h"

namespace jtag::sim {
namespace {

bool is_device(const std::string &name) {
  for (int i = 0; i < kProcessorCount; ++i)
    if (name == processor_name(i)) return true;
  for (int i = 0; i < kVornexCount; ++i)
    if (name == vornex_name(i)) return true;
  return false;
}

std::string device(const std::string &name, const std::string &value) {
  if (!is_device(value))
    throw StateError("bad device '" + printable(value) + "' for '" + name + "' (cpu0 to cpu3, vnx0 to vnx3)");
  return value;
}

// A decimal or exponent number, all of the text; nothing otherwise.
std::optional<double> parse_real(const std::string &text) {
  if (text.empty() || text.find_first_not_of("0123456789.eE+-") != std::string::npos) return std::nullopt;
  char *end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (*end != '\0' || errno != 0 || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::string real_text(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  // The shortest text that reads back as the same number.
  for (int digits = 1; digits < 17; ++digits) {
    char shorter[32];
    std::snprintf(shorter, sizeof shorter, "%.*g", digits, value);
    if (std::strtod(shorter, nullptr) == value) return shorter;
  }
  return text;
}

TdoErrors tdo_errors(const std::string &value) {
  const auto bad = [&](const std::string &why) {
    return StateError("bad 'tdo-errors=" + printable(value) + "': " + why +
                      " (RATE[,above=HZ][,seed=N], RATE from 0 to 1)");
  };
  TdoErrors errors;
  size_t at = 0;
  bool first = true;
  while (at <= value.size()) {
    const size_t comma = std::min(value.find(',', at), value.size());
    const std::string part = value.substr(at, comma - at);
    at = comma + 1;
    if (first) {
      const std::optional<double> rate = parse_real(part);
      if (!rate || *rate < 0 || *rate > 1) throw bad("the rate '" + part + "' is not a number from 0 to 1");
      errors.rate = *rate;
      first = false;
    } else if (part.starts_with("above=") && !errors.above_hz) {
      const std::optional<double> hz = parse_real(part.substr(6));
      if (!hz || *hz <= 0) throw bad("'" + part + "' is not a frequency in Hz above 0");
      errors.above_hz = hz;
    } else if (part.starts_with("seed=") && !errors.seed) {
      const std::optional<uint64_t> seed = parse_number(part.substr(5));
      if (!seed) throw bad("'" + part + "' is not a seed (a number)");
      errors.seed = seed;
    } else {
      throw bad("'" + part + "' is neither above=HZ nor seed=N, or comes twice");
    }
  }
  return errors;
}

}  // namespace

bool ChainFaults::any() const {
  return tdo_stuck || !chain_open.empty() || !ir_capture.empty() || !absent.empty() || !held_in_reset.empty() ||
         tdo_errors;
}

void ChainFaults::set(const std::string &name, const std::string &value) {
  if (name == "tdo-stuck") {
    if (value != "0" && value != "1") throw StateError("bad value '" + printable(value) + "' for 'tdo-stuck' (0 or 1)");
    tdo_stuck = value == "1";
  } else if (name == "chain-open") {
    chain_open = device(name, value);
  } else if (name == "ir-capture") {
    ir_capture = device(name, value);
  } else if (name == "absent") {
    absent = device(name, value);
  } else if (name == "held-in-reset") {
    held_in_reset = device(name, value);
  } else if (name == "tdo-errors") {
    tdo_errors = sim::tdo_errors(value);
  } else {
    throw StateError("no fault '" + printable(name) +
                     "' (tdo-stuck, chain-open, ir-capture, absent, held-in-reset, tdo-errors)");
  }
}

std::vector<std::pair<std::string, std::string>> ChainFaults::entries() const {
  std::vector<std::pair<std::string, std::string>> out;
  if (tdo_stuck) out.emplace_back("tdo-stuck", *tdo_stuck ? "1" : "0");
  for (const auto &[name, dev] : {std::pair{"chain-open", &chain_open}, std::pair{"ir-capture", &ir_capture},
                                  std::pair{"absent", &absent}, std::pair{"held-in-reset", &held_in_reset}})
    if (!dev->empty()) out.emplace_back(name, *dev);
  if (tdo_errors) {
    std::string text = real_text(tdo_errors->rate);
    if (tdo_errors->above_hz) text += ",above=" + real_text(*tdo_errors->above_hz);
    if (tdo_errors->seed) text += ",seed=" + std::to_string(*tdo_errors->seed);
    out.emplace_back("tdo-errors", text);
  }
  return out;
}

ChainFaults ChainFaults::from_entries(const std::vector<std::pair<std::string, std::string>> &rows) {
  ChainFaults faults;
  for (const auto &[name, value] : rows) faults.set(name, value);
  return faults;
}

}  // namespace jtag::sim
