#include "usbfs_device.h"

#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace ftdi_emu {

namespace {

// What a kernel of the last years offers; no packet-size limit means one
// URB per bulk transfer, whatever its length.
constexpr uint32_t kCapabilities = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                   USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
constexpr int kSetupSize = 8;
// The kernel's own default bound on usbfs buffers (usbfs_memory_mb).
constexpr int kMaxBuffer = 16 * 1024 * 1024;

// The endpoints a transfer of this type may name on this chip.
bool endpoint_exists(unsigned char type, unsigned char endpoint) {
  if (type == USBDEVFS_URB_TYPE_CONTROL) return (endpoint & 0x7F) == 0;
  return endpoint == 0x81 || endpoint == 0x02 || endpoint == 0x83 || endpoint == 0x04;
}
constexpr int kUsbSpeedHigh = 3;  // enum usb_device_speed

struct usbdevfs_urb *urb_of(UMockdevIoctlData *data) {
  return reinterpret_cast<struct usbdevfs_urb *>(data->data);
}

void complete(UMockdevIoctlClient *client, long result, int error) {
  umockdev_ioctl_client_complete(client, result, error);
}

}  // namespace

UsbfsDevice::UsbfsDevice(Chip chip, std::mutex &lock, std::function<void()> on_close)
    : chip_(std::move(chip)), lock_(lock), on_close_(std::move(on_close)) {}

UsbfsDevice::~UsbfsDevice() {
  for (std::deque<Urb> *list : {&in_flight_, &out_waiting_, &done_})
    for (Urb &u : *list) release(u);
  for (UMockdevIoctlClient *c : clients_) g_object_unref(c);
  if (handler_ != nullptr) g_object_unref(handler_);
}

void UsbfsDevice::detach() {
  const std::lock_guard<std::mutex> hold(lock_);
  if (handler_ != nullptr) g_signal_handlers_disconnect_by_data(handler_, this);
}

bool UsbfsDevice::attach(UMockdevTestbed *testbed, const std::string &devnode, std::string &error) {
  handler_ = umockdev_ioctl_base_new();
  g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(on_ioctl), this);
  g_signal_connect(handler_, "client-connected", G_CALLBACK(on_connected), this);
  GError *failure = nullptr;
  if (umockdev_testbed_attach_ioctl(testbed, devnode.c_str(), handler_, &failure) == 0) {
    error = "cannot serve " + devnode + ": " + (failure != nullptr ? failure->message : "umockdev refused");
    if (failure != nullptr) g_error_free(failure);
    return false;
  }
  return true;
}

void UsbfsDevice::on_connected(UMockdevIoctlBase * /*base*/, UMockdevIoctlClient *client, gpointer self) {
  auto *device = static_cast<UsbfsDevice *>(self);
  const std::lock_guard<std::mutex> hold(device->lock_);
  // A first client meets the chip as after power-up (each test run starts
  // from the same state); a second one shares it, as on real hardware.
  // One that closed a moment ago does not count.
  device->forget_closed_clients();
  if (device->clients_.empty()) device->chip_.power_up();
  device->clients_.insert(static_cast<UMockdevIoctlClient *>(g_object_ref(client)));
}

// umockdev closes a client's stream when the process closes the node or
// dies, but says so to no one (its "connected" property is never
// notified), so the clients are looked at instead.
void UsbfsDevice::forget_closed_clients() {
  std::vector<UMockdevIoctlClient *> closed;
  for (UMockdevIoctlClient *c : clients_)
    if (umockdev_ioctl_client_get_connected(c) == 0) closed.push_back(c);
  for (UMockdevIoctlClient *c : closed) forget(c);
}

// A client that closed the node or died: its URBs go with it.
void UsbfsDevice::forget(UMockdevIoctlClient *client) {
  const auto it = clients_.find(client);
  if (it == clients_.end()) return;
  // Its waiting OUT transfers leave the chip first, newest first so that
  // each one's position among its endpoint's stays right.
  withdraw_out_of(client);
  for (std::deque<Urb> *list : {&in_flight_, &out_waiting_, &done_}) {
    for (Urb &u : *list)
      if (u.client == client) release(u);
    std::erase_if(*list, [](const Urb &u) { return u.data == nullptr; });
  }
  g_object_unref(client);
  clients_.erase(it);
  chip_.go_on();
  settle_out(0x02);
  settle_out(0x04);
  if (on_close_) on_close_();
}

void UsbfsDevice::release(Urb &urb) {
  if (urb.data != nullptr) g_object_unref(urb.data);
  urb.data = nullptr;
  urb.buffer = nullptr;
}

gboolean UsbfsDevice::on_ioctl(UMockdevIoctlBase * /*base*/, UMockdevIoctlClient *client, gpointer self) {
  auto *device = static_cast<UsbfsDevice *>(self);
  const std::lock_guard<std::mutex> hold(device->lock_);
  device->handle(client);
  return TRUE;
}

void UsbfsDevice::handle(UMockdevIoctlClient *client) {
  const gulong request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
  // After an unplug only the reaping of what was in flight still works.
  if (chip_.unplugged() && request != USBDEVFS_REAPURB && request != USBDEVFS_REAPURBNDELAY &&
      request != USBDEVFS_DISCARDURB)
    return complete(client, -1, ENODEV);
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      UMockdevIoctlData *caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
      if (caps == nullptr) return complete(client, -1, EFAULT);
      std::memcpy(caps->data, &kCapabilities, sizeof kCapabilities);
      return complete(client, 0, 0);
    }
    case USBDEVFS_GET_SPEED: return complete(client, kUsbSpeedHigh, 0);
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL: return complete(client, -1, ENODATA);  // no kernel driver bound
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
    case USBDEVFS_RESET: return complete(client, 0, 0);
    case USBDEVFS_SUBMITURB: return submit(client);
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: return reap(client);
    case USBDEVFS_DISCARDURB: return discard(client);
    default: return complete(client, -1, ENOTTY);
  }
}

void UsbfsDevice::submit(UMockdevIoctlClient *client) {
  UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
  UMockdevIoctlData *data = umockdev_ioctl_data_resolve(arg, 0, sizeof(struct usbdevfs_urb), nullptr);
  if (data == nullptr) return complete(client, -1, EFAULT);
  const struct usbdevfs_urb *u = urb_of(data);
  if (u->buffer_length < 0 || (u->type == USBDEVFS_URB_TYPE_CONTROL && u->buffer_length < kSetupSize))
    return complete(client, -1, EINVAL);
  if (u->buffer_length > kMaxBuffer) return complete(client, -1, ENOMEM);
  if (u->type != USBDEVFS_URB_TYPE_CONTROL && u->type != USBDEVFS_URB_TYPE_BULK) return complete(client, -1, EINVAL);
  if (!endpoint_exists(u->type, u->endpoint)) return complete(client, -1, ENOENT);
  Urb urb{client, static_cast<UMockdevIoctlData *>(g_object_ref(data)), nullptr, g_get_monotonic_time()};
  if (u->buffer_length > 0) {
    urb.buffer = umockdev_ioctl_data_resolve(data, G_STRUCT_OFFSET(struct usbdevfs_urb, buffer),
                                             std::size_t(u->buffer_length), nullptr);
    if (urb.buffer == nullptr) {
      release(urb);
      return complete(client, -1, EFAULT);
    }
  }
  // A control transfer is carried out before the submission returns; an
  // OUT transfer as far as the chip's buffers take it, the rest as IN
  // transfers make room.
  if (u->type == USBDEVFS_URB_TYPE_CONTROL) {
    control_urb(urb);
    settle_out(0x02);
    settle_out(0x04);
  } else if ((u->endpoint & 0x80) == 0) {
    bulk_out_urb(urb);
  } else {
    in_flight_.push_back(urb);
    complete_ready_in_transfers();
  }
  complete(client, 0, 0);
}

void UsbfsDevice::control_urb(Urb &urb) {
  struct usbdevfs_urb *u = urb_of(urb.data);
  const SetupPacket setup = parse_setup(std::span<const uint8_t, kSetupSize>(urb.buffer->data, kSetupSize));
  const std::span<const uint8_t> out(urb.buffer->data + kSetupSize, std::size_t(u->buffer_length - kSetupSize));
  const ControlResult result = chip_.control(setup);
  if (result.stall) return finish(urb, -EPIPE, 0);
  if ((setup.request_type & 0x80) == 0) return finish(urb, 0, setup.length);
  const std::size_t length = std::min({result.data.size(), std::size_t(setup.length), out.size()});
  std::memcpy(urb.buffer->data + kSetupSize, result.data.data(), length);
  finish(urb, 0, int(length));
}

void UsbfsDevice::bulk_out_urb(Urb &urb) {
  const struct usbdevfs_urb *u = urb_of(urb.data);
  const std::span<const uint8_t> bytes(urb.buffer != nullptr ? urb.buffer->data : nullptr,
                                       std::size_t(u->buffer_length));
  std::string error;
  out_waiting_.push_back(urb);
  chip_.bulk_out(u->endpoint, bytes, error);  // a failure comes with the outcome
  settle_out(u->endpoint);
}

void UsbfsDevice::settle_out(uint8_t endpoint) {
  OutOutcome outcome = chip_.take_out_outcome(endpoint);
  if (!outcome.error.empty()) std::fprintf(stderr, "ftdi-emulator: %s\n", outcome.error.c_str());
  for (Urb &urb : out_waiting_) {
    if (outcome.completed + outcome.failed == 0) break;
    const struct usbdevfs_urb *u = urb_of(urb.data);
    if (u->endpoint != endpoint) continue;
    if (outcome.completed > 0) {
      --outcome.completed;
      finish(urb, 0, u->buffer_length);
    } else {
      --outcome.failed;
      finish(urb, -EPROTO, 0);
    }
  }
  std::erase_if(out_waiting_, [](const Urb &u) { return u.data == nullptr; });
}

void UsbfsDevice::withdraw_out_of(UMockdevIoctlClient *client) {
  for (auto u = out_waiting_.end(); u != out_waiting_.begin();) {
    --u;
    if (client == nullptr || u->client == client) withdraw_out(u);
  }
}

std::size_t UsbfsDevice::withdraw_out(const std::deque<Urb>::iterator &it) {
  const uint8_t endpoint = urb_of(it->data)->endpoint;
  const auto same_endpoint = [endpoint](const Urb &u) { return urb_of(u.data)->endpoint == endpoint; };
  const auto position = std::size_t(std::count_if(out_waiting_.begin(), it, same_endpoint));
  return chip_.cancel_out(endpoint, position);
}

void UsbfsDevice::unplug() {
  const std::lock_guard<std::mutex> hold(lock_);
  chip_.unplug();
  complete_ready_in_transfers();
}

void UsbfsDevice::complete_ready_in_transfers() {
  const int64_t now = g_get_monotonic_time();
  if (chip_.unplugged()) {
    // OUT transfers stalled in the chip's buffers go with it.
    withdraw_out_of(nullptr);
    for (Urb &urb : out_waiting_) finish(urb, -ENODEV, 0);
    out_waiting_.clear();
  }
  std::set<uint8_t> waiting;  // endpoints whose oldest transfer must go first
  for (Urb &urb : in_flight_) {
    const struct usbdevfs_urb *u = urb_of(urb.data);
    if (chip_.unplugged()) {
      finish(urb, -ENODEV, 0);
      continue;
    }
    if (waiting.count(u->endpoint) != 0 || chip_.silent()) continue;
    const bool timed_out = now - urb.submitted_us >= int64_t(chip_.latency_ms(u->endpoint)) * 1000;
    if (!chip_.has_answer(u->endpoint) && !timed_out) {
      waiting.insert(u->endpoint);
      continue;
    }
    const uint8_t endpoint = u->endpoint;
    const std::vector<uint8_t> bytes = chip_.bulk_in(endpoint, std::size_t(u->buffer_length));
    if (!bytes.empty()) std::memcpy(urb.buffer->data, bytes.data(), bytes.size());
    finish(urb, 0, int(bytes.size()));
    // The room it made may have let the channel's OUT transfers in.
    settle_out(uint8_t((endpoint & 0x7F) + 1));
  }
  std::erase_if(in_flight_, [](const Urb &u) { return u.data == nullptr; });
}

// Moves the URB (leaving `urb` empty) to the reapable list with its outcome.
void UsbfsDevice::finish(Urb &urb, int status, int actual_length) {
  struct usbdevfs_urb *u = urb_of(urb.data);
  u->status = status;
  u->actual_length = actual_length;
  done_.push_back(urb);
  urb.data = nullptr;
  urb.buffer = nullptr;
}

void UsbfsDevice::reap(UMockdevIoctlClient *client) {
  complete_ready_in_transfers();
  const auto it = std::find_if(done_.begin(), done_.end(), [client](const Urb &u) { return u.client == client; });
  if (it == done_.end()) return complete(client, -1, EAGAIN);
  UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
  UMockdevIoctlData *pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), nullptr);
  if (pointer == nullptr) return complete(client, -1, EFAULT);
  umockdev_ioctl_data_set_ptr(pointer, 0, it->data);
  Urb urb = *it;
  done_.erase(it);
  complete(client, 0, 0);
  release(urb);
}

void UsbfsDevice::discard(UMockdevIoctlClient *client) {
  UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
  gulong address = 0;
  std::memcpy(&address, arg->data, std::min(sizeof address, std::size_t(arg->data_len)));
  const auto is_it = [&](const Urb &u) { return u.client == client && u.data->client_addr == address; };
  const auto in = std::find_if(in_flight_.begin(), in_flight_.end(), is_it);
  if (in != in_flight_.end()) {
    finish(*in, -ENOENT, 0);
    in_flight_.erase(in);
    return complete(client, 0, 0);
  }
  const auto out = std::find_if(out_waiting_.begin(), out_waiting_.end(), is_it);
  if (out == out_waiting_.end()) return complete(client, -1, EINVAL);
  // Like the kernel, it reports how much of it went out before it was cancelled.
  const uint8_t endpoint = urb_of(out->data)->endpoint;
  finish(*out, -ENOENT, int(withdraw_out(out)));
  out_waiting_.erase(out);
  chip_.go_on();
  settle_out(endpoint);  // the next may have got in
  complete(client, 0, 0);
}

}  // namespace ftdi_emu
