// Internal: how long a bulk-in transfer the reader thread may ask for.
#ifndef VEXA_TRANSFER_SIZE_H
#define VEXA_TRANSFER_SIZE_H

#include <cstdint>

#include "device.h"

// Length of the next bulk-in transfer for rx_free bytes of ring room:
//  - below one packet of room, exactly one packet (its excess is held back);
//  - with room for a full transfer, the size in use;
//  - in between, rx_free rounded down to whole packets. A device always sends
//    whole packets, and a packet that does not fit the rest of the transfer
//    buffer is cut off by the host controller and silently lost, so the
//    length must be a whole number of packets.
// Returns 0 when the ring is full (no transfer may be issued).
KX_INTERNAL uint32_t InTransferLength(uint32_t rx_free, uint32_t max_packet_size,
                                      uint32_t size_in_use, uint32_t bytes_per_transfer);

#endif  // VEXA_TRANSFER_SIZE_H
