// The real-libusb backend: usbfs emulated for umockdev, whose preload library
// umockdev-wrapper puts in place. The chip model answers read() and the
// USBDEVFS_* ioctls on nodes under /dev/bus/usb, and Debian's libusb 0.1 drives
// the simulated chips as it drives hardware. The handlers run on umockdev's one
// worker thread; a node's chip id, cleared at a model reset, is under the model's mutex.
#include <gtest/gtest.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim_model.h"

namespace {

using Lock = std::lock_guard<std::mutex>;

// An owned reference to client memory that umockdev copied in.
struct Unref {
  void operator()(UMockdevIoctlData *data) const { g_object_unref(data); }
};
using DataRef = std::unique_ptr<UMockdevIoctlData, Unref>;

template <typename T>
T *As(const DataRef &ref) {
  return reinterpret_cast<T *>(ref->data);
}

// Follows the pointer at `offset` inside `parent` to `length` bytes of client memory.
DataRef Resolve(UMockdevIoctlData *parent, size_t offset, size_t length) {
  GError *error = nullptr;
  DataRef data(umockdev_ioctl_data_resolve(parent, offset, length, &error));
  if (error) g_error_free(error);
  return data;
}

// A bulk URB between submit and reap; umockdev writes the copies of the URB
// and its buffer back to the client when it is reaped.
struct Urb {
  DataRef urb, buffer;
  vexa_sim::BulkIn transfer;
  bool done = false;

  void Complete(int actual, int status) {
    As<usbdevfs_urb>(urb)->actual_length = actual;
    As<usbdevfs_urb>(urb)->status = status;
    done = true;
  }
};

// One open file descriptor on a node. The URB last reaped is kept until
// umockdev has written it back.
struct Client {
  size_t read_offset = 0;
  std::deque<std::unique_ptr<Urb>> urbs;  // submitted and not reaped, oldest first
  std::unique_ptr<Urb> reaped;
};

struct Node {
  int chip = -1;                     // model chip id; -1 once the model was reset
  std::vector<uint8_t> descriptors;  // as read() returns them
  std::map<UMockdevIoctlClient *, Client> clients;
};

UMockdevTestbed *g_testbed = nullptr;
std::vector<std::unique_ptr<Node>> g_nodes;  // kept while clients may use them

// The node's chip, or null when it was unplugged or the model was reset. A
// disconnect unbinds every interface, usbfs claims included. Model mutex held.
vexa_sim::Chip *LiveChip(const Node &node) {
  vexa_sim::Chip *chip = vexa_sim::find_chip(node.chip);
  if (!chip || !chip->unplugged) return chip;
  for (vexa_sim::Channel &channel : chip->channels) channel.claimed_by = nullptr;
  return nullptr;
}

// Advances a bulk IN URB, to its completion if it can. Model mutex held.
void StepIn(const Node &node, Urb &urb) {
  vexa_sim::Chip *chip = vexa_sim::find_chip(node.chip);
  if (!chip) return urb.Complete(0, -ESHUTDOWN);
  int result = 0;
  std::optional<vexa_sim::Clock::time_point> wake;
  if (urb.transfer.size > 0 &&
      !vexa_sim::bulk_in_step(*chip, urb.transfer, As<uint8_t>(urb.buffer), vexa_sim::Clock::now(),
                              false, &result, &wake))
    return;
  const bool stalled = chip->channels[static_cast<size_t>(urb.transfer.interface)].stalled;
  urb.Complete(result, chip->unplugged ? -ESHUTDOWN : stalled ? -EPIPE : 0);
  const int endpoint = As<usbdevfs_urb>(urb.urb)->endpoint;
  vexa_sim::log_bulk(VEXA_SIM_LOG_BULK_IN, chip->id, endpoint, urb.transfer.size, result);
}

long SubmitUrb(const Node &node, Client &client, UMockdevIoctlData *arg) {
  auto urb = std::make_unique<Urb>();
  urb->urb = Resolve(arg, 0, sizeof(usbdevfs_urb));
  if (!urb->urb) return -EFAULT;
  const usbdevfs_urb header = *As<usbdevfs_urb>(urb->urb);
  if (header.type != USBDEVFS_URB_TYPE_BULK || header.buffer_length < 0) return -EINVAL;
  const bool in = (header.endpoint & USB_ENDPOINT_IN) != 0;
  if (header.buffer_length > 0) {
    urb->buffer = Resolve(urb->urb.get(), offsetof(usbdevfs_urb, buffer),
                          static_cast<size_t>(header.buffer_length));
    if (!urb->buffer) return -EFAULT;
  }
  Lock model(vexa_sim::sim().mutex);
  vexa_sim::Chip *chip = LiveChip(node);
  if (!chip) return -ENODEV;
  const int interface = vexa_sim::bulk_interface(*chip, header.endpoint, in, &client);
  if (interface < 0) return interface;
  urb->transfer.interface = interface;
  urb->transfer.size = header.buffer_length;
  if (!in) {
    const uint8_t *data = urb->buffer ? As<uint8_t>(urb->buffer) : nullptr;
    const int accepted = vexa_sim::bulk_out(*chip, interface, data, header.buffer_length);
    vexa_sim::log_bulk(VEXA_SIM_LOG_BULK_OUT, chip->id, header.endpoint, header.buffer_length,
                       accepted);
    urb->Complete(accepted, 0);
  } else {
    StepIn(node, *urb);
  }
  client.urbs.push_back(std::move(urb));
  return 0;
}

// Bulk IN packets come from the model at submission and at each poll, so the
// latency timer's status packets appear as time passes. As in the kernel, the
// URBs an unplug ended are still reaped before -ENODEV.
long ReapUrb(const Node &node, Client &client, UMockdevIoctlData *arg) {
  Lock model(vexa_sim::sim().mutex);
  for (auto &urb : client.urbs)
    if (!urb->done) StepIn(node, *urb);
  const auto done = std::find_if(client.urbs.begin(), client.urbs.end(),
                                 [](const std::unique_ptr<Urb> &urb) { return urb->done; });
  if (done == client.urbs.end()) return LiveChip(node) ? -EAGAIN : -ENODEV;
  DataRef slot = Resolve(arg, 0, sizeof(void *));
  if (!slot) return -EFAULT;
  client.reaped = std::move(*done);
  client.urbs.erase(done);
  umockdev_ioctl_data_set_ptr(slot.get(), 0, client.reaped->urb.get());
  return 0;
}

long Dispatch(const Node &node, Client &client, unsigned long request, UMockdevIoctlData *arg) {
  // libusb 0.1 polls; it discards a URB only at a time-out, which no scenario reaches.
  if (request == USBDEVFS_REAPURBNDELAY) return ReapUrb(node, client, arg);
  if (request == USBDEVFS_SUBMITURB) return SubmitUrb(node, client, arg);
  // The rest take a structure by pointer, of the size the request number
  // encodes (and a control transfer its data).
  DataRef value = Resolve(arg, 0, _IOC_SIZE(request)), data;
  if (!value) return -EFAULT;
  const auto *setup = As<usbdevfs_ctrltransfer>(value);
  if (request == USBDEVFS_CONTROL && setup->wLength > 0) {
    data = Resolve(value.get(), offsetof(usbdevfs_ctrltransfer, data), setup->wLength);
    if (!data) return -EFAULT;
  }
  Lock model(vexa_sim::sim().mutex);
  vexa_sim::Chip *chip = LiveChip(node);
  if (!chip) return -ENODEV;
  switch (request) {
    case USBDEVFS_CONTROL:
      return vexa_sim::control_transfer(*chip, &client, setup->bRequestType, setup->bRequest,
                                        setup->wValue, setup->wIndex,
                                        data ? As<uint8_t>(data) : nullptr, setup->wLength);
    case USBDEVFS_IOCTL:  // for the driver bound to an interface: only a disconnect
      return As<usbdevfs_ioctl>(value)->ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)
                 ? vexa_sim::detach_kernel_driver(*chip, As<usbdevfs_ioctl>(value)->ifno)
                 : -ENODATA;
    case USBDEVFS_CLAIMINTERFACE:
      return vexa_sim::claim_interface(*chip, *As<int>(value), &client);
    case USBDEVFS_RELEASEINTERFACE:
      return vexa_sim::release_interface(*chip, *As<int>(value), &client);
    case USBDEVFS_GETDRIVER: {
      auto *query = As<usbdevfs_getdriver>(value);
      std::string name;
      const int result = vexa_sim::interface_driver(*chip, int(query->interface), &name);
      std::snprintf(query->driver, sizeof query->driver, "%s", name.c_str());
      return result < 0 ? result : 0;
    }
    default:  // USBDEVFS_CONNECTINFO among them: libusb 0.1 does without the answer
      return -ENOTTY;
  }
}

gboolean OnIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user_data) {
  Node &node = *static_cast<Node *>(user_data);
  const long result = Dispatch(node, node.clients[client],
                               umockdev_ioctl_client_get_request(client),
                               umockdev_ioctl_client_get_arg(client));
  // Writes the resolved memory (a reaped URB included) back to the client.
  umockdev_ioctl_client_complete(client, result < 0 ? -1 : result, result < 0 ? int(-result) : 0);
  return TRUE;
}

// read() on a usbfs node returns the device descriptor followed by the
// configuration descriptors, from the file position on. A node whose chip is
// gone fails it, and libusb's bus scan passes over that node.
gboolean OnRead(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user_data) {
  Node &node = *static_cast<Node *>(user_data);
  UMockdevIoctlData *buffer = umockdev_ioctl_client_get_arg(client);
  long result = -1;
  {
    Lock model(vexa_sim::sim().mutex);
    if (LiveChip(node)) {
      Client &state = node.clients[client];
      const size_t offset = std::min(state.read_offset, node.descriptors.size());
      const size_t n = std::min(node.descriptors.size() - offset,
                                static_cast<size_t>(std::max(buffer->data_len, 0)));
      std::memcpy(buffer->data, node.descriptors.data() + offset, n);
      state.read_offset += n;
      result = static_cast<long>(n);
    }
  }
  umockdev_ioctl_client_complete(client, result, result < 0 ? ENODEV : 0);
  return TRUE;
}

// The testbed, from before the first scenario to after the last one.
class Testbed : public ::testing::Environment {
 public:
  void SetUp() override {
    const char *preload = std::getenv("LD_PRELOAD");
    ASSERT_TRUE(preload && std::strstr(preload, "libumockdev-preload"))
        << "run this test under umockdev-wrapper: the emulated usbfs needs its preload library";
    g_testbed = umockdev_testbed_new();
    // libusb 0.1 picks its usbfs folder in usb_init: name it, so that a real
    // /dev/bus/usb of the machine is never scanned.
    setenv("USB_DEVFS_PATH", "/dev/bus/usb", 1);
    // Chip ids start again after a reset: the old nodes must not find the new chips.
    vexa_sim::sim().on_reset = [] {
      for (auto &node : g_nodes) node->chip = -1;
    };
  }
  void TearDown() override {
    if (g_testbed) g_object_unref(g_testbed);
  }
};

::testing::Environment *const g_environment = ::testing::AddGlobalTestEnvironment(new Testbed);

}  // namespace

int PlugChip(int chip);

// Adds the chip's node on bus 001 (no hub: libusb 0.1's users never ask one).
int PlugChip(int chip) {
  auto node = std::make_unique<Node>();
  {
    Lock model(vexa_sim::sim().mutex);
    vexa_sim::Chip *model_chip = vexa_sim::find_chip(chip);
    if (!model_chip) return chip;  // the fixture has reported the failed add
    node->chip = chip;
    node->descriptors = vexa_sim::descriptor_bytes(*model_chip, USB_DT_DEVICE, 0);
    std::vector<uint8_t> config = vexa_sim::descriptor_bytes(*model_chip, USB_DT_CONFIG, 0);
    node->descriptors.insert(node->descriptors.end(), config.begin(), config.end());
  }
  const size_t devnum = g_nodes.size() + 2;  // never reused
  char devnode[32];
  std::snprintf(devnode, sizeof devnode, "/dev/bus/usb/001/%03zu", devnum);
  UMockdevIoctlBase *handler = umockdev_ioctl_base_new();
  g_signal_connect(handler, "handle-ioctl", G_CALLBACK(OnIoctl), node.get());
  g_signal_connect(handler, "handle-read", G_CALLBACK(OnRead), node.get());
  // The handler comes first: the node is a socket that umockdev serves. libusb
  // 0.1 looks at the node only, so the device needs no sysfs attributes.
  GError *error = nullptr;
  const std::string record = "P: /devices/usb1/1-" + std::to_string(devnum) + "\nN: " +
                             (devnode + 5) + "\nE: SUBSYSTEM=usb\n";
  const bool attached = umockdev_testbed_attach_ioctl(g_testbed, devnode, handler, &error) &&
                        umockdev_testbed_add_from_string(g_testbed, record.c_str(), &error);
  g_object_unref(handler);  // the testbed holds its own reference
  g_nodes.push_back(std::move(node));
  EXPECT_TRUE(attached) << devnode << ": " << (error ? error->message : "unknown error");
  return chip;
}
