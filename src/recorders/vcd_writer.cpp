#include "recorders/vcd_writer.h"

#include <charconv>
#include <string>

namespace jtag {
namespace {

// The identifier codes of the five signals.
constexpr char kTck = '!';
constexpr char kTms = '"';
constexpr char kTdi = '#';
constexpr char kTdo = '$';
constexpr char kState = '%';

char bit(bool b) { return b ? '1' : '0'; }

}  // namespace

VcdWriter::VcdWriter(std::unique_ptr<RecordFile> file, std::string_view program) : file_(std::move(file)) {
  RecordFile &f = *file_;
  f.put("$version ");
  f.put(program);
  f.put(" $end\n");
  f.put(
      "$comment one TCK every 1 us: TCK falls at 2k with TMS, TDI, TDO and the TAP state of TCK k, rises at 2k+1; "
      "TDO is x where it was not read $end\n"
      "$timescale 500 ns $end\n"
      "$scope module jtag $end\n"
      "$var wire 1 ! tck $end\n"
      "$var wire 1 \" tms $end\n"
      "$var wire 1 # tdi $end\n"
      "$var wire 1 $ tdo $end\n"
      "$var string 1 % state $end\n"
      "$upscope $end\n"
      "$enddefinitions $end\n");
}

void VcdWriter::time(uint64_t t) {
  char text[24];
  text[0] = '#';
  const auto r = std::to_chars(text + 1, text + sizeof text - 1, t);
  *r.ptr = '\n';
  file_->put(std::string_view(text, std::size_t(r.ptr + 1 - text)));
}

void VcdWriter::level(char id, char value, char &last) {
  if (value == last) return;
  last = value;
  file_->put(value);
  file_->put(id);
  file_->put('\n');
}

void VcdWriter::state(TapState s) {
  if (state_ == s) return;
  state_ = s;
  file_->put('s');
  file_->put(state_name(s));
  file_->put(' ');
  file_->put(kState);
  file_->put('\n');
}

// TCK falls at 2k; the first fall opens the dump with every signal's value.
void VcdWriter::fall(TapState s, char tms, char tdi, char tdo) {
  time(2 * count_);
  if (count_ == 0) file_->put("$dumpvars\n");
  level(kTck, '0', tck_);
  level(kTms, tms, tms_);
  level(kTdi, tdi, tdi_);
  level(kTdo, tdo, tdo_);
  state(s);
  if (count_ == 0) file_->put("$end\n");
}

void VcdWriter::tck(TapState before, bool tms, bool tdi, std::optional<bool> tdo) {
  fall(before, bit(tms), bit(tdi), tdo ? bit(*tdo) : 'x');
  time(2 * count_ + 1);
  level(kTck, '1', tck_);
  ++count_;
}

void VcdWriter::flush() { file_->flush(); }

void VcdWriter::close(TapState end) {
  if (count_ == 0)
    fall(end, 'x', 'x', 'x');
  else
    fall(end, tms_, tdi_, 'x');
  file_->close();
}

}  // namespace jtag
