#include "tools/svf_statement.h"

#include <array>
#include <charconv>
#include <cmath>
#include <string_view>

#include "svf/svf_states.h"

namespace jtag::tools {
namespace {

using Kind = SvfToken::Kind;

constexpr std::array<const char *, kSvfScanKinds> kScanNames = {"SIR", "SDR", "HIR", "HDR", "TIR", "TDR"};

// The next token of the statement `keyword`: the file may not end first.
SvfToken next_of(SvfLexer &in, const std::string &keyword) {
  SvfToken t = in.next();
  if (t.kind == Kind::End) in.fail("the file ends before the ';' of " + keyword);
  return t;
}

std::string next_word(SvfLexer &in, const std::string &keyword, const char *wanted) {
  const SvfToken t = next_of(in, keyword);
  if (t.kind != Kind::Word) in.fail(keyword + " needs " + wanted);
  return t.text;
}

void expect_end(SvfLexer &in, const std::string &keyword) {
  if (next_of(in, keyword).kind != Kind::Semicolon) in.fail(keyword + ": ';' expected");
}

std::optional<uint64_t> whole_number(const std::string &word) {
  uint64_t value = 0;
  const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), value);
  if (ec != std::errc() || end != word.data() + word.size()) return std::nullopt;
  return value;
}

std::optional<double> real_number(const std::string &word) {
  double value = 0;
  const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), value);
  if (ec != std::errc() || end != word.data() + word.size() || !std::isfinite(value) || value < 0) return std::nullopt;
  return value;
}

TapState state_named(SvfLexer &in, const std::string &word) {
  const std::optional<TapState> s = svf_state_from_name(word);
  if (!s) in.fail("'" + word + "' is not a TAP state");
  return *s;
}

TapState stable_named(SvfLexer &in, const std::string &word) {
  const TapState s = state_named(in, word);
  if (!svf_stable(s)) in.fail(word + " is not a stable state (RESET, IDLE, DRPAUSE or IRPAUSE)");
  return s;
}

SvfScan read_scan(SvfLexer &in, const std::string &keyword, SvfScanKind kind) {
  SvfScan scan;
  scan.kind = kind;
  const std::string length = next_word(in, keyword, "a length");
  const std::optional<uint64_t> n = whole_number(length);
  if (!n) in.fail(keyword + ": '" + length + "' is not a length");
  if (*n > kMaxSvfBits)
    in.fail(keyword + " length " + length + " is beyond the " + std::to_string(kMaxSvfBits) + " bits of one scan");
  scan.length = size_t(*n);
  for (SvfToken t = next_of(in, keyword); t.kind != Kind::Semicolon; t = next_of(in, keyword)) {
    std::optional<SvfBits> *slot = t.text == "TDI"    ? &scan.tdi
                                   : t.text == "TDO"  ? &scan.tdo
                                   : t.text == "MASK" ? &scan.mask
                                                      : nullptr;
    const bool smask = t.text == "SMASK";
    if (t.kind != Kind::Word || (slot == nullptr && !smask))
      in.fail(keyword + ": TDI, TDO, MASK, SMASK or ';' expected");
    if (smask ? scan.smask : slot->has_value()) in.fail(keyword + ": " + t.text + " given twice");
    if (next_of(in, keyword).kind != Kind::Open) in.fail(keyword + ": " + t.text + " needs its value in parentheses");
    if (smask) {
      in.hex(scan.length, t.text, false);
      scan.smask = true;
    } else {
      *slot = in.hex(scan.length, t.text);
    }
  }
  return scan;
}

SvfEndState read_end_state(SvfLexer &in, const std::string &keyword) {
  const TapState s = stable_named(in, next_word(in, keyword, "a stable state"));
  expect_end(in, keyword);
  return {keyword == "ENDIR", s};
}

SvfStatePath read_state_path(SvfLexer &in, const std::string &keyword) {
  SvfStatePath path;
  for (SvfToken t = next_of(in, keyword); t.kind != Kind::Semicolon; t = next_of(in, keyword)) {
    if (t.kind != Kind::Word) in.fail("STATE: TAP states expected");
    path.states.push_back(state_named(in, t.text));
    if (path.states.size() > 64) in.fail("STATE: a path longer than 64 states");
  }
  if (path.states.empty()) in.fail("STATE needs a stable state");
  if (!svf_stable(path.states.back()))
    in.fail("STATE must end in a stable state (RESET, IDLE, DRPAUSE or IRPAUSE), not " +
            std::string(svf_state_name(path.states.back())));
  return path;
}

double seconds(SvfLexer &in, const std::string &number) {
  const std::optional<double> s = real_number(number);
  if (!s) in.fail("RUNTEST: '" + number + "' is not a time");
  if (next_word(in, "RUNTEST", "SEC after a time") != "SEC") in.fail("RUNTEST: SEC expected after a time");
  return *s;
}

// RUNTEST [run_state] [count TCK|SCK] [min SEC] [MAXIMUM max SEC] [ENDSTATE end_state];
SvfRunTest read_run_test(SvfLexer &in, const std::string &keyword) {
  SvfRunTest r;
  std::string word = next_word(in, keyword, "a count or a time");
  if (svf_state_from_name(word)) {
    r.run_state = stable_named(in, word);
    word = next_word(in, keyword, "a count or a time");
  }
  const std::string unit = next_word(in, keyword, "TCK, SCK or SEC after a number");
  if (unit == "TCK" || unit == "SCK") {
    if (unit == "SCK")
      in.fail("RUNTEST: SCK counts the system clock, which the platform does not drive; give TCK or SEC");
    r.tcks = whole_number(word);
    if (!r.tcks) in.fail("RUNTEST: '" + word + "' is not a TCK count");
  } else if (unit == "SEC") {
    r.min_seconds = real_number(word);
    if (!r.min_seconds) in.fail("RUNTEST: '" + word + "' is not a time");
  } else {
    in.fail("RUNTEST: TCK or SEC expected after " + word);
  }
  SvfToken t = next_of(in, keyword);
  if (t.kind == Kind::Word && r.tcks && real_number(t.text)) {
    r.min_seconds = seconds(in, t.text);
    t = next_of(in, keyword);
  }
  if (t.kind == Kind::Word && t.text == "MAXIMUM") {
    r.max_seconds = seconds(in, next_word(in, keyword, "a time after MAXIMUM"));
    t = next_of(in, keyword);
  }
  if (t.kind == Kind::Word && t.text == "ENDSTATE") {
    r.end_state = stable_named(in, next_word(in, keyword, "a stable state after ENDSTATE"));
    t = next_of(in, keyword);
  }
  if (t.kind != Kind::Semicolon) in.fail("RUNTEST: MAXIMUM, ENDSTATE or ';' expected");
  return r;
}

SvfTrst read_trst(SvfLexer &in, const std::string &keyword) {
  const std::string mode = next_word(in, keyword, "ON, OFF, Z or ABSENT");
  expect_end(in, keyword);
  if (mode == "ON") return SvfTrst::On;
  if (mode == "OFF") return SvfTrst::Off;
  if (mode == "Z") return SvfTrst::Z;
  if (mode == "ABSENT") return SvfTrst::Absent;
  in.fail("TRST: '" + mode + "' is not ON, OFF, Z or ABSENT");
}

SvfFrequency read_frequency(SvfLexer &in, const std::string &keyword) {
  const SvfToken t = next_of(in, keyword);
  if (t.kind == Kind::Semicolon) return {};
  const std::optional<double> hz = t.kind == Kind::Word ? real_number(t.text) : std::nullopt;
  if (!hz || *hz <= 0) in.fail("FREQUENCY: '" + t.text + "' is not a frequency");
  if (next_word(in, keyword, "HZ after the frequency") != "HZ") in.fail("FREQUENCY: HZ expected");
  expect_end(in, keyword);
  return {hz};
}

// The rest of statement `s`, by its keyword; false for a keyword that is
// not played.
bool read_body(SvfLexer &in, SvfStatement &s) {
  const std::string &k = s.keyword;
  for (size_t i = 0; i < kScanNames.size(); ++i) {
    if (k == kScanNames[i]) {
      s.body.emplace<SvfScan>(read_scan(in, k, SvfScanKind(i)));
      return true;
    }
  }
  if (k == "ENDIR" || k == "ENDDR") {
    s.body.emplace<SvfEndState>(read_end_state(in, k));
  } else if (k == "STATE") {
    s.body.emplace<SvfStatePath>(read_state_path(in, k));
  } else if (k == "RUNTEST") {
    s.body.emplace<SvfRunTest>(read_run_test(in, k));
  } else if (k == "TRST") {
    s.body.emplace<SvfTrst>(read_trst(in, k));
  } else if (k == "FREQUENCY") {
    s.body.emplace<SvfFrequency>(read_frequency(in, k));
  } else {
    return false;
  }
  return true;
}

}  // namespace

const char *svf_scan_name(SvfScanKind kind) { return kScanNames[size_t(kind)]; }

std::optional<SvfStatement> read_statement(SvfLexer &in) {
  SvfToken t;
  do {
    in.begin_statement();
    t = in.next();
  } while (t.kind == Kind::Semicolon);  // an empty statement
  if (t.kind == Kind::End) return std::nullopt;
  in.begin_statement();  // the line of its first word
  if (t.kind != Kind::Word) in.fail("a statement cannot start with '('");
  SvfStatement s{t.text, SvfFrequency{}};
  if (read_body(in, s)) return s;
  const std::string &k = s.keyword;
  if (k == "PIO" || k == "PIOMAP") in.fail(k + " is not supported: the platform drives no parallel test pins");
  in.fail("unknown statement " + k);
}

}  // namespace jtag::tools
