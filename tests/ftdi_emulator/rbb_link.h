// The chip's JTAG pins on a remote_bitbang server (`jtag-sim serve`): a TCP
// connection made at the first batch and kept, bytes sent and TDO answers
// read together so that neither side's socket buffer fills while the other
// waits.
#ifndef JTAGBOX_TESTS_FTDI_EMULATOR_RBB_LINK_H
#define JTAGBOX_TESTS_FTDI_EMULATOR_RBB_LINK_H

#include <string>

#include "ftdi_chip.h"

namespace ftdi_emu {

class RbbLink : public Wire {
 public:
  RbbLink(std::string host, int port) : host_(std::move(host)), port_(port) {}
  ~RbbLink() override;
  RbbLink(const RbbLink &) = delete;
  RbbLink &operator=(const RbbLink &) = delete;

  std::optional<std::vector<bool>> run(const std::string &bytes, std::size_t samples, std::string &error) override;

 private:
  bool connect(std::string &error);
  void close();

  std::string host_;
  int port_;
  int fd_ = -1;
};

// No board: TCK goes nowhere and TDO reads 1 (a pulled-up open line).
class NoBoard : public Wire {
 public:
  std::optional<std::vector<bool>> run(const std::string &, std::size_t samples, std::string &) override {
    return std::vector<bool>(samples, true);
  }
};

}  // namespace ftdi_emu

#endif
