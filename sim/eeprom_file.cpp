// A chip's EEPROM kept in a file, so that what one program run programs the
// next one reads: a raw image, each word low byte first, rewritten whole
// after every change (a few hundred bytes).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sim_model.h"

namespace vexa_sim {

bool eeprom_attach_file(Chip &chip, const std::string &path, std::string *why) {
  const size_t bytes = chip.eeprom.size() * 2;
  std::vector<uint8_t> image;
  FILE *file = std::fopen(path.c_str(), "rb");
  if (file) {
    image.resize(bytes + 1);
    const size_t got = std::fread(image.data(), 1, image.size(), file);
    std::fclose(file);
    if (got != bytes) {
      *why = "eeprom-file " + path + " holds " + std::to_string(got) + " bytes; a " +
             std::to_string(chip.eeprom.size()) + "-word EEPROM needs " + std::to_string(bytes);
      return false;
    }
    for (size_t i = 0; i < chip.eeprom.size(); ++i)
      chip.eeprom[i] = static_cast<uint16_t>(image[2 * i] | (image[2 * i + 1] << 8));
  } else if (errno != ENOENT) {
    *why = "cannot read eeprom-file " + path + ": " + std::strerror(errno);
    return false;
  }
  chip.eeprom_file = path;
  // A missing file is created now, erased, so that a wrong folder shows at once.
  if (!file) {
    eeprom_changed(chip);
    if (access(path.c_str(), F_OK) != 0) {
      *why = "cannot create eeprom-file " + path + ": " + std::strerror(errno);
      chip.eeprom_file.clear();
      return false;
    }
  }
  return true;
}

void eeprom_changed(Chip &chip) {
  if (chip.eeprom_file.empty()) return;
  std::vector<uint8_t> image(chip.eeprom.size() * 2);
  for (size_t i = 0; i < chip.eeprom.size(); ++i) {
    image[2 * i] = static_cast<uint8_t>(chip.eeprom[i] & 0xFF);
    image[2 * i + 1] = static_cast<uint8_t>(chip.eeprom[i] >> 8);
  }
  // Written to a neighbour and renamed over the file, so that a crash in
  // the middle never leaves half an image.
  const std::string temp = chip.eeprom_file + ".new";
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = fd >= 0 && write(fd, image.data(), image.size()) == static_cast<ssize_t>(image.size());
  if (fd >= 0) ok = close(fd) == 0 && ok;
  ok = ok && rename(temp.c_str(), chip.eeprom_file.c_str()) == 0;
  if (!ok) {
    std::fprintf(stderr, "vexa-sim: cannot save the EEPROM to %s: %s\n", chip.eeprom_file.c_str(),
                 std::strerror(errno));
    unlink(temp.c_str());
  }
}

}  // namespace vexa_sim
