// In-memory copy of a chip's configuration EEPROM, moved to and from the device
// one 16-bit word at a time. It knows nothing of what the words mean.
#ifndef VEXA_EEDATA_H
#define VEXA_EEDATA_H

#include <cstdint>

#include "device.h"

class KX_INTERNAL TEeData {
 public:
  static constexpr uint32_t kImageBytes = 256;
  static constexpr uint32_t kMaxWords = kImageBytes / 2;

  TEeData();
  explicit TEeData(int word_count);
  explicit TEeData(void *device);

  void Reset();
  // The three texts are not used: the layout classes build the strings.
  void Init(char *, char *, char *);

  int Read();
  int ReadWord(unsigned long address, unsigned short *word);
  int Confirm();
  int Write();
  int WriteWord(unsigned long address, unsigned short word);
  int Erase();

  void Add(unsigned short word);
  unsigned short Get();
  uint32_t IsErased() const { return blank; }
  int Check() { return 1; }
  int Invalidate() { return 1; }
  int WriteToFile(const char *path) const;

  uint8_t image[kImageBytes];
  uint32_t cursor;
  uint32_t blank;
  uint32_t word_count;
  KX_HANDLE device;

 protected:
  // How many words a whole-image transfer moves: never more than the image holds.
  uint32_t TransferWords() const { return word_count < kMaxWords ? word_count : kMaxWords; }
};

#endif  // VEXA_EEDATA_H
