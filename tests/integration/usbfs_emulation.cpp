#include "usbfs_emulation.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <stdexcept>

#include "sim_model.h"

using vexa_sim::Clock;

namespace {

// One lock for every node's client table; see the header.
std::mutex g_mutex;

// An owned reference to client memory that umockdev copied in.
struct DataRef {
  UMockdevIoctlData *data = nullptr;
  DataRef() = default;
  explicit DataRef(UMockdevIoctlData *owned) : data(owned) {}
  DataRef(DataRef &&other) noexcept : data(other.data) { other.data = nullptr; }
  DataRef &operator=(DataRef &&other) noexcept {
    std::swap(data, other.data);
    return *this;
  }
  ~DataRef() {
    if (data) g_object_unref(data);
  }
  explicit operator bool() const { return data != nullptr; }
  template <typename T>
  T *as() const {
    return reinterpret_cast<T *>(data->data);
  }
};

// Follows the pointer at `offset` inside `parent` to `length` bytes of client memory.
DataRef Resolve(UMockdevIoctlData *parent, size_t offset, size_t length) {
  GError *error = nullptr;
  UMockdevIoctlData *data = umockdev_ioctl_data_resolve(parent, offset, length, &error);
  if (error) g_error_free(error);
  return DataRef(data);
}

// The descriptors of bus 001's root hub: a hub with one interrupt endpoint.
const std::vector<uint8_t> kRootHubDescriptors = {
    0x12, 0x01, 0x00, 0x02, 0x09, 0x00, 0x01, 0x40, 0x6B, 0x1D, 0x02, 0x00, 0x06, 0x06,
    0x03, 0x02, 0x01, 0x01,                                      // device
    0x09, 0x02, 0x19, 0x00, 0x01, 0x01, 0x00, 0xE0, 0x00,        // configuration
    0x09, 0x04, 0x00, 0x00, 0x01, 0x09, 0x00, 0x00, 0x00,        // interface
    0x07, 0x05, 0x81, 0x03, 0x04, 0x00, 0x0C};                   // endpoint

std::string Hex(const std::vector<uint8_t> &bytes) {
  std::string out;
  char pair[3];
  for (uint8_t byte : bytes) {
    std::snprintf(pair, sizeof pair, "%02X", byte);
    out += pair;
  }
  return out;
}

}  // namespace

// A bulk URB between submit and reap. The copies of the URB and its buffer
// stay with umockdev's client memory and are written back when reaped.
struct Urb {
  DataRef urb;
  DataRef buffer;
  uintptr_t client_address = 0;
  bool in = false;
  int endpoint = 0;
  vexa_sim::BulkIn transfer;

  usbdevfs_urb *header() const { return urb.as<usbdevfs_urb>(); }
  void Complete(int actual, int status) {
    header()->actual_length = actual;
    header()->status = status;
  }
};

struct UsbfsEmulation::Client {
  size_t read_offset = 0;
  std::deque<std::unique_ptr<Urb>> pending, completed;
};

struct UsbfsEmulation::Node {
  bool hub = false;
  int chip = -1;          // model chip id
  bool removed = false;   // unplugged from the testbed (under g_mutex)
  unsigned devnum = 0;
  std::string devnode, devpath;
  std::vector<uint8_t> descriptors;  // as read() returns them
  UMockdevIoctlBase *handler = nullptr;
  std::map<UMockdevIoctlClient *, std::unique_ptr<Client>> clients;  // under g_mutex
};

namespace {

using Node = UsbfsEmulation::Node;
using Client = UsbfsEmulation::Client;

// What a handled ioctl gives back; a reaped URB lives until its copy has
// been written back to the client.
struct Outcome {
  long result = 0;
  int error = 0;
  std::unique_ptr<Urb> reaped;
};

Outcome Fail(int negative_errno) {
  Outcome outcome;
  outcome.result = -1;
  outcome.error = -negative_errno;
  return outcome;
}

Outcome Return(long value) {
  if (value < 0) return Fail(static_cast<int>(value));
  Outcome outcome;
  outcome.result = value;
  return outcome;
}

Client &ClientOf(Node &node, UMockdevIoctlClient *client) {
  auto &slot = node.clients[client];
  if (!slot) slot = std::make_unique<Client>();
  return *slot;
}

// The node's chip, or null when it was unplugged or the model was reset.
// The caller holds the model's mutex.
vexa_sim::Chip *LiveChip(const Node &node) {
  if (node.removed) return nullptr;
  vexa_sim::Chip *chip = vexa_sim::find_chip(node.chip);
  return chip && !chip->unplugged ? chip : nullptr;
}

// Advances a bulk IN URB; true when it has completed. Model mutex held.
bool StepIn(const Node &node, Urb &urb) {
  vexa_sim::Chip *chip = node.removed ? nullptr : vexa_sim::find_chip(node.chip);
  if (!chip) {
    urb.Complete(0, -ESHUTDOWN);
    return true;
  }
  int result = 0;
  std::optional<Clock::time_point> wake;
  uint8_t *bytes = urb.buffer ? urb.buffer.as<uint8_t>() : nullptr;
  if (urb.transfer.size > 0 &&
      !vexa_sim::bulk_in_step(*chip, urb.transfer, bytes, Clock::now(), false, &result, &wake))
    return false;
  const bool stalled = chip->channels[static_cast<size_t>(urb.transfer.interface)].stalled;
  urb.Complete(result, chip->unplugged ? -ESHUTDOWN : stalled ? -EPIPE : 0);
  vexa_sim::log_bulk(VEXA_SIM_LOG_BULK_IN, chip->id, urb.endpoint, urb.transfer.size, result);
  return true;
}

// Bulk IN packets come from the model when a URB is submitted and each time
// the client polls for completions, so the chip's latency-timer status
// packets appear as time passes. Model mutex held.
void StepPending(const Node &node, Client &client) {
  for (auto it = client.pending.begin(); it != client.pending.end();) {
    if (StepIn(node, **it)) {
      client.completed.push_back(std::move(*it));
      it = client.pending.erase(it);
    } else {
      ++it;
    }
  }
}

Outcome SubmitUrb(const Node &node, Client &client, UMockdevIoctlData *arg) {
  DataRef urb_data = Resolve(arg, 0, sizeof(usbdevfs_urb));
  if (!urb_data) return Fail(-EFAULT);
  auto urb = std::make_unique<Urb>();
  const usbdevfs_urb header = *urb_data.as<usbdevfs_urb>();
  urb->client_address = *reinterpret_cast<uintptr_t *>(arg->data);
  urb->urb = std::move(urb_data);
  if (header.type != USBDEVFS_URB_TYPE_BULK || header.buffer_length < 0) return Fail(-EINVAL);
  urb->in = (header.endpoint & USB_ENDPOINT_IN) != 0;
  urb->endpoint = header.endpoint;
  if (header.buffer_length > 0) {
    urb->buffer = Resolve(urb->urb.data, offsetof(usbdevfs_urb, buffer),
                          static_cast<size_t>(header.buffer_length));
    if (!urb->buffer) return Fail(-EFAULT);
  }
  std::lock_guard<std::mutex> model(vexa_sim::sim().mutex);
  vexa_sim::Chip *chip = LiveChip(node);
  if (!chip) return Fail(-ENODEV);
  const int interface = vexa_sim::bulk_interface(*chip, header.endpoint, urb->in, &client);
  if (interface < 0) return Fail(interface);
  urb->transfer.interface = interface;
  urb->transfer.size = header.buffer_length;
  if (urb->in) {
    if (StepIn(node, *urb)) client.completed.push_back(std::move(urb));
    else client.pending.push_back(std::move(urb));
  } else {
    const int accepted = vexa_sim::bulk_out(*chip, interface, urb->buffer ? urb->buffer.as<uint8_t>() : nullptr,
                                            header.buffer_length);
    vexa_sim::log_bulk(VEXA_SIM_LOG_BULK_OUT, chip->id, header.endpoint, header.buffer_length, accepted);
    urb->Complete(accepted, 0);
    client.completed.push_back(std::move(urb));
  }
  return Return(0);
}

// Reaping stays allowed after an unplug, as the kernel's usbfs allows it:
// the URBs the unplug ended come back, and only then does -ENODEV follow.
Outcome ReapUrb(const Node &node, Client &client, UMockdevIoctlData *arg) {
  bool gone;
  {
    std::lock_guard<std::mutex> model(vexa_sim::sim().mutex);
    StepPending(node, client);
    gone = LiveChip(node) == nullptr;
  }
  if (client.completed.empty()) return Fail(gone ? -ENODEV : -EAGAIN);
  DataRef slot = Resolve(arg, 0, sizeof(void *));
  if (!slot) return Fail(-EFAULT);
  Outcome outcome;
  outcome.reaped = std::move(client.completed.front());
  client.completed.pop_front();
  umockdev_ioctl_data_set_ptr(slot.data, 0, outcome.reaped->urb.data);
  return outcome;
}

Outcome DiscardUrb(const Node &node, Client &client, UMockdevIoctlData *arg) {
  const uintptr_t address = *reinterpret_cast<uintptr_t *>(arg->data);
  std::lock_guard<std::mutex> model(vexa_sim::sim().mutex);
  if (!LiveChip(node)) return Fail(-ENODEV);
  for (auto it = client.pending.begin(); it != client.pending.end(); ++it) {
    if ((*it)->client_address != address) continue;
    // What the chip had already sent into the URB is lost with it.
    Urb &urb = **it;
    urb.Complete(urb.transfer.got, -ECONNRESET);
    vexa_sim::log_bulk(VEXA_SIM_LOG_BULK_IN, node.chip, urb.endpoint, urb.transfer.size, -ECONNRESET);
    client.completed.push_back(std::move(*it));
    client.pending.erase(it);
    return Return(0);
  }
  return Fail(-EINVAL);
}

Outcome Control(const Node &node, Client &client, UMockdevIoctlData *arg) {
  DataRef request = Resolve(arg, 0, sizeof(usbdevfs_ctrltransfer));
  if (!request) return Fail(-EFAULT);
  const usbdevfs_ctrltransfer setup = *request.as<usbdevfs_ctrltransfer>();
  DataRef data;
  if (setup.wLength > 0) {
    data = Resolve(request.data, offsetof(usbdevfs_ctrltransfer, data), setup.wLength);
    if (!data) return Fail(-EFAULT);
  }
  uint8_t *bytes = data ? data.as<uint8_t>() : nullptr;
  if (node.hub) {
    // The root hub answers descriptor reads only.
    if (setup.bRequestType != USB_ENDPOINT_IN || setup.bRequest != USB_REQ_GET_DESCRIPTOR) return Fail(-EPIPE);
    const int type = setup.wValue >> 8;
    if (type != USB_DT_DEVICE && type != USB_DT_CONFIG) return Fail(-EPIPE);
    const size_t start = type == USB_DT_DEVICE ? 0 : 18;
    const size_t length = std::min<size_t>(setup.wLength, kRootHubDescriptors.size() - start);
    std::memcpy(bytes, kRootHubDescriptors.data() + start, length);
    return Return(static_cast<long>(length));
  }
  std::lock_guard<std::mutex> model(vexa_sim::sim().mutex);
  vexa_sim::Chip *chip = LiveChip(node);
  if (!chip) return Fail(-ENODEV);
  return Return(vexa_sim::control_transfer(*chip, &client, setup.bRequestType, setup.bRequest, setup.wValue,
                                           setup.wIndex, bytes, setup.wLength));
}

// USBDEVFS_IOCTL: a request for the driver bound to one interface.
Outcome DriverIoctl(const Node &node, UMockdevIoctlData *arg) {
  DataRef request = Resolve(arg, 0, sizeof(usbdevfs_ioctl));
  if (!request) return Fail(-EFAULT);
  const usbdevfs_ioctl command = *request.as<usbdevfs_ioctl>();
  if (node.hub) {
    if (command.ioctl_code != static_cast<int>(USBDEVFS_HUB_PORTINFO)) return Fail(-ENOTTY);
    DataRef info = Resolve(request.data, offsetof(usbdevfs_ioctl, data), sizeof(usbdevfs_hub_portinfo));
    if (!info) return Fail(-EFAULT);
    // The chips' numbers are never looked up through the hub by libusb 0.1's
    // users; a hub without listed ports is enough.
    std::memset(info.as<usbdevfs_hub_portinfo>(), 0, sizeof(usbdevfs_hub_portinfo));
    return Return(0);
  }
  std::lock_guard<std::mutex> model(vexa_sim::sim().mutex);
  vexa_sim::Chip *chip = LiveChip(node);
  if (!chip) return Fail(-ENODEV);
  if (command.ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT))
    return Return(vexa_sim::detach_kernel_driver(*chip, command.ifno));
  return Fail(-ENODATA);  // no driver that would take other requests
}

Outcome Dispatch(Node &node, Client &client, unsigned long request, UMockdevIoctlData *arg) {
  if (request == USBDEVFS_CONNECTINFO) {
    DataRef info = Resolve(arg, 0, sizeof(usbdevfs_connectinfo));
    if (!info) return Fail(-EFAULT);
    info.as<usbdevfs_connectinfo>()->devnum = node.devnum;
    info.as<usbdevfs_connectinfo>()->slow = 0;
    return Return(0);
  }
  if (request == USBDEVFS_CONTROL) return Control(node, client, arg);
  if (request == USBDEVFS_IOCTL) return DriverIoctl(node, arg);
  if (node.hub) return Fail(-ENOTTY);
  if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) return ReapUrb(node, client, arg);
  if (request == USBDEVFS_SUBMITURB) return SubmitUrb(node, client, arg);
  if (request == USBDEVFS_DISCARDURB) return DiscardUrb(node, client, arg);

  // The rest take one small argument by pointer.
  DataRef value = Resolve(arg, 0, request == USBDEVFS_GETDRIVER     ? sizeof(usbdevfs_getdriver)
                                  : request == USBDEVFS_SETINTERFACE ? sizeof(usbdevfs_setinterface)
                                                                     : sizeof(unsigned int));
  if (request != USBDEVFS_RESET && !value) return Fail(-EFAULT);
  std::lock_guard<std::mutex> model(vexa_sim::sim().mutex);
  vexa_sim::Chip *chip = LiveChip(node);
  if (!chip) return Fail(-ENODEV);
  const int number = value ? *value.as<int>() : 0;
  switch (request) {
    case USBDEVFS_CLAIMINTERFACE:
      return Return(vexa_sim::claim_interface(*chip, number, &client));
    case USBDEVFS_RELEASEINTERFACE:
      return Return(vexa_sim::release_interface(*chip, number, &client));
    case USBDEVFS_GETDRIVER: {
      auto *query = value.as<usbdevfs_getdriver>();
      std::string name;
      const int result = vexa_sim::interface_driver(*chip, static_cast<int>(query->interface), &name);
      if (result < 0) return Fail(result);
      std::snprintf(query->driver, sizeof query->driver, "%s", name.c_str());
      return Return(0);
    }
    case USBDEVFS_CLEAR_HALT: {
      const unsigned endpoint = static_cast<unsigned>(number) & 0x0F;
      const bool exists = endpoint >= 1 && endpoint <= 2u * static_cast<unsigned>(chip->interfaces);
      return Return(exists ? 0 : -ENOENT);
    }
    case USBDEVFS_RESET:
      return Return(0);
    case USBDEVFS_SETCONFIGURATION:
      return Return(number == 1 ? 0 : -EINVAL);
    case USBDEVFS_SETINTERFACE:
      return Return(value.as<usbdevfs_setinterface>()->altsetting == 0 ? 0 : -EINVAL);
    default:
      return Fail(-ENOTTY);
  }
}

gboolean OnIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user_data) {
  Node &node = *static_cast<Node *>(user_data);
  Outcome outcome;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    outcome = Dispatch(node, ClientOf(node, client), umockdev_ioctl_client_get_request(client),
                       umockdev_ioctl_client_get_arg(client));
  }
  // Writes the resolved memory (a reaped URB included) back to the client.
  umockdev_ioctl_client_complete(client, outcome.result, outcome.error);
  return TRUE;
}

// read() on a usbfs node returns the device descriptor followed by the
// configuration descriptors, from the file position on.
gboolean OnRead(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user_data) {
  Node &node = *static_cast<Node *>(user_data);
  UMockdevIoctlData *buffer = umockdev_ioctl_client_get_arg(client);
  long result = 0;
  int error = 0;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    bool gone = false;
    if (!node.hub) {
      std::lock_guard<std::mutex> model(vexa_sim::sim().mutex);
      gone = LiveChip(node) == nullptr;
    }
    if (gone) {
      result = -1;
      error = ENODEV;
    } else {
      Client &state = ClientOf(node, client);
      const size_t left = node.descriptors.size() - std::min(state.read_offset, node.descriptors.size());
      const size_t n = std::min(left, static_cast<size_t>(std::max(buffer->data_len, 0)));
      std::memcpy(buffer->data, node.descriptors.data() + state.read_offset, n);
      state.read_offset += n;
      result = static_cast<long>(n);
    }
  }
  umockdev_ioctl_client_complete(client, result, error);
  return TRUE;
}

// A closed file descriptor gives up its claims, as usbfs releases them.
void OnVanished(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user_data) {
  Node &node = *static_cast<Node *>(user_data);
  std::unique_ptr<Client> gone;  // its URBs are let go outside the lock
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = node.clients.find(client);
    if (it == node.clients.end()) return;
    {
      std::lock_guard<std::mutex> model(vexa_sim::sim().mutex);
      vexa_sim::Chip *chip = node.removed ? nullptr : vexa_sim::find_chip(node.chip);
      if (chip) vexa_sim::release_claims(*chip, it->second.get());
    }
    gone = std::move(it->second);
    node.clients.erase(it);
  }
}

}  // namespace

UsbfsEmulation::UsbfsEmulation() {
  testbed_ = umockdev_testbed_new();
  auto hub = std::make_unique<Node>();
  hub->hub = true;
  hub->devnum = 1;
  hub->devnode = "/dev/bus/usb/001/001";
  hub->devpath = "/devices/pci0000:00/0000:00:14.0/usb1";
  hub->descriptors = kRootHubDescriptors;
  AddNode(std::move(hub));
  // libusb 0.1 picks its usbfs folder in usb_init: name it, so that a real
  // /dev/bus/usb of the machine is never scanned.
  setenv("USB_DEVFS_PATH", "/dev/bus/usb", 1);
}

UsbfsEmulation::~UsbfsEmulation() {
  g_object_unref(testbed_);
  for (auto &node : nodes_) g_object_unref(node->handler);
}

void UsbfsEmulation::AddNode(std::unique_ptr<Node> node) {
  node->handler = umockdev_ioctl_base_new();
  g_signal_connect(node->handler, "handle-ioctl", G_CALLBACK(OnIoctl), node.get());
  g_signal_connect(node->handler, "handle-read", G_CALLBACK(OnRead), node.get());
  g_signal_connect(node->handler, "client-vanished", G_CALLBACK(OnVanished), node.get());
  GError *error = nullptr;
  // The handler comes first: the node is a socket that umockdev serves.
  if (!umockdev_testbed_attach_ioctl(testbed_, node->devnode.c_str(), node->handler, &error)) {
    std::string message = error ? error->message : "unknown error";
    if (error) g_error_free(error);
    throw std::runtime_error("cannot attach the usbfs handler: " + message);
  }
  const std::string relative = node->devnode.substr(std::strlen("/dev/"));
  std::string text = "P: " + node->devpath + "\nN: " + relative + "=" + Hex(node->descriptors) +
                     "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=" + node->devnode +
                     "\nA: busnum=1\nA: devnum=" + std::to_string(node->devnum) +
                     "\nA: dev=189:" + std::to_string(node->devnum - 1) + "\n";
  if (!umockdev_testbed_add_from_string(testbed_, text.c_str(), &error)) {
    std::string message = error ? error->message : "unknown error";
    if (error) g_error_free(error);
    throw std::runtime_error("cannot add the device node: " + message);
  }
  nodes_.push_back(std::move(node));
}

void UsbfsEmulation::Plug(int chip) {
  auto node = std::make_unique<Node>();
  node->chip = chip;
  node->devnum = next_devnum_++;
  char name[32];
  std::snprintf(name, sizeof name, "/dev/bus/usb/001/%03u", node->devnum);
  node->devnode = name;
  node->devpath = "/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(next_port_++);
  {
    std::lock_guard<std::mutex> model(vexa_sim::sim().mutex);
    vexa_sim::Chip *model_chip = vexa_sim::find_chip(chip);
    if (!model_chip) throw std::runtime_error("no such chip in the model");
    node->descriptors = vexa_sim::descriptor_bytes(*model_chip, USB_DT_DEVICE, 0);
    std::vector<uint8_t> config = vexa_sim::descriptor_bytes(*model_chip, USB_DT_CONFIG, 0);
    node->descriptors.insert(node->descriptors.end(), config.begin(), config.end());
  }
  AddNode(std::move(node));
}

void UsbfsEmulation::Unplug(int chip) {
  for (auto &node : nodes_) {
    if (node->hub || node->chip != chip) continue;
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      if (node->removed) continue;
      // Kept for the file descriptors still open on it, which now see an
      // unplugged device whatever becomes of the model's chip.
      node->removed = true;
    }
    {
      // A disconnect unbinds every interface, usbfs claims included.
      std::lock_guard<std::mutex> model(vexa_sim::sim().mutex);
      if (vexa_sim::Chip *gone = vexa_sim::find_chip(chip))
        for (vexa_sim::Channel &channel : gone->channels) channel.claimed_by = nullptr;
    }
    umockdev_testbed_remove_device(testbed_, ("/sys" + node->devpath).c_str());
  }
}

void UsbfsEmulation::UnplugAll() {
  for (auto &node : nodes_)
    if (!node->hub) Unplug(node->chip);
}
