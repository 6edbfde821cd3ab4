#include "transfer_size.h"

uint32_t InTransferLength(uint32_t rx_free, uint32_t max_packet_size, uint32_t size_in_use,
                          uint32_t bytes_per_transfer) {
  if (rx_free == 0) return 0;
  if (max_packet_size == 0) return rx_free < size_in_use ? rx_free : size_in_use;
  if (rx_free < max_packet_size) return max_packet_size;
  if (rx_free >= bytes_per_transfer) return size_in_use;
  return rx_free - rx_free % max_packet_size;
}
