#include "eedata.h"

#include <cstdio>
#include <cstring>

TEeData::TEeData() : image{}, cursor(0), blank(1), word_count(64), device(nullptr) {}

TEeData::TEeData(int words) : TEeData() {
  word_count = words < 0 ? 0u : static_cast<uint32_t>(words);
  if (word_count > kMaxWords) word_count = kMaxWords;
}

TEeData::TEeData(void *handle) : TEeData() { device = handle; }

void TEeData::Reset() { cursor = 0; }

void TEeData::Init(char *, char *, char *) {
  std::memset(image, 0, sizeof image);
  blank = 0;
}

int TEeData::Read() {
  Reset();
  const uint32_t words = TransferWords();
  for (uint32_t address = 0; address < words; ++address) {
    // A failed read leaves the word untouched, so it enters the image as 0:
    // an EEPROM that cannot be read at all then looks absent, not blank.
    unsigned short word = 0;
    KX_ReadEE(device, address, &word);
    Add(word);
  }
  return 1;
}

int TEeData::ReadWord(unsigned long address, unsigned short *word) {
  KX_ReadEE(device, address, word);
  return 1;
}

int TEeData::Confirm() {
  uint8_t expected[kImageBytes];
  std::memcpy(expected, image, sizeof image);
  Read();
  return std::memcmp(expected, image, sizeof image) == 0 ? 1 : 0;
}

int TEeData::Write() {
  Reset();
  const uint32_t words = TransferWords();
  for (uint32_t address = 0; address < words; ++address) KX_WriteEE(device, address, Get());
  return 1;
}

int TEeData::WriteWord(unsigned long address, unsigned short word) {
  KX_WriteEE(device, address, word);
  return 1;
}

int TEeData::Erase() {
  KX_EraseEE(device);
  blank = 1;
  return 1;
}

void TEeData::Add(unsigned short word) {
  // At the end of the image the word is dropped rather than written past it.
  if (cursor + 1 < kImageBytes) {
    image[cursor] = static_cast<uint8_t>(word & 0xFF);
    image[cursor + 1] = static_cast<uint8_t>(word >> 8);
    cursor += 2;
  } else {
    cursor = kImageBytes;
  }
  if (word != 0xFFFF) blank = 0;
}

unsigned short TEeData::Get() {
  if (cursor + 1 >= kImageBytes) {
    cursor = kImageBytes;
    return 0;
  }
  const unsigned short word = static_cast<unsigned short>(image[cursor] | image[cursor + 1] << 8);
  cursor += 2;
  return word;
}

int TEeData::WriteToFile(const char *path) const {
  if (!path) return 0;
  std::FILE *file = std::fopen(path, "wb");
  if (!file) return 0;
  // Only words 0 to 63, whatever the image's word count: the dump format is fixed.
  const size_t written = std::fwrite(image, 1, 128, file);
  const bool closed = std::fclose(file) == 0;
  return written == 128 && closed ? 1 : 0;
}
