// FTDI probes, counted in USB bulk transfers: each workload runs through the
// emulated FT2232H (`ftdi-emulator --rbb ... --stats FILE -- COMMAND`, built
// with the tests) in front of `jtag-sim serve`, once by the commands with
// JTAG_PLATFORM=ftdi and once by OpenOCD's ftdi driver, and the emulator's
// counts are reported: OUT transfers and bytes, IN transfers that carried
// answers and their bytes.  OpenOCD's counts are its run with the work less
// its run without, so its start-up does not count against it; the commands'
// counts are their whole run, opening the probe included.
//
// The workloads: JTAG_Shift of 2^20 bits against OpenOCD's drscan of the
// same length; a 64-word JTAG_ReadMem, and the SVF file it records
// (JTAG_SVF) played by jtag-svf and by OpenOCD's svf; 16 checked SDRs of
// 2^16 bits played by both (jtag-svf with --ahead 256, for OpenOCD's svf
// lets scans run ahead of their checks too).  --quick: 2^16 bits, 8 words,
// 4 scans.  And
// what opening the probe costs the commands: jtag-svf of `STATE RESET;`
// alone (its five TCKs left out of the projection).
//
// The projected time on a real probe is one USB microframe (125 us) for
// each OUT transfer and each answered IN transfer, plus the TCKs at 30 MHz:
// for a shift or an SVF file the bits it scans (the few TCKs of TAP moves
// left out); for JTAG_ReadMem and its record every TCK, counted in the
// JTAG_WAVE record of the command's own run.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench.h"

namespace {

constexpr const char *kOpenOCD = "/usr/bin/openocd";
constexpr const char *kEmulator = "ftdi-emulator";
constexpr double kSecondsPerTransfer = 125e-6;
constexpr double kTckHz = 30e6;
constexpr uint64_t kOutBytesPerTransfer = 32768 / 8;  // one chip buffer of TDI bits per OUT transfer

struct Counts {
  uint64_t out_transfers = 0;
  uint64_t out_bytes = 0;
  uint64_t in_answered = 0;
  uint64_t in_bytes = 0;
  bool ok = false;  // the command exited 0 and the stats were read

  Counts operator-(const Counts &o) const {
    return {out_transfers - o.out_transfers, out_bytes - o.out_bytes, in_answered - o.in_answered,
            in_bytes - o.in_bytes, ok && o.ok};
  }
  uint64_t transfers() const { return out_transfers + in_answered; }
};

// The emulator's stats file: `name N` lines.
std::map<std::string, uint64_t> read_stats(const std::filesystem::path &file) {
  std::map<std::string, uint64_t> values;
  std::ifstream in(file);
  std::string name;
  uint64_t value = 0;
  while (in >> name >> value) values[name] = value;
  return values;
}

class Probe {
 public:
  Probe(bench::Context &ctx, int port) : ctx_(ctx), rbb_("127.0.0.1:" + std::to_string(port)) {}

  // `program` (a path) with `args` through the emulated probe; its counts.
  Counts run(const std::string &program, const std::vector<std::string> &args,
             const std::map<std::string, std::string> &env) {
    const std::filesystem::path stats = ctx_.work / "stats";
    std::error_code ec;
    std::filesystem::remove(stats, ec);
    std::vector<std::string> all = {"--rbb", rbb_, "--stats", stats.string(), "--", program};
    all.insert(all.end(), args.begin(), args.end());
    const bench::Measured m = bench::run(ctx_, kEmulator, all, env);
    const std::map<std::string, uint64_t> s = read_stats(stats);
    Counts c;
    c.ok = m.status == 0 && s.count("bulk_in_answered") == 1;
    if (s.count("bulk_in_answered") == 1) {
      c.out_transfers = s.at("bulk_out_transfers");
      c.out_bytes = s.at("bulk_out_bytes");
      c.in_answered = s.at("bulk_in_answered");
      c.in_bytes = s.at("bulk_in_bytes");
    }
    return c;
  }

  // A command of ours with JTAG_PLATFORM=ftdi (its TAP record in the
  // scratch directory), and `extra` variables.
  Counts ours(const std::string &command, const std::vector<std::string> &args,
              const std::map<std::string, std::string> &extra = {}) {
    std::map<std::string, std::string> env = {{"JTAG_PLATFORM", "ftdi:khz=30000"},
                                              {"XDG_STATE_HOME", (ctx_.work / "state").string()}};
    env.insert(extra.begin(), extra.end());
    return run((ctx_.bin / command).string(), args, env);
  }

  // OpenOCD's ftdi driver with the chain declared; `work` then shutdown.
  Counts openocd(const std::string &work) {
    const std::string setup =
        "adapter driver ftdi; ftdi vid_pid 0x0403 0x6010; ftdi layout_init 0x0008 0x000b; adapter speed 30000; "
        "transport select jtag; jtag newtap cpu0 tap -irlen 8 -expected-id 0x0bc0e06b; init; irscan cpu0.tap 0x02; ";
    return run(kOpenOCD, {"-l", (ctx_.work / "openocd.log").string(), "-c", setup + work + "shutdown"}, {});
  }

 private:
  bench::Context &ctx_;
  std::string rbb_;
};

// The TCKs in a JTAG_WAVE record: the rising edges of `tck`.
uint64_t count_tcks(const std::filesystem::path &vcd) {
  std::ifstream in(vcd);
  std::string line, id;
  uint64_t rises = 0;
  while (std::getline(in, line)) {
    if (id.empty()) {
      std::istringstream words(line);
      std::string var, kind, width, code, name;
      if (words >> var >> kind >> width >> code >> name && var == "$var" && name == "tck") id = code;
    } else if (line.size() == 1 + id.size() && line[0] == '1' && line.compare(1, std::string::npos, id) == 0) {
      ++rises;
    }
  }
  return rises;
}

void report_counts(const std::string &what, const Counts &c, uint64_t tcks) {
  char line[320];
  char outcome[80];
  const double projected = double(c.transfers()) * kSecondsPerTransfer + double(tcks) / kTckHz;
  if (c.ok)
    std::snprintf(outcome, sizeof outcome, "projected %.2f ms", 1000 * projected);
  else
    std::snprintf(outcome, sizeof outcome, "FAILED (the counts up to the failure; no projection)");
  std::snprintf(line, sizeof line,
                "%s: %llu OUT transfers (%llu bytes), %llu answered IN transfers (%llu bytes); %llu TCKs; %s",
                what.c_str(), static_cast<unsigned long long>(c.out_transfers),
                static_cast<unsigned long long>(c.out_bytes), static_cast<unsigned long long>(c.in_answered),
                static_cast<unsigned long long>(c.in_bytes), static_cast<unsigned long long>(tcks), outcome);
  bench::report("ftdi", line);
}

void report_goal(const std::string &goal, bool met, const std::string &figures) {
  bench::report("ftdi", "goal: " + goal + ": " + (met ? "met" : "NOT met") + " (" + figures + ")");
}

// `scans` SDRs of `bits` bits from Test-Logic-Reset, each checked in full:
// IDCODE, then the zeros shifted in.
void write_checked_svf(const std::filesystem::path &path, size_t scans, size_t bits) {
  const size_t digits = bits / 4;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (size_t i = 0; i < scans; ++i)
    out << "STATE RESET;\nSDR " << bits << " TDI (" << std::string(digits, '0') << ")\n  TDO ("
        << std::string(digits - 8, '0') << "0bc0e06b)\n  MASK (" << std::string(digits, 'f') << ");\n";
}

// The record's first checked SDR reads what the register held before the
// recorded run; a replay after other runs finds something else there, so
// that one check is masked off.
bool unmask_first_sdr(const std::filesystem::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t sdr = text.find("\nSDR ");
  const size_t mask = sdr == std::string::npos ? sdr : text.find("MASK (", sdr);
  if (mask == std::string::npos) return false;
  for (size_t i = mask + 6; i < text.size() && text[i] != ')'; ++i) text[i] = '0';
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  return true;
}

std::string number(uint64_t n) { return std::to_string(n); }

void svf_goal(const std::string &file, const Counts &ours, const Counts &theirs) {
  report_goal("jtag-svf needs no more transfers than OpenOCD's svf for " + file,
              ours.ok && theirs.ok && ours.transfers() <= theirs.transfers(),
              number(ours.out_transfers) + " + " + number(ours.in_answered) + " against " +
                  number(theirs.out_transfers) + " + " + number(theirs.in_answered) + " OUT + answered IN" +
                  (ours.ok ? "" : ", jtag-svf failed") + (theirs.ok ? "" : ", OpenOCD failed"));
}

}  // namespace

JTAGBOX_BENCHMARK(ftdi) {
  if (::access((ctx.bin / kEmulator).c_str(), X_OK) != 0)
    return bench::report("ftdi", "no ftdi-emulator in " + ctx.bin.string() +
                                     " (it is built with the tests where umockdev is found): nothing measured");
  const bool openocd = ::access(kOpenOCD, X_OK) == 0;
  const uint64_t shift_bits = ctx.quick ? uint64_t{1} << 16 : uint64_t{1} << 20;
  const int words = ctx.quick ? 8 : 64;
  const size_t scans = ctx.quick ? 4 : 16;
  const uint64_t scan_bits = uint64_t{1} << 16;

  // The memory read's SVF record, made on the simulated board itself.
  bench::run(ctx, "jtag-sim", {"reset"});
  bench::run(ctx, "JTAG_Reset", {});
  bench::run(ctx, "JTAG_ReadMem", {"10000", std::to_string(words), "-f=recorded.out"},
             {{"JTAG_SVF", (ctx.work / "readmem.svf").string()}});
  const bool have_record = unmask_first_sdr(ctx.work / "readmem.svf");
  write_checked_svf(ctx.work / "scans.svf", scans, scan_bits);
  bench::run(ctx, "jtag-sim", {"reset"});

  int port = 0;
  const pid_t server = bench::start_server(ctx, port);
  if (server <= 0 || port == 0) return bench::report("ftdi", "jtag-sim serve did not start");
  Probe probe(ctx, port);

  // OpenOCD first: its runs leave the TAP in Test-Logic-Reset.
  Counts theirs_shift, theirs_record, theirs_svf;
  if (openocd) {
    const Counts idle = probe.openocd("");
    theirs_shift = probe.openocd("drscan cpu0.tap " + number(shift_bits) + " 0; ") - idle;
    if (have_record) theirs_record = probe.openocd("svf -quiet " + (ctx.work / "readmem.svf").string() + "; ") - idle;
    theirs_svf = probe.openocd("svf -quiet " + (ctx.work / "scans.svf").string() + "; ") - idle;
  } else {
    bench::report("ftdi", "openocd is not installed: no comparison");
  }

  probe.ours("JTAG_Reset", {});
  const Counts shift = probe.ours("JTAG_Shift", {"0", number(shift_bits), "-o=out.hex"});
  const std::string length = std::to_string(words);
  const Counts read = probe.ours("JTAG_ReadMem", {"10000", length, "-f=read.out"});
  probe.ours("JTAG_ReadMem", {"10000", length, "-f=waved.out"}, {{"JTAG_WAVE", (ctx.work / "readmem.vcd").string()}});
  const uint64_t read_tcks = count_tcks(ctx.work / "readmem.vcd");
  Counts record;
  uint64_t record_tcks = 0;
  if (have_record) {
    record = probe.ours("jtag-svf", {"-q", "--ahead", "256", "readmem.svf"});
    probe.ours("jtag-svf", {"-q", "readmem.svf"}, {{"JTAG_WAVE", (ctx.work / "record.vcd").string()}});
    record_tcks = count_tcks(ctx.work / "record.vcd");
  }
  const Counts svf = probe.ours("jtag-svf", {"-q", "--ahead", "256", "scans.svf"});
  std::ofstream(ctx.work / "reset.svf") << "STATE RESET;\n";
  const Counts opening = probe.ours("jtag-svf", {"-q", "reset.svf"});
  ::kill(server, SIGTERM);
  ::waitpid(server, nullptr, 0);

  const std::string scans_text = number(scans) + " checked SDRs of 2^16 bits";
  const uint64_t svf_bits = scans * scan_bits;
  report_counts("JTAG_Shift of " + number(shift_bits) + " bits", shift, shift_bits);
  if (openocd) report_counts("OpenOCD drscan of " + number(shift_bits) + " bits", theirs_shift, shift_bits);
  report_counts("JTAG_ReadMem of " + length + " words", read, read_tcks);
  if (have_record) report_counts("jtag-svf --ahead 256 of its JTAG_SVF record", record, record_tcks);
  if (openocd && have_record) report_counts("OpenOCD svf of the same record", theirs_record, record_tcks);
  report_counts("jtag-svf --ahead 256 of " + scans_text, svf, svf_bits);
  if (openocd) report_counts("OpenOCD svf of " + scans_text, theirs_svf, svf_bits);
  report_counts("jtag-svf of STATE RESET alone (opening the probe, in each figure of ours)", opening, 0);

  const uint64_t shift_limit = 2 + (shift_bits / 8 + kOutBytesPerTransfer - 1) / kOutBytesPerTransfer;
  report_goal("JTAG_Shift of " + number(shift_bits) + " bits in at most " + number(shift_limit) + " OUT transfers",
              shift.ok && shift.out_transfers <= shift_limit,
              number(shift.out_transfers) + " OUT transfers" + (shift.ok ? "" : ", the command failed"));
  if (openocd) {
    svf_goal(scans_text, svf, theirs_svf);
    if (have_record) svf_goal("the JTAG_ReadMem record", record, theirs_record);
  }
}
