// A small XVC 1.0 server of the tests' own, written apart from src/: it
// forwards each shift request TCK by TCK, as remote_bitbang bytes, to a
// `jtag-sim serve` of the test's board and answers the TDO read there.  It
// can misbehave on purpose, so that the client's handling of a bad server
// is seen from outside.
#ifndef JTAGBOX_TESTS_SUPPORT_XVC_PEER_H
#define JTAGBOX_TESTS_SUPPORT_XVC_PEER_H

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace e2e {

class RawClient;

enum class PeerFault {
  None,
  BadInfo,        // getinfo: is answered "xvcServer_v2.0:1024\n"
  HugeInfo,       // getinfo: offers 4294967295 bytes per vector
  ShortReply,     // each shift answer lacks its last byte
  LongReply,      // each shift answer has one byte too many
  CloseMidShift,  // the connection closes when a shift request came
  Silence,        // a shift request is never answered
  Trickle,        // each answer byte 3 s after the one before
};

class XvcPeer {
 public:
  // Listens on a free port of 127.0.0.1, forwarding to the remote_bitbang
  // server on `rbb_port`; getinfo: offers `vector_bytes`.
  XvcPeer(int rbb_port, uint32_t vector_bytes, PeerFault fault = PeerFault::None);
  ~XvcPeer() { stop(); }
  XvcPeer(const XvcPeer &) = delete;
  XvcPeer &operator=(const XvcPeer &) = delete;

  int port() const { return port_; }
  uint64_t shifts() const { return shifts_; }  // shift requests answered so far
  void stop();

 private:
  void serve();
  void serve_client(RawClient &client, RawClient &rbb);

  int rbb_port_;
  uint32_t vector_bytes_;
  PeerFault fault_;
  int port_ = 0;  // before listener_, which sets it
  int listener_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> shifts_{0};
  std::thread thread_;
};

}  // namespace e2e

#endif
