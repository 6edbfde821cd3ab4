// A chip's identity, channels and EEPROM, as made from a configuration.
#include "sim_model.h"

namespace vexa_sim {

// Never destroyed: a program's reader threads may still be inside a bulk
// transfer while the process runs its exit handlers, as with the real libusb.
Sim &sim() {
  static Sim &instance = *new Sim;
  return instance;
}

Chip *find_chip(int id) {
  Sim &s = sim();
  if (id < 0 || id >= static_cast<int>(s.chips.size())) return nullptr;
  return s.chips[id].get();
}

Channel *find_channel(int chip, int channel) {
  Chip *c = find_chip(chip);
  if (!c || channel < 0 || channel >= static_cast<int>(c->channels.size())) return nullptr;
  return &c->channels[channel];
}

std::shared_ptr<Chip> make_chip(const vexa_sim_chip_config &config) {
  if (config.interfaces < 0 || config.interfaces > 4) return nullptr;
  // Packet sizes of 2 or less are nonsense on a bulk endpoint, but a broken
  // device may report them: the library must refuse such a chip, so it exists.
  if (config.max_packet_size < 0 || config.max_packet_size > 1024)
    return nullptr;
  if (config.eeprom_words != 0 && config.eeprom_words != 64 && config.eeprom_words != 128 &&
      config.eeprom_words != 256)
    return nullptr;
  auto chip = std::make_shared<Chip>();
  chip->interfaces = config.interfaces ? config.interfaces : 1;
  const bool dual = chip->interfaces == 2;
  chip->vid = config.id_vendor ? config.id_vendor : 0x0403;
  chip->pid = config.id_product ? config.id_product : (dual ? 0x6010 : 0x6001);
  chip->bcd = config.bcd_device ? config.bcd_device : (dual ? 0x0500 : 0x0400);
  if (config.serial) chip->serial = config.serial;
  if (config.product) chip->product = config.product;
  if (config.manufacturer) chip->manufacturer = config.manufacturer;
  chip->max_packet = config.max_packet_size ? config.max_packet_size : 64;
  // A fresh part reads erased.
  chip->eeprom.assign(static_cast<size_t>(config.eeprom_words), 0xFFFF);
  chip->eeprom_no_wrap = config.eeprom_no_wrap != 0;
  chip->no_configuration = config.no_configuration != 0;
  chip->channels.resize(static_cast<size_t>(chip->interfaces));
  for (Channel &channel : chip->channels) channel.state.latency_timer = 16;
  return chip;
}

void chip_reset(Chip &chip) {
  for (Channel &channel : chip.channels) {
    channel.rx.clear();
    channel.slot = 0;
    ++channel.state.resets;
  }
  chip.changed.notify_all();
  chip.tx_written.notify_all();
}

// The chips that take latency-timer and bit-mode requests: the dual-channel
// chip, the 0x0400 generation, and a 0x0200 part without a serial string
// (which is how that newer silicon shows itself on an unprogrammed EEPROM).
bool chip_has_timer_requests(const Chip &chip) {
  return chip.bcd == 0x0500 || chip.bcd == 0x0400 || (chip.bcd == 0x0200 && !chip.serial);
}

// The part ignores address bits it does not have, so a high address lands on a
// lower word; a part wired without that wrap ignores such addresses instead.
uint16_t eeprom_read(const Chip &chip, unsigned address) {
  if (chip.eeprom.empty()) return 0x0000;
  if (address >= chip.eeprom.size()) {
    if (chip.eeprom_no_wrap) return 0xFFFF;
    address %= chip.eeprom.size();
  }
  return chip.eeprom[address];
}

void eeprom_write(Chip &chip, unsigned address, uint16_t word) {
  if (chip.eeprom.empty()) return;
  if (address >= chip.eeprom.size()) {
    if (chip.eeprom_no_wrap) return;
    address %= chip.eeprom.size();
  }
  if (chip.eeprom[address] == word) return;
  chip.eeprom[address] = word;
  eeprom_changed(chip);
}

}  // namespace vexa_sim
