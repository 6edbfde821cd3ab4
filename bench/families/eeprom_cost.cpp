// EEPROM configuration: how long KX_EE_Program and KX_EE_Read take and how
// many control transfers they make (counted from the simulated chip's log)
// on each chip type and EEPROM size. The baseline is the part's size in
// words: one transfer per word is what touching the whole part once costs.
#include <benchmark/benchmark.h>

#include <string>

#include "bench_support.h"
#include "families.h"
#include "stats.h"

namespace vexa_bench {

namespace {

struct ChipType {
  const char *name;
  uint16_t bcd;
  int interfaces;
  uint16_t product_id;
};

constexpr ChipType kTypes[] = {
    {"r4", 0x0400, 1, 0x6001},
    {"r2", 0x0200, 1, 0x6001},
    {"single", 0x0600, 1, 0x6001},
    {"dual", 0x0500, 2, 0x6010},
};

size_t ControlTransfers() {
  std::vector<vexa_sim_log_entry> entries(vexa_sim_log(nullptr, 0));
  entries.resize(vexa_sim_log(entries.data(), entries.size()));
  size_t count = 0;
  for (const vexa_sim_log_entry &entry : entries) count += entry.kind == VEXA_SIM_LOG_CONTROL;
  return count;
}

KX_PROGRAM_DATA ProgramRecord(const ChipType &type) {
  KX_PROGRAM_DATA record = {};
  record.marker_ones = 0xFFFFFFFFu;
  record.layout_version = type.interfaces == 2 ? 1 : 0;
  record.vendor_id = 0x0403;
  record.product_id = type.product_id;
  record.manufacturer = const_cast<char *>("Bench");
  record.manufacturer_id = const_cast<char *>("BN");
  record.description = const_cast<char *>("Bench bridge");
  record.serial_number = const_cast<char *>("BN000001");
  record.max_power = 100;
  record.plug_and_play = 1;
  return record;
}

void Eeprom(benchmark::State &state, ChipType type, int words) {
  SimBus bus;
  if (bus.AddChip(64, type.interfaces, words, type.bcd) < 0) {
    state.SkipWithError("cannot add the chip");
    return;
  }
  KX_HANDLE handle = bus.Open(0);
  if (!handle) {
    state.SkipWithError("cannot open the simulated chip");
    return;
  }
  KX_PROGRAM_DATA record = ProgramRecord(type);
  char manufacturer[64], manufacturer_id[64], description[64], serial[64];
  std::vector<double> program_seconds, read_seconds;
  size_t program_transfers = 0, read_transfers = 0;
  for (auto _ : state) {
    for (size_t i = 0, n = ByMode<size_t>(2, 10); i < n; ++i) {
      vexa_sim_log_clear();
      double t0 = Now();
      const KX_STATUS programmed = KX_EE_Program(handle, &record);
      program_seconds.push_back(Now() - t0);
      program_transfers = ControlTransfers();

      KX_PROGRAM_DATA read = {};
      read.marker_ones = 0xFFFFFFFFu;
      read.manufacturer = manufacturer;
      read.manufacturer_id = manufacturer_id;
      read.description = description;
      read.serial_number = serial;
      vexa_sim_log_clear();
      t0 = Now();
      const KX_STATUS decoded = KX_EE_Read(handle, &read);
      read_seconds.push_back(Now() - t0);
      read_transfers = ControlTransfers();
      if (programmed != KX_OK || decoded != KX_OK) {
        state.SkipWithError(("KX_EE_Program / KX_EE_Read returned " + std::to_string(programmed) +
                             " / " + std::to_string(decoded))
                                .c_str());
        return;
      }
    }
  }
  state.counters["program_s"] = Summarise(program_seconds).p50;
  state.counters["program_transfers"] = static_cast<double>(program_transfers);
  state.counters["read_s"] = Summarise(read_seconds).p50;
  state.counters["read_transfers"] = static_cast<double>(read_transfers);
  state.counters["part_words"] = words;
}

}  // namespace

void RegisterEepromCost() {
  for (const ChipType &type : kTypes) {
    for (int words : {64, 128, 256}) {
      const std::string name = std::string("eeprom/") + type.name + "/w" + std::to_string(words);
      benchmark::RegisterBenchmark(name.c_str(), Eeprom, type, words)->UseRealTime()->Iterations(1);
    }
  }
}

}  // namespace vexa_bench
