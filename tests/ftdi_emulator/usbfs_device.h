// The chip behind a usbfs device node (/dev/bus/usb/BBB/DDD) in a umockdev
// testbed: the ioctls libusb's Linux backend sends are answered here, in
// the testbed's worker thread, each client process's URBs kept apart.
#ifndef JTAGBOX_TESTS_FTDI_EMULATOR_USBFS_DEVICE_H
#define JTAGBOX_TESTS_FTDI_EMULATOR_USBFS_DEVICE_H

#include <umockdev.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ftdi_chip.h"

namespace ftdi_emu {

class UsbfsDevice {
 public:
  // `on_close` runs (with the lock held) whenever a client closes the node.
  UsbfsDevice(Chip chip, std::mutex &lock, std::function<void()> on_close);
  ~UsbfsDevice();
  UsbfsDevice(const UsbfsDevice &) = delete;
  UsbfsDevice &operator=(const UsbfsDevice &) = delete;

  // Serves the node `devnode` of `testbed`; false with `error` set if not.
  bool attach(UMockdevTestbed *testbed, const std::string &devnode, std::string &error);
  // No more calls from the testbed's thread once this returns (one still
  // running has finished: each holds the lock).
  void detach();
  Stats stats() const { return chip_.stats(); }
  int open_clients() const { return int(clients_.size()); }
  // Lets go of the clients that have closed the node since the last call
  // (their URBs with them); with the lock held.
  void forget_closed_clients();
  // The chip is pulled out: what is in flight ends with -ENODEV when the
  // client next looks, every later ioctl but reaping fails with ENODEV.
  void unplug();

 private:
  struct Urb {
    UMockdevIoctlClient *client = nullptr;
    UMockdevIoctlData *data = nullptr;    // the struct usbdevfs_urb (a reference held)
    UMockdevIoctlData *buffer = nullptr;  // its buffer, owned by `data`
    int64_t submitted_us = 0;
  };

  static gboolean on_ioctl(UMockdevIoctlBase *base, UMockdevIoctlClient *client, gpointer self);
  static void on_connected(UMockdevIoctlBase *base, UMockdevIoctlClient *client, gpointer self);

  void handle(UMockdevIoctlClient *client);
  void submit(UMockdevIoctlClient *client);
  void reap(UMockdevIoctlClient *client);
  void discard(UMockdevIoctlClient *client);
  void control_urb(Urb &urb);
  void bulk_out_urb(Urb &urb);
  // Completes the OUT transfers of `endpoint` the chip has taken in (or
  // lost with the board), oldest first.
  void settle_out(uint8_t endpoint);
  // Withdraws a waiting OUT transfer from the chip (nothing else moves
  // until chip_.go_on()); returns the bytes of it the chip had taken.
  std::size_t withdraw_out(const std::deque<Urb>::iterator &it);
  // Withdraws the waiting OUT transfers of `client` (nullptr: all).
  void withdraw_out_of(UMockdevIoctlClient *client);
  // IN transfers whose answer is ready, whose latency timer ran out, or
  // that the device's loss ends, move to done_.
  void complete_ready_in_transfers();
  void finish(Urb &urb, int status, int actual_length);
  void forget(UMockdevIoctlClient *client);
  static void release(Urb &urb);

  Chip chip_;
  std::mutex &lock_;
  std::function<void()> on_close_;
  UMockdevIoctlBase *handler_ = nullptr;
  std::set<UMockdevIoctlClient *> clients_;  // a reference held on each
  std::deque<Urb> in_flight_;                // IN transfers waiting for the chip, in order
  std::deque<Urb> out_waiting_;              // OUT transfers the chip has not all taken, in order
  std::deque<Urb> done_;                     // completed or cancelled, waiting to be reaped
};

}  // namespace ftdi_emu

#endif
