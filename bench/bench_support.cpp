#include "bench_support.h"

#include <sys/resource.h>
#include <time.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

namespace vexa_bench {

namespace {
bool quick_mode = false;

double Seconds(const timeval &tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec * 1e-6; }
double Seconds(const timespec &ts) { return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9; }
}  // namespace

bool Quick() { return quick_mode; }
void SetQuick(bool quick) { quick_mode = quick; }

SimBus::SimBus() {
  vexa_sim_reset();
  vexa_sim_log_bulk(0);
}

SimBus::~SimBus() {
  for (KX_HANDLE handle : handles_) KX_Close(handle);
  for (usb_dev_handle *handle : raw_) {
    usb_release_interface(handle, 0);
    usb_close(handle);
  }
  vexa_sim_reset();
}

int SimBus::AddChip(int packet_size, int interfaces, int eeprom_words, uint16_t bcd) {
  char serial[16];
  std::snprintf(serial, sizeof serial, "BN%04d", next_serial_++);
  vexa_sim_chip_config config = {};
  config.serial = serial;
  config.product = "Bench bridge";
  config.manufacturer = "Bench";
  config.interfaces = interfaces;
  config.max_packet_size = packet_size;
  config.eeprom_words = eeprom_words;
  config.bcd_device = bcd;
  return vexa_sim_add_chip(&config);
}

KX_HANDLE SimBus::Open(int index) {
  KX_HANDLE handle = nullptr;
  if (KX_Open(index, &handle) != KX_OK) return nullptr;
  handles_.push_back(handle);
  return handle;
}

KX_HANDLE SimBus::AddAndOpen(benchmark::State &state, int packet_size, int *chip) {
  *chip = AddChip(packet_size);
  // A listing rescans the bus; the simulator lists chips in the order they
  // came, so the new chip's one channel is the last.
  uint32_t count = 0;
  const bool listed = *chip >= 0 && KX_ListDevices(&count, nullptr, KX_LIST_COUNT) == KX_OK && count > 0;
  KX_HANDLE handle = listed ? Open(static_cast<int>(count - 1)) : nullptr;
  if (!handle) state.SkipWithError("cannot open the simulated chip");
  return handle;
}

KX_STATUS SimBus::Close(KX_HANDLE handle) {
  for (auto it = handles_.begin(); it != handles_.end(); ++it) {
    if (*it == handle) {
      handles_.erase(it);
      return KX_Close(handle);
    }
  }
  return KX_ERR_PARAMETER;
}

usb_dev_handle *SimBus::OpenRaw(int nth) {
  usb_init();
  usb_find_busses();
  usb_find_devices();
  int seen = 0;
  for (usb_bus *bus = usb_get_busses(); bus; bus = bus->next) {
    for (struct usb_device *device = bus->devices; device; device = device->next) {
      if (seen++ != nth) continue;
      usb_dev_handle *handle = usb_open(device);
      if (!handle) return nullptr;
      if (usb_claim_interface(handle, 0) != 0) {
        usb_close(handle);
        return nullptr;
      }
      raw_.push_back(handle);
      return handle;
    }
  }
  return nullptr;
}

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return Seconds(ts);
}

double ProcessCpuSeconds() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

long ProcessSleeps() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_nvcsw;
}

long ThreadSleeps() {
  rusage usage;
  getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_nvcsw;
}

long ProcessReadWriteCalls() {
  std::ifstream io("/proc/self/io");
  long total = 0;
  int found = 0;
  std::string key;
  for (long value; io >> key >> value;)
    if (key == "syscr:" || key == "syscw:") total += value, ++found;
  return found == 2 ? total : -1;
}

double ThreadCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return Seconds(ts);
}

void SleepFor(double seconds) {
  timespec ts;
  ts.tv_sec = static_cast<time_t>(seconds);
  ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
  while (nanosleep(&ts, &ts) != 0) {
  }
}

}  // namespace vexa_bench
