// EEPROM images built and decoded in memory: layouts, checksums, string
// descriptors, user area, and decoding of images this library never wrote.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "kxeeDual.h"
#include "kxeeSingle.h"
#include "program_data.h"

namespace {


std::vector<uint8_t> Bytes(const TEeData &data, size_t from, size_t to) {
  return std::vector<uint8_t>(data.image + from, data.image + to);
}

uint16_t Word(const TEeData &data, size_t word) {
  return static_cast<uint16_t>(data.image[2 * word] | data.image[2 * word + 1] << 8);
}

_TKxEEParams Params(const char *manufacturer, const char *description) {
  _TKxEEParams params = {};
  params.manufacturer = manufacturer;
  params.description = description;
  params.serial_number = "";
  return params;
}

// The serial-number descriptor as KX_EE_Program passes it.
std::vector<wchar_t> SerialDescriptor(const std::string &text) {
  std::vector<wchar_t> descriptor{static_cast<wchar_t>(0x0300 + 2 * text.size() + 2)};
  for (char c : text) descriptor.push_back(static_cast<wchar_t>(static_cast<uint8_t>(c)));
  return descriptor;
}

}  // namespace

// ---- word buffer ------------------------------------------------------------

TEST(EeDataTest, BlankTrackingAndCursorInsideTheImage) {
  TEeData data;
  EXPECT_EQ(data.IsErased(), 1u);
  EXPECT_EQ(data.word_count, 64u);
  data.Add(0xFFFF);
  EXPECT_EQ(data.IsErased(), 1u) << "an erased word keeps the image blank";
  data.Add(0x1234);
  EXPECT_EQ(data.IsErased(), 0u);
  EXPECT_EQ(Bytes(data, 0, 4), (std::vector<uint8_t>{0xFF, 0xFF, 0x34, 0x12}));
  data.Reset();
  EXPECT_EQ(data.Get(), 0xFFFF);
  EXPECT_EQ(data.Get(), 0x1234);
  EXPECT_EQ(data.cursor, 4u);
  data.Init(nullptr, nullptr, nullptr);
  EXPECT_EQ(data.IsErased(), 0u);
  EXPECT_EQ(data.image[3], 0) << "Init clears the image";

  EXPECT_EQ(TEeData(500).word_count, 128u) << "a whole-image transfer may not pass the image";
  // Writing past the image would land on the fields behind it.
  TEeData full;
  for (int i = 0; i < 130; ++i) full.Add(static_cast<unsigned short>(0x0101 * (i + 1)));
  EXPECT_EQ(full.cursor, 256u);
  EXPECT_EQ(full.word_count, 64u);
  EXPECT_EQ(full.image[255], 0x80);
  EXPECT_EQ(full.Get(), 0);
  EXPECT_EQ(full.cursor, 256u);
}

TEST(EeDataTest, DumpIsTheFirst128RawBytes) {
  TEeData data(128);
  for (int i = 0; i < 128; ++i) data.Add(static_cast<unsigned short>(i | (0xA0 + i % 16) << 8));
  char path[] = "/tmp/eeprom_dump_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  ASSERT_EQ(data.WriteToFile(path), 1);
  std::ifstream file(path, std::ios::binary);
  const std::vector<uint8_t> contents{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  std::remove(path);
  EXPECT_EQ(contents, Bytes(data, 0, 128));
  EXPECT_EQ(data.WriteToFile("/nonexistent-dir/eeprom.bin"), 0);
}

// ---- checksum and strings ---------------------------------------------------

TEST(ImageBaseTest, ChecksumIdentities) {
  for (uint32_t offset : {126u, 254u}) {
    TKxEESingle image;
    image.checksum_offset = offset;
    image.SetChecksum();
    EXPECT_EQ(image.GetChecksum(), 0x5555) << offset;
    EXPECT_EQ(Word(image, offset / 2), 0x5555);

    std::memset(image.image, 0xFF, offset);
    image.SetChecksum();
    EXPECT_EQ(image.GetChecksum(), 0xAAAA) << offset;
    EXPECT_EQ(Word(image, offset / 2), 0xAAAA);
  }
  // The checksum covers only the words in front of it.
  TKxEESingle image;
  image.image[200] = 0x12;
  image.SetChecksum();
  EXPECT_EQ(image.GetChecksum(), 0x5555);
}

TEST(ImageBaseTest, DescriptorConversion) {
  uint8_t descriptor[8] = {};
  ASSERT_TRUE(TKxE2Data::StrCopyToDescStr(descriptor, "\xE9" "A", sizeof descriptor));
  const uint8_t expected[] = {0x06, 0x03, 0xE9, 0xFF, 0x41, 0x00};
  EXPECT_EQ(0, std::memcmp(descriptor, expected, sizeof expected));
  char text[64];
  TKxE2Data::DescStrCopyToStr(text, descriptor, sizeof descriptor);
  EXPECT_STREQ(text, "\xE9" "A");

  const uint8_t empty[] = {0x02, 0x03};
  TKxE2Data::DescStrCopyToStr(text, empty, sizeof empty);
  EXPECT_STREQ(text, "");

  // A text that does not fit is refused, nothing written.
  uint8_t small[6] = {0x77, 0x77, 0x77, 0x77, 0x77, 0x77};
  EXPECT_FALSE(TKxE2Data::StrCopyToDescStr(small, "abc", 6));
  EXPECT_EQ(small[0], 0x77);
  EXPECT_TRUE(TKxE2Data::StrCopyToDescStr(small, "ab", 6));
}

TEST(ImageBaseTest, ForeignLengthBytesDecodeInsideBounds) {
  // Length bytes this library never writes; 127 is the largest positive one and
  // yields 62 characters without a byte written past the 63rd.
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
}

TEST(ImageBaseTest, StringsNearTheImageEndAreCutAtTheImage) {
  TKxEEDual image;
  image.blank = 0;
  std::memset(image.image, 'z', sizeof image.image);
  char text[64];

  image.manufacturer_string_offset = 255;  // length byte only
  image.image[255] = 20;
  image.GetManufacturerString(text);
  EXPECT_STREQ(text, "");

  image.product_string_offset = 250;  // room for two characters
  image.image[250] = 40;
  image.GetProductString(text);
  EXPECT_STREQ(text, "zz");

  image.serial_string_offset = 300;
  image.GetSerialString(text);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(image.GetOptions(), 0);
  EXPECT_EQ(image.GetUserAreaSize(), 0);
  image.EraseSerialStringDescriptor();
  EXPECT_FALSE(image.AddPortNamePrefixDescriptor(kEmptyPrefix));
  EXPECT_FALSE(image.AddSerialStringDescriptor(SerialDescriptor("12").data()));

  // A serial descriptor that would run off the image is refused whole.
  image.serial_string_offset = 250;
  image.image[19] = 0x55;
  EXPECT_FALSE(image.AddSerialStringDescriptor(SerialDescriptor("abcd").data()));
  EXPECT_EQ(image.image[19], 0x55);
  EXPECT_EQ(image.image[250], 40);
}

TEST(ImageBaseTest, BlankImageDecodesNoText) {
  TKxEESingle image;
  image.image[20] = 4;
  image.image[21] = 3;
  image.image[22] = 'Q';
  image.manufacturer_string_offset = 20;
  char text[64] = "untouched";
  image.GetManufacturerString(text);
  EXPECT_STREQ(text, "") << "a blank image has no texts";
  image.blank = 0;
  image.GetManufacturerString(text);
  EXPECT_STREQ(text, "Q");
}

// ---- single-channel layout --------------------------------------------------

TEST(SingleImageTest, InitImageByteForByte) {
  TKxEESingle image;
  _TKxEEParams params = Params("A", "B");
  image.Init(&params);
  const std::vector<uint8_t> head = {0x00, 0x00, 0x03, 0x04, 0x01, 0x60, 0x00, 0x02, 0xA0,
                                     0x2D, 0x00, 0x00, 0x00, 0x00, 0x94, 0x04, 0x98, 0x04,
                                     0x9C, 0x02, 0x04, 0x03, 0x41, 0x00, 0x04, 0x03, 0x42,
                                     0x00, 0x02, 0x03, 0x02, 0x03, 0x00, 0x00};
  EXPECT_EQ(Bytes(image, 0, 34), head);
  EXPECT_EQ(Bytes(image, 34, 126), std::vector<uint8_t>(92, 0));
  EXPECT_EQ(Word(image, 63), 0xBEA0);
  EXPECT_EQ(image.GetChecksum(), 0xBEA0);
  EXPECT_EQ(image.IsErased(), 0u);
  EXPECT_EQ(image.serial_string_offset, 28);

  params.rev4 = 1;
  image.Init(&params);
  EXPECT_EQ(Word(image, 3), 0x0400);
}

TEST(SingleImageTest, PrefixLimitAndUserAreaAtTheEndOfTheStringSpace) {
  // 48 characters in total: serial descriptor ends at byte 121, prefix fits,
  // options word ends at 125 and there is no user area.
  TKxEESingle image;
  const std::string manufacturer(20, 'M'), product(20, 'P');
  _TKxEEParams params = Params(manufacturer.c_str(), product.c_str());
  image.Init(&params);
  ASSERT_TRUE(image.AddSerialStringDescriptor(SerialDescriptor("12345678").data()));
  EXPECT_TRUE(image.AddPortNamePrefixDescriptor(kEmptyPrefix));
  image.AddOptions(0);
  EXPECT_EQ(image.GetUserAreaOffset(), 0);
  EXPECT_EQ(image.GetUserAreaSize(), 0);
  const uint8_t byte = 1;
  EXPECT_FALSE(image.AddUserArea(&byte, 0));
  EXPECT_FALSE(image.AddUserArea(&byte, 1));
  uint32_t returned = 99;
  uint8_t out[4] = {};
  image.GetUserArea(out, sizeof out, &returned);
  EXPECT_EQ(returned, 0u);

  // One character more and the prefix no longer fits.
  ASSERT_TRUE(image.AddSerialStringDescriptor(SerialDescriptor("123456789").data()));
  EXPECT_FALSE(image.AddPortNamePrefixDescriptor(kEmptyPrefix));

  // 47 characters leave one word.
  ASSERT_TRUE(image.AddSerialStringDescriptor(SerialDescriptor("1234567").data()));
  ASSERT_TRUE(image.AddPortNamePrefixDescriptor(kEmptyPrefix));
  image.AddOptions(0);
  EXPECT_EQ(image.GetUserAreaSize(), 1);
  EXPECT_EQ(image.GetUserAreaOffset(), 62);
}

TEST(SingleImageTest, UserAreaOfForeignContents) {
  TKxEESingle image;
  // All zero: empty strings at offset 0, the area starts at word 1.
  EXPECT_EQ(image.GetUserAreaOffset(), 1);
  EXPECT_EQ(image.GetUserAreaSize(), 62);
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
}

// ---- dual-channel layout ----------------------------------------------------

TEST(DualImageTest, InitLayoutAndUnprobedType) {
  TKxEEDual image;
  _TKxEEParams params = Params("A", "B");
  params.a_config_bit0 = 1;
  params.a_config_bit4 = 1;
  params.b_config_bit3 = 1;
  params.iso_in_b = 1;
  params.iso_out_a = 1;
  params.dual_pull_down_enable = 1;
  params.dual_usb_version = 0x0200;
  params.iso_in = 1;  // single-channel fields are not the dual image's
  image.Init(&params);
  EXPECT_EQ(Word(image, 0), 0x0811);
  EXPECT_EQ(Word(image, 1), 0x0403);
  EXPECT_EQ(Word(image, 2), 0x6010);
  EXPECT_EQ(Word(image, 3), 0x0500);
  EXPECT_EQ(image.image[10], 0x20 | 0x02 | 0x04);
  EXPECT_EQ(Word(image, 6), 0x0200);
  EXPECT_EQ(image.image[14], 0x96);
  EXPECT_EQ(image.image[16], 0x9A);
  EXPECT_EQ(image.image[18], 0x9E);
  EXPECT_EQ(Word(image, 10), 0x46) << "an unprobed part is programmed as the 64-word one";
  EXPECT_EQ(Bytes(image, 22, 36),
            std::vector<uint8_t>({0x04, 0x03, 0x41, 0x00, 0x04, 0x03, 0x42, 0x00, 0x02, 0x03,
                                  0x02, 0x03, 0x00, 0x00}));
  EXPECT_EQ(image.GetUserAreaOffset(), 18);
  EXPECT_EQ(image.GetUserAreaSize(), 45);
}
