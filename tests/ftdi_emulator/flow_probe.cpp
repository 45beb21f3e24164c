// ftdi-flow-probe: a plain synchronous libusb client of an FT2232H that
// writes 16 KiB of MPSSE byte reads (four 0x39 commands of 4093 bytes, in
// loopback so the answers are the bytes sent) to channel A.
//   ftdi-flow-probe whole   one 16 KiB OUT transfer with no IN transfer in
//                           flight: more answers than the chip's buffers
//                           hold, so it must time out
//   ftdi-flow-probe split   each command its own OUT transfer, its answers
//                           read before the next: it must get them all
// Prints one line; status 0 when the write went through and every answer
// came back as sent, 1 otherwise.
#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint16_t kVid = 0x0403;
constexpr uint16_t kPid = 0x6010;
constexpr unsigned char kOut = 0x02;
constexpr unsigned char kIn = 0x81;
constexpr unsigned kTimeoutMs = 500;
constexpr std::size_t kPacket = 512;
constexpr std::size_t kCommands = 4;
constexpr std::size_t kCommandData = 4093;  // with its 3 header bytes, 4096

using Bytes = std::vector<unsigned char>;

int fail(const std::string &message) {
  std::fprintf(stderr, "ftdi-flow-probe: %s\n", message.c_str());
  return 1;
}

struct Context {
  libusb_context *ctx = nullptr;
  ~Context() {
    if (ctx != nullptr) libusb_exit(ctx);
  }
};
struct Handle {
  libusb_device_handle *handle = nullptr;
  ~Handle() {
    if (handle != nullptr) {
      libusb_release_interface(handle, 0);
      libusb_close(handle);
    }
  }
};

bool vendor(libusb_device_handle *h, uint8_t request, uint16_t value) {
  return libusb_control_transfer(h, 0x40, request, value, 1, nullptr, 0, kTimeoutMs) == 0;
}

// The data bytes of command k: a pattern that differs from byte to byte
// and from command to command.
Bytes command(std::size_t k) {
  Bytes c = {0x39, uint8_t((kCommandData - 1) & 0xFF), uint8_t((kCommandData - 1) >> 8)};
  for (std::size_t i = 0; i < kCommandData; ++i) c.push_back(uint8_t(i * 7 + k * 31 + (i >> 8)));
  return c;
}

// Reads until `want` answer bytes came (status bytes dropped) or 2 s pass.
bool read_answers(libusb_device_handle *h, std::size_t want, Bytes &answers) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  Bytes buffer(4096);
  std::size_t got = 0;
  while (got < want && std::chrono::steady_clock::now() < deadline) {
    int length = 0;
    const int r = libusb_bulk_transfer(h, kIn, buffer.data(), int(buffer.size()), &length, kTimeoutMs);
    if (r != 0 && r != LIBUSB_ERROR_TIMEOUT) return false;
    for (std::size_t at = 0; at < std::size_t(length); at += kPacket) {
      const std::size_t end = std::min(std::size_t(length), at + kPacket);
      if (end <= at + 2) continue;
      answers.insert(answers.end(), buffer.begin() + std::ptrdiff_t(at + 2), buffer.begin() + std::ptrdiff_t(end));
      got += end - at - 2;
    }
  }
  return got == want;
}

int run(libusb_device_handle *h, bool whole) {
  Bytes loopback = {0x84};
  int sent = 0;
  if (libusb_bulk_transfer(h, kOut, loopback.data(), 1, &sent, kTimeoutMs) != 0) return fail("loopback: write failed");
  Bytes all, expected, answers;
  for (std::size_t k = 0; k < kCommands; ++k) {
    const Bytes c = command(k);
    all.insert(all.end(), c.begin(), c.end());
    expected.insert(expected.end(), c.begin() + 3, c.end());
  }
  if (whole) {
    const int r = libusb_bulk_transfer(h, kOut, all.data(), int(all.size()), &sent, kTimeoutMs);
    if (r == LIBUSB_ERROR_TIMEOUT) {
      std::printf("write timed out after %d of %zu bytes\n", sent, all.size());
      return 1;
    }
    if (r != 0 || std::size_t(sent) != all.size()) return fail(std::string("write: ") + libusb_error_name(r));
    if (!read_answers(h, expected.size(), answers)) return fail("answers missing");
  } else {
    for (std::size_t at = 0; at < all.size(); at += kCommandData + 3) {
      const int r = libusb_bulk_transfer(h, kOut, all.data() + at, int(kCommandData + 3), &sent, kTimeoutMs);
      if (r != 0) return fail(std::string("write: ") + libusb_error_name(r));
      if (!read_answers(h, kCommandData, answers)) return fail("answers missing");
    }
  }
  if (answers != expected) return fail("answers differ from the bytes sent");
  std::printf("%zu answers as sent\n", answers.size());
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2 || (std::strcmp(argv[1], "whole") != 0 && std::strcmp(argv[1], "split") != 0))
    return fail("usage: ftdi-flow-probe whole|split");
  Context context;
  if (libusb_init(&context.ctx) != 0) return fail("libusb_init failed");
  Handle handle;
  handle.handle = libusb_open_device_with_vid_pid(context.ctx, kVid, kPid);
  if (handle.handle == nullptr) return fail("no device 0403:6010");
  if (libusb_claim_interface(handle.handle, 0) != 0) return fail("cannot claim interface 0");
  // Reset, both buffers purged, latency 2 ms, MPSSE mode.
  if (!vendor(handle.handle, 0x00, 0) || !vendor(handle.handle, 0x09, 2) || !vendor(handle.handle, 0x0B, 0x020B))
    return fail("setup requests refused");
  return run(handle.handle, std::strcmp(argv[1], "whole") == 0);
}
