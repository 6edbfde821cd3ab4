// Internal: the bus scan shared by listing and opening. The two scan cursors
// are file-wide state in the design: discovery and open calls come from one
// thread at a time.
#ifndef VEXA_DISCOVERY_H
#define VEXA_DISCOVERY_H

#include <cstdint>

#include "device.h"

// Scan cursors: the bus and the device the current (or last) scan is at.
extern KX_INTERNAL struct usb_bus *bus;
extern KX_INTERNAL struct usb_device *dev;

// usb_init and a rescan of buses and devices. KX_OK or KX_ERR_OTHER.
KX_INTERNAL KX_STATUS initialise_usb();
KX_INTERNAL uint32_t get_device_count();
KX_INTERNAL KX_STATUS add_char_to_description(uint32_t channel, char *destination, uint32_t flags);
KX_INTERNAL KX_STATUS get_device_list_by_index(uint32_t index, char *destination, uint32_t flags);
KX_INTERNAL KX_STATUS get_device_list_all(char **destinations, uint32_t *count, uint32_t flags);
KX_INTERNAL KX_STATUS check_list_flags(uint32_t flags);

// The open sequence.
KX_INTERNAL KX_STATUS get_device(const char *name, uint32_t flags, norvec_device *record, int index);
KX_INTERNAL int DeviceIsValid(norvec_device *record, int *counter, int index);
KX_INTERNAL int GetDeviceInterface(const char *name, const char *device_string);
KX_INTERNAL int SetDeviceContext(norvec_device *record, usb_dev_handle *handle, int interface);
KX_INTERNAL void InitDeviceStructure(norvec_device *record);

// Acceptance library hooks.
KX_INTERNAL void InitCheckDevice();
KX_INTERNAL void DeinitCheckDevice();
KX_INTERNAL int local_check_device(int vendor_id, int product_id);

#endif  // VEXA_DISCOVERY_H
