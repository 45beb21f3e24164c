// The one reading of JTAG_PLATFORM's arguments every backend shares: the key
// form, the positional forms kept as they were, and the same words for an
// unknown key, a bad value and a missing one, whatever the backend.
#include "driver/backend_arguments.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "base/error.h"

namespace {

using Args = jtag::BackendArguments;

struct Backend {
  const char *scheme, *keys;
};
constexpr Backend kSim{"sim", "dir"};
constexpr Backend kRbb{"rbb", "host,port"};

std::map<std::string, std::string> read(const Backend &b, const std::string &value) {
  const Args a(value, b.scheme, b.keys);
  std::map<std::string, std::string> got;
  for (const std::string &k : {std::string("dir"), std::string("host"), std::string("port")})
    if (a.has(k)) got[k] = a.get(k);
  return got;
}

TEST(BackendArguments, ReadsEveryForm) {
  const struct {
    Backend backend;
    std::string value;
    std::map<std::string, std::string> want;
    bool positional;
  } rows[] = {
      {kSim, "sim", {}, false},
      {kSim, "sim:/tmp/b", {{"dir", "/tmp/b"}}, true},
      {kSim, "sim:relative/dir", {{"dir", "relative/dir"}}, true},
      {kSim, "sim:/a:b=c,d", {{"dir", "/a:b=c,d"}}, true},  // a path keeps its colons, '=' and commas
      {kSim, "sim:dir=/tmp/b", {{"dir", "/tmp/b"}}, false},
      {kRbb, "rbb:127.0.0.1:3335", {{"host", "127.0.0.1"}, {"port", "3335"}}, true},
      {kRbb, "rbb:[::1]:3335", {{"host", "[::1]"}, {"port", "3335"}}, true},
      {kRbb, "rbb:3335", {{"host", "3335"}}, true},
      {kRbb, "rbb:h:", {{"host", "h"}}, true},
      {kRbb, "rbb:host=::1,port=9", {{"host", "::1"}, {"port", "9"}}, false},
      {kRbb, "rbb:port=9,host=h", {{"host", "h"}, {"port", "9"}}, false},
  };
  for (const auto &r : rows) {
    EXPECT_EQ(read(r.backend, r.value), r.want) << r.value;
    EXPECT_EQ(Args(r.value, r.backend.scheme, r.backend.keys).positional(), r.positional) << r.value;
  }
}

std::string refusal(const std::function<void()> &f) {
  try {
    f();
  } catch (const jtag::PlatformError &e) {
    return e.what();
  }
  return "(accepted)";
}

// What the parser refuses as it reads, the same for every backend.
TEST(BackendArguments, RefusesTheSameWayForEveryBackend) {
  const struct {
    Backend backend;
    std::string value, error;
  } rows[] = {
      {kRbb, "rbb:", "JTAG_PLATFORM=rbb: needs HOST:PORT"},
      {kSim, "sim:", "JTAG_PLATFORM=sim: needs DIR"},
      {kRbb, "rbb:x=1", "JTAG_PLATFORM=rbb:x=1: unknown key 'x' (rbb takes host, port)"},
      {kSim, "sim:x=1", "JTAG_PLATFORM=sim:x=1: unknown key 'x' (sim takes dir)"},
      {kRbb, "rbb:host=h,speed=9", "JTAG_PLATFORM=rbb:host=h,speed=9: unknown key 'speed' (rbb takes host, port)"},
      {kRbb, "rbb:host=h,,port=1", "JTAG_PLATFORM=rbb:host=h,,port=1: '' is not KEY=VALUE (rbb takes host, port)"},
      {kRbb, "rbb:host=h,p", "JTAG_PLATFORM=rbb:host=h,p: 'p' is not KEY=VALUE (rbb takes host, port)"},
      {kSim, "sim:dir=a,dir=b", "JTAG_PLATFORM=sim:dir=a,dir=b: key 'dir' given twice"},
      {kRbb, "rbb:host=,port=1", "JTAG_PLATFORM=rbb:host=,port=1: no value for host"},
  };
  for (const auto &r : rows)
    EXPECT_EQ(refusal([&] { Args(r.value, r.backend.scheme, r.backend.keys); }), r.error) << r.value;
}

// What a backend asks for, and how a missing or bad value is said: in the
// key form by key; a positional form as a whole, with the form it needs.
TEST(BackendArguments, MissingAndBadValues) {
  const struct {
    std::string value, error;
  } rows[] = {
      {"rbb", "JTAG_PLATFORM=rbb needs HOST:PORT"},
      {"rbb:host=h", "JTAG_PLATFORM=rbb:host=h needs port=PORT"},
      {"rbb:port=80", "JTAG_PLATFORM=rbb:port=80 needs host=HOST"},
      {"rbb:host=h,port=0", "JTAG_PLATFORM=rbb:host=h,port=0: bad value '0' for port (1..65535)"},
      {"rbb:host=h,port=+80", "JTAG_PLATFORM=rbb:host=h,port=+80: bad value '+80' for port (1..65535)"},
      {"rbb:host=h,port=99999999999999999999",
       "JTAG_PLATFORM=rbb:host=h,port=99999999999999999999: bad value "
       "'99999999999999999999' for port (1..65535)"},
      {"rbb:127.0.0.1:99219", "JTAG_PLATFORM=rbb:127.0.0.1:99219 is not rbb:HOST:PORT with PORT 1..65535"},
      {"rbb:127.0.0.1:0", "JTAG_PLATFORM=rbb:127.0.0.1:0 is not rbb:HOST:PORT with PORT 1..65535"},
      {"rbb:127.0.0.1:", "JTAG_PLATFORM=rbb:127.0.0.1: is not rbb:HOST:PORT with PORT 1..65535"},
      {"rbb:3335", "JTAG_PLATFORM=rbb:3335 is not rbb:HOST:PORT with PORT 1..65535"},
      {"rbb:h:+80", "JTAG_PLATFORM=rbb:h:+80 is not rbb:HOST:PORT with PORT 1..65535"},
      {"rbb::80", "JTAG_PLATFORM=rbb::80 is not rbb:HOST:PORT"},
      {"rbb:h:65535", "(accepted)"},
      {"rbb:host=h,port=1", "(accepted)"},
  };
  for (const auto &r : rows) {
    EXPECT_EQ(refusal([&] {
                const Args a(r.value, "rbb", "host,port");
                a.number("port", 1, 65535);
                a.require("host");
              }),
              r.error)
        << r.value;
  }
  EXPECT_EQ(Args("rbb:h:0080", "rbb", "host,port").number("port", 1, 65535), 80u);
  EXPECT_EQ(Args("sim", "sim", "dir").get("dir", "default"), "default");
  EXPECT_EQ(refusal([] { Args("sim:dir=x", "sim", "dir").bad_value("dir", "a directory"); }),
            "JTAG_PLATFORM=sim:dir=x: bad value 'x' for dir (a directory)");
  EXPECT_EQ(refusal([] { Args("sim:x", "sim", "dir").bad_value("dir", "a directory"); }),
            "JTAG_PLATFORM=sim:x is not sim:DIR with DIR a directory");
}

// USB IDs are hexadecimal, with or without 0x; anything else is a bad value.
TEST(BackendArguments, HexadecimalNumbers) {
  const struct {
    std::string value, error;
    uint64_t want;
  } rows[] = {
      {"ftdi:vid=0403", "(accepted)", 0x403},
      {"ftdi:vid=0x6010", "(accepted)", 0x6010},
      {"ftdi:vid=0XfFfF", "(accepted)", 0xffff},
      {"ftdi:vid=10000", "JTAG_PLATFORM=ftdi:vid=10000: bad value '10000' for vid (hexadecimal 0..ffff)", 0},
      {"ftdi:vid=0x", "JTAG_PLATFORM=ftdi:vid=0x: bad value '0x' for vid (hexadecimal 0..ffff)", 0},
      {"ftdi:vid=-1", "JTAG_PLATFORM=ftdi:vid=-1: bad value '-1' for vid (hexadecimal 0..ffff)", 0},
      {"ftdi:vid=40g", "JTAG_PLATFORM=ftdi:vid=40g: bad value '40g' for vid (hexadecimal 0..ffff)", 0},
      {"ftdi:vid=0x00000000000000001",
       "JTAG_PLATFORM=ftdi:vid=0x00000000000000001: bad value "
       "'0x00000000000000001' for vid (hexadecimal 0..ffff)",
       0},
      {"ftdi", "JTAG_PLATFORM=ftdi needs VID", 0},
  };
  for (const auto &r : rows) {
    uint64_t got = 0;
    EXPECT_EQ(refusal([&] { got = Args(r.value, "ftdi", "vid").hex_number("vid", 0xffff); }), r.error) << r.value;
    EXPECT_EQ(got, r.want) << r.value;
  }
}

}  // namespace
