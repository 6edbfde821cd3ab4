/* The public header compiles as plain C, with the older programming record
 * in line with the current one. */
#include "vexa.h"

#include <stddef.h>
#include <stdio.h>

int main(void) {
  _EVENT_HANDLE event;
  uint32_t count = 0;
  (void)event;
  /* On the 32-bit target the older form is exactly the current one without
   * its three leading words (elsewhere pointer alignment adds padding). */
  if (sizeof(void *) == 4 &&
      offsetof(KX_PROGRAM_DATA, b_config_bit3) - offsetof(KX_PROGRAM_DATA, vendor_id) !=
      offsetof(KX_PROGRAM_DATA_LEGACY, b_config_bit3)) {
    fprintf(stderr, "legacy layout differs\n");
    return 1;
  }
  if (KX_ListDevices(&count, NULL, KX_LIST_COUNT | KX_MATCH_SERIAL) != KX_ERR_PARAMETER) {
    fprintf(stderr, "flag check failed\n");
    return 1;
  }
  return 0;
}
