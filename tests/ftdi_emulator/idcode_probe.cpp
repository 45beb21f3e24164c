// A plain libftdi1 client of an FT2232H in MPSSE mode, for the emulator's
// tests: opens 0403:6010 (the serial given, if any), resets the chain and
// prints the first 32 bits it shifts out of DR ("IDCODE 0x........"), the
// IDCODE of the TAP nearest TDO.  `--rounds N` does that N times, each a
// write and its read (N round trips, N lines).  `--flood whole|split` writes 16 KiB of loopback byte reads (four 0x39
// of 4093 bytes) with libusb's synchronous bulk transfer: `whole` in one transfer with no read in flight, more answers
// than the chip's buffers hold, so it must time out; `split` a command a transfer, each one's answers read before the
// next.  Any failure is one line on standard error and status 1; every read gives up after 5 s.
#include <ftdi.h>
#include <libusb.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Context {
  ftdi_context *ftdi = ftdi_new();
  bool open = false;
  ~Context() {
    if (open) ftdi_usb_close(ftdi);
    if (ftdi != nullptr) ftdi_free(ftdi);
  }
};

int fail(ftdi_context *ftdi, const char *what) {
  if (ftdi == nullptr) std::fprintf(stderr, "ftdi-idcode-probe: %s\n", what);
  if (ftdi != nullptr) std::fprintf(stderr, "ftdi-idcode-probe: %s: %s\n", what, ftdi_get_error_string(ftdi));
  return 1;
}

bool write_all(ftdi_context *ftdi, const std::vector<uint8_t> &bytes) {
  return ftdi_write_data(ftdi, bytes.data(), int(bytes.size())) == int(bytes.size());
}

// Exactly `count` bytes, or fewer when 5 s went by or the read failed.
std::vector<uint8_t> read_exactly(ftdi_context *ftdi, std::size_t count) {
  std::vector<uint8_t> got(count);
  std::size_t have = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (have < count && std::chrono::steady_clock::now() < deadline) {
    const int n = ftdi_read_data(ftdi, got.data() + have, int(count - have));
    if (n < 0) break;
    have += std::size_t(n);
  }
  got.resize(have);
  return got;
}

int flood(ftdi_context *ftdi, bool whole) {
  constexpr std::size_t kData = 4093;  // with its 3 header bytes, 4096
  std::vector<uint8_t> all, expected;
  for (std::size_t k = 0; k < 4; ++k) {
    all.insert(all.end(), {0x39, uint8_t((kData - 1) & 0xFF), uint8_t((kData - 1) >> 8)});
    for (std::size_t i = 0; i < kData; ++i) all.push_back(uint8_t(i * 7 + k * 31 + (i >> 8)));
    expected.insert(expected.end(), all.end() - kData, all.end());
  }
  if (!write_all(ftdi, {0x84})) return fail(ftdi, "write");  // loopback: each answer is the byte sent
  std::vector<uint8_t> answers;
  const std::size_t step = whole ? all.size() : kData + 3;
  for (std::size_t at = 0; at < all.size(); at += step) {
    int sent = 0;
    const int r = libusb_bulk_transfer(ftdi->usb_dev, 0x02, all.data() + at, int(step), &sent, 500);
    if (r == LIBUSB_ERROR_TIMEOUT) {
      std::printf("write timed out after %d of %zu bytes\n", sent, step);
      return 1;
    }
    if (r != 0) return fail(nullptr, (std::string("write: ") + libusb_error_name(r)).c_str());
    const std::vector<uint8_t> got = read_exactly(ftdi, whole ? expected.size() : kData);
    answers.insert(answers.end(), got.begin(), got.end());
  }
  if (answers != expected) return fail(nullptr, "answers differ from the bytes sent");
  std::printf("%zu answers as sent\n", answers.size());
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  const char *flood_mode = nullptr;
  int rounds = 1;
  const char *serial = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
      if (rounds < 1 || rounds > 1000) return fail(nullptr, "--rounds takes 1 to 1000");
    } else if (std::strcmp(argv[i], "--flood") == 0 && i + 1 < argc) {
      flood_mode = argv[++i];
    } else {
      serial = argv[i];
    }
  }
  Context c;
  if (c.ftdi == nullptr) return fail(nullptr, "ftdi_new failed");
  if (ftdi_set_interface(c.ftdi, INTERFACE_A) < 0) return fail(c.ftdi, "interface A");
  if (ftdi_usb_open_desc(c.ftdi, 0x0403, 0x6010, nullptr, serial) < 0) return fail(c.ftdi, "open");
  c.open = true;
  if (ftdi_usb_reset(c.ftdi) < 0 || ftdi_set_latency_timer(c.ftdi, 2) < 0) return fail(c.ftdi, "setup");
  if (ftdi_set_bitmode(c.ftdi, 0x0b, BITMODE_MPSSE) < 0) return fail(c.ftdi, "MPSSE mode");
  if (ftdi_tcioflush(c.ftdi) < 0) return fail(c.ftdi, "purge");
  if (flood_mode != nullptr) return flood(c.ftdi, std::strcmp(flood_mode, "whole") == 0);
  const std::vector<uint8_t> commands = {
      0x85,                             // loopback off
      0x8A, 0x86, 0x05, 0x00,           // 60 MHz clock, divisor 5: 5 MHz (the emulator does not time it)
      0x80, 0x08, 0x0B,                 // TMS high, TCK low; TCK, TDI, TMS outputs
      0x4B, 0x05, 0x1F,                 // TMS 1 1 1 1 1 0: Test-Logic-Reset, Run-Test/Idle
      0x4B, 0x02, 0x01,                 // TMS 1 0 0: Shift-DR
      0x39, 0x03, 0x00, 0,    0, 0, 0,  // 32 bits in (TDI 0), LSB first
      0x4B, 0x04, 0x1F,                 // back to Test-Logic-Reset
      0x87};
  for (int round = 0; round < rounds; ++round) {
    if (!write_all(c.ftdi, commands)) return fail(c.ftdi, "write");
    const std::vector<uint8_t> id = read_exactly(c.ftdi, 4);
    if (id.size() != 4) return fail(c.ftdi, "no IDCODE within 5 s");
    std::printf("IDCODE 0x%08x\n",
                unsigned(id[0]) | unsigned(id[1]) << 8 | unsigned(id[2]) << 16 | unsigned(id[3]) << 24);
  }
  return 0;
}
