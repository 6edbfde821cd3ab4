/* A stand-in acceptance library: accepts vendor 0x1111 with any product, and
 * nothing else. Built as libvexa_table.so for the acceptance tests. */
int lib_check_device(int vendor_id, int product_id) {
  (void)product_id;
  return vendor_id == 0x1111;
}
