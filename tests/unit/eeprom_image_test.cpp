// EEPROM images decoded and edited in memory where a foreign image puts
// strings, options or the user area at the image's edge: nothing is read or
// written outside it. Whole layouts are checked through the exported calls in
// eeprom_test.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "kxeeDual.h"
#include "kxeeSingle.h"

namespace {

TEST(EeImage, ForeignLengthBytesDecodeInsideBounds) {
  // 127 is the largest positive length byte and yields 62 characters without
  // a byte written past the 63rd; 0, 1 and 128..255 are no text.
  for (const auto &c : std::vector<std::pair<uint8_t, std::string>>{
           {0, ""}, {1, ""}, {255, ""}, {128, ""}, {4, "x"}, {127, std::string(62, 'x')}}) {
    uint8_t descriptor[256];
    std::memset(descriptor, 'x', sizeof descriptor);
    descriptor[0] = c.first;
    char text[80];
    std::memset(text, '#', sizeof text);
    TKxE2Data::DescStrCopyToStr(text, descriptor, sizeof descriptor);
    EXPECT_EQ(std::string(text), c.second) << int(c.first);
    EXPECT_EQ(std::string(text + 63, text + 80), std::string(17, '#')) << int(c.first);
  }
  // A text that does not fit is refused, nothing written.
  uint8_t small[6] = {0x77, 0x77, 0x77, 0x77, 0x77, 0x77};
  EXPECT_FALSE(TKxE2Data::StrCopyToDescStr(small, "abc", 6));
  EXPECT_EQ(small[0], 0x77);
  EXPECT_TRUE(TKxE2Data::StrCopyToDescStr(small, "ab", 6));
}

// A large dual-channel image adds 128 to the offsets it holds, so a foreign
// one can put a string's start at the image's last bytes.
TEST(EeImage, StringsNearTheImageEndAreCutAtTheImage) {
  TKxEEDual image;
  std::memset(image.image, 'z', sizeof image.image);
  image.blank = 0;
  char text[64] = "untouched";
  image.product_string_offset = 250;  // room for two characters
  image.image[250] = 40;
  image.GetProductString(text);
  EXPECT_STREQ(text, "zz");

  // A length byte only: no text, and the prefix, options and user area that
  // would follow the serial number lie outside the image.
  image.manufacturer_string_offset = image.serial_string_offset = 255;
  image.image[255] = 20;
  image.GetManufacturerString(text);
  EXPECT_STREQ(text, "");
  image.GetSerialString(text);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(image.GetOptions(), 0);
  EXPECT_EQ(image.GetUserAreaSize(), 0);
  EXPECT_FALSE(image.AddPortNamePrefixDescriptor(kEmptyPrefix));
  // A serial descriptor that would run off the image is refused whole.
  const wchar_t serial[] = {0x0306, '1', '2'};
  image.image[19] = 0x55;
  EXPECT_FALSE(image.AddSerialStringDescriptor(serial));
  EXPECT_EQ(std::vector<int>({image.image[19], image.image[255]}), std::vector<int>({0x55, 20}));
}

TEST(EeImage, UserAreaOfForeignContents) {
  TKxEESingle image;
  // All zero: empty strings at offset 0, the area starts at word 1.
  EXPECT_EQ(image.GetUserAreaOffset(), 1);
  EXPECT_EQ(image.GetUserAreaSize(), 62);
  // Lengths that lead back to the image's first word make it the options word.
  image.image[0] = 2;
  image.image[2] = 0xFE;
  EXPECT_EQ(image.GetOptions(), 2);
  // All 0xFF: the length bytes are -1 and put the area past the checksum.
  std::memset(image.image, 0xFF, sizeof image.image);
  image.serial_string_offset = 0x7F;
  EXPECT_EQ(image.GetUserAreaSize(), 0);
  // Lengths that add up to a negative offset, or one past the image.
  std::memset(image.image, 0, sizeof image.image);
  image.serial_string_offset = 100;
  image.image[100] = 0x80;
  EXPECT_EQ(image.GetUserAreaSize(), 0);
  image.image[100] = 0x7F;
  image.image[227] = 0x7F;
  EXPECT_EQ(image.GetUserAreaSize(), 0);
  EXPECT_EQ(image.GetOptions(), 0);
  const uint8_t byte = 1;
  EXPECT_FALSE(image.AddUserArea(&byte, 1));
  uint32_t returned = 99;
  uint8_t out[4] = {};
  image.GetUserArea(out, sizeof out, &returned);
  EXPECT_EQ(returned, 0u);
}

// The dump holds words 0 to 63 as raw bytes, whatever the image's size.
TEST(EeImage, DumpIsTheFirst128RawBytes) {
  TEeData data(128);
  for (int i = 0; i < 128; ++i) data.Add(static_cast<unsigned short>(i | (0xA0 + i % 16) << 8));
  char path[] = "/tmp/eeprom_dump_XXXXXX";  // unique: suites may run side by side
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  ASSERT_EQ(data.WriteToFile(path), 1);
  std::ifstream file(path, std::ios::binary);
  const std::vector<uint8_t> contents{std::istreambuf_iterator<char>(file), {}};
  std::remove(path);
  EXPECT_EQ(contents, std::vector<uint8_t>(data.image, data.image + 128));
  EXPECT_EQ(data.WriteToFile("/nonexistent-dir/eeprom.bin"), 0);
}

}  // namespace
