// EEPROM configuration through the shared library and the simulated chip:
// programming and reading back whole configurations, the dual-channel size
// probe, the user area, and EEPROMs that are blank, absent or failing.
#include <cerrno>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "sim_fixture.h"

namespace {

constexpr uint8_t kReadWord = 0x90, kWriteWord = 0x91, kErase = 0x92;

// Text buffers for decoding, pre-filled so that untouched buffers show.
struct Texts {
  char manufacturer[64], manufacturer_id[64], description[64], serial[64];
  Texts() {
    std::memset(this, '#', sizeof *this);
    manufacturer[63] = manufacturer_id[63] = description[63] = serial[63] = '\0';
  }
};

KX_PROGRAM_DATA ReadRecord(Texts *texts) {
  KX_PROGRAM_DATA record = {};
  record.marker_ones = 0xFFFFFFFFu;
  record.manufacturer = texts->manufacturer;
  record.manufacturer_id = texts->manufacturer_id;
  record.description = texts->description;
  record.serial_number = texts->serial;
  return record;
}

KX_PROGRAM_DATA ProgramRecord(const char *manufacturer, const char *description,
                              const char *serial, const char *prefix = "AB") {
  KX_PROGRAM_DATA record = {};
  record.marker_ones = 0xFFFFFFFFu;
  record.vendor_id = 0x0403;
  record.product_id = 0x6001;
  record.manufacturer = const_cast<char *>(manufacturer);
  record.manufacturer_id = const_cast<char *>(prefix);
  record.description = const_cast<char *>(description);
  record.serial_number = const_cast<char *>(serial);
  record.max_power = 100;
  record.plug_and_play = 1;
  return record;
}

std::vector<uint16_t> Words(int chip, unsigned count, unsigned first = 0) {
  std::vector<uint16_t> words(count);
  for (unsigned i = 0; i < count; ++i) vexa_sim_eeprom_get(chip, first + i, &words[i]);
  return words;
}

std::vector<uint16_t> WordsOf(const std::vector<uint8_t> &bytes) {
  std::vector<uint16_t> words;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    words.push_back(static_cast<uint16_t>(bytes[i] | bytes[i + 1] << 8));
  return words;
}

// The checksum of the image's words in front of the checksum word.
uint16_t Checksum(const std::vector<uint16_t> &words, size_t count) {
  uint16_t value = 0xAAAA;
  for (size_t i = 0; i < count; ++i) {
    value ^= words[i];
    value = static_cast<uint16_t>(value << 1 | value >> 15);
  }
  return value;
}

void Fill(int chip, unsigned words, uint16_t seed) {
  for (unsigned i = 0; i < words; ++i)
    vexa_sim_eeprom_set(chip, i, static_cast<uint16_t>(seed + i * 0x0101));
}

bool IsSerialCharacter(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z'); }

}  // namespace

class EepromTest : public SimTest {
 protected:
  KX_HANDLE OpenSingle(int *chip, uint16_t bcd = 0x0400) {
    *chip = AddSingle("S1", "Bridge", bcd, 64, 64);
    return Open(0);
  }
  KX_HANDLE OpenDual(int *chip, int words, int no_wrap = 0) {
    vexa_sim_chip_config config = {};
    config.bcd_device = 0x0500;
    config.id_product = 0x6010;
    config.serial = "D1";
    config.product = "Dual";
    config.interfaces = 2;
    config.eeprom_words = words;
    config.eeprom_no_wrap = no_wrap;
    *chip = AddChip(config);
    return Open(0);
  }
  static uint32_t UASize(KX_HANDLE handle) {
    uint32_t size = 0xDEAD;
    EXPECT_EQ(KX_EE_UASize(handle, &size), KX_OK);
    return size;
  }
};

// ---- single-channel chips ---------------------------------------------------

TEST_F(EepromTest, WorkedExampleProgramsTheExactImageAndReadsBack) {
  int chip;
  KX_HANDLE handle = OpenSingle(&chip);
  Fill(chip, 64, 0x1111);
  KX_PROGRAM_DATA record = ProgramRecord("A", "B", "12345678");
  record.remote_wakeup = 1;
  vexa_sim_log_clear();
  ASSERT_EQ(KX_EE_Program(handle, &record), KX_OK);

  const std::vector<uint8_t> head = {
      0x00, 0x00, 0x03, 0x04, 0x01, 0x60, 0x00, 0x02, 0xA0, 0x32, 0x00, 0x00, 0x00,
      0x00, 0x94, 0x04, 0x98, 0x04, 0x9C, 0x12, 0x04, 0x03, 0x41, 0x00, 0x04, 0x03,
      0x42, 0x00, 0x12, 0x03, 0x31, 0x00, 0x32, 0x00, 0x33, 0x00, 0x34, 0x00, 0x35,
      0x00, 0x36, 0x00, 0x37, 0x00, 0x38, 0x00, 0x02, 0x03, 0x00, 0x00, 0x00, 0x00};
  std::vector<uint16_t> expected = WordsOf(head);
  expected.resize(63, 0);
  expected.push_back(0xB35D);
  EXPECT_EQ(Words(chip, 64), expected);

  // Erase once, then one write per word, then a full read-back.
  const auto erases = ControlLog(kErase);
  const auto writes = ControlLog(kWriteWord);
  ASSERT_EQ(erases.size(), 1u);
  ASSERT_EQ(writes.size(), 64u);
  for (unsigned i = 0; i < 64; ++i) EXPECT_EQ(writes[i].index, i);
  EXPECT_EQ(ControlLog(kReadWord).size(), 64u);
  EXPECT_EQ(UASize(handle), 76u);

  Texts texts;
  KX_PROGRAM_DATA read = ReadRecord(&texts);
  ASSERT_EQ(KX_EE_Read(handle, &read), KX_OK);
  EXPECT_EQ(read.vendor_id, 0x0403);
  EXPECT_EQ(read.product_id, 0x6001);
  EXPECT_STREQ(texts.manufacturer, "A");
  EXPECT_STREQ(texts.description, "B");
  EXPECT_STREQ(texts.serial, "12345678");
  EXPECT_STREQ(texts.manufacturer_id, "12") << "the serial number's first two characters";
  EXPECT_EQ(read.max_power, 100);
  EXPECT_EQ(read.plug_and_play, 1);
  EXPECT_EQ(read.self_powered, 0);
  EXPECT_EQ(read.remote_wakeup, 1);
  EXPECT_EQ(read.rev4, 0);
  EXPECT_EQ(read.usb_version, 0x0110) << "a revision-2 image reports USB 1.1";
  EXPECT_EQ(read.dual_image, 0);
}

TEST_F(EepromTest, RevisionFourRoundTripKeepsEveryFlag) {
  int chip;
  KX_HANDLE handle = OpenSingle(&chip, 0x0400);
  KX_PROGRAM_DATA record = ProgramRecord("Maker", "Cable", "SER0001");
  record.product_id = 0x6015;
  record.rev4 = 1;
  record.iso_in = record.iso_out = record.pull_down_enable = 1;
  record.serial_number_enable = record.usb_version_enable = 1;
  record.usb_version = 0x0200;
  record.self_powered = 1;
  ASSERT_EQ(KX_EE_Program(handle, &record), KX_OK);

  Texts texts;
  KX_PROGRAM_DATA read = ReadRecord(&texts);
  read.iso_in_a = 7;  // the channel flags of the dual chip are left alone
  read.b_config_bit3 = 7;
  read.dual_usb_version = 0x7777;
  ASSERT_EQ(KX_EE_Read(handle, &read), KX_OK);
  EXPECT_EQ(read.product_id, 0x6015);
  EXPECT_EQ(read.rev4, 1);
  EXPECT_EQ(read.iso_in, 1);
  EXPECT_EQ(read.iso_out, 1);
  EXPECT_EQ(read.pull_down_enable, 1);
  EXPECT_EQ(read.serial_number_enable, 1);
  EXPECT_EQ(read.usb_version_enable, 1);
  EXPECT_EQ(read.usb_version, 0x0200);
  EXPECT_EQ(read.self_powered, 1);
  EXPECT_EQ(read.remote_wakeup, 0);
  EXPECT_STREQ(texts.manufacturer, "Maker");
  EXPECT_STREQ(texts.description, "Cable");
  EXPECT_STREQ(texts.serial, "SER0001");
  EXPECT_EQ(read.iso_in_a, 7);
  EXPECT_EQ(read.b_config_bit3, 0);
  EXPECT_EQ(read.dual_usb_version, 0);
  uint16_t bcd = 0;
  vexa_sim_eeprom_get(chip, 3, &bcd);
  EXPECT_EQ(bcd, 0x0400);
}

TEST_F(EepromTest, RevisionTwoImageHidesTheGatedFlags) {
  int chip;
  KX_HANDLE handle = OpenSingle(&chip, 0x0200);
  KX_PROGRAM_DATA record = ProgramRecord("M", "P", "X1");
  record.iso_in = record.iso_out = record.pull_down_enable = 1;
  record.serial_number_enable = record.usb_version_enable = 1;
  record.usb_version = 0x0200;
  ASSERT_EQ(KX_EE_Program(handle, &record), KX_OK);
  uint16_t flags = 0;
  vexa_sim_eeprom_get(chip, 5, &flags);
  EXPECT_EQ(flags, 0x1F) << "the flags are written whatever the revision";

  Texts texts;
  KX_PROGRAM_DATA read = ReadRecord(&texts);
  ASSERT_EQ(KX_EE_Read(handle, &read), KX_OK);
  EXPECT_EQ(read.pull_down_enable, 1);
  EXPECT_EQ(read.iso_in, 0);
  EXPECT_EQ(read.iso_out, 0);
  EXPECT_EQ(read.serial_number_enable, 0);
  EXPECT_EQ(read.usb_version_enable, 0);
  EXPECT_EQ(read.usb_version, 0x0110);
  EXPECT_STREQ(texts.serial, "X1");
}

TEST_F(EepromTest, OlderRecordFormRoundTripsOnlyItsOwnFields) {
  int chip;
  KX_HANDLE handle = OpenSingle(&chip);
  KX_PROGRAM_DATA_LEGACY legacy = {};
  legacy.vendor_id = 0x0403;
  legacy.product_id = 0x6001;
  legacy.manufacturer = const_cast<char *>("Old");
  legacy.manufacturer_id = const_cast<char *>("OL");
  legacy.description = const_cast<char *>("Form");
  legacy.serial_number = const_cast<char *>("LEG42");
  legacy.max_power = 200;
  legacy.plug_and_play = 0;
  legacy.rev4 = 1;
  legacy.usb_version = 0x0200;
  legacy.usb_version_enable = 1;
  ASSERT_EQ(KX_EE_Program(handle, reinterpret_cast<KX_PROGRAM_DATA *>(&legacy)), KX_OK);

  Texts texts;
  KX_PROGRAM_DATA_LEGACY read;
  std::memset(&read, 0x5A, sizeof read);
  read.manufacturer = texts.manufacturer;
  read.manufacturer_id = texts.manufacturer_id;
  read.description = texts.description;
  read.serial_number = texts.serial;
  ASSERT_EQ(KX_EE_Read(handle, reinterpret_cast<KX_PROGRAM_DATA *>(&read)), KX_OK);
  EXPECT_EQ(read.vendor_id, 0x0403);
  EXPECT_EQ(read.max_power, 200);
  EXPECT_EQ(read.plug_and_play, 0);
  EXPECT_EQ(read.rev4, 1);
  EXPECT_EQ(read.usb_version, 0x0200);
  EXPECT_EQ(read.usb_version_enable, 1);
  EXPECT_EQ(read.iso_in, 0);
  EXPECT_STREQ(texts.manufacturer, "Old");
  EXPECT_STREQ(texts.description, "Form");
  EXPECT_STREQ(texts.serial, "LEG42");
  EXPECT_STREQ(texts.manufacturer_id, "LE");
  // A single-channel device's older record ends at usb_version.
  EXPECT_EQ(read.dual_image, 0x5A);
  EXPECT_EQ(read.b_config_bit3, 0x5A);
}

TEST_F(EepromTest, PowerLimitAndPlugAndPlay) {
  int chip;
  KX_HANDLE handle = OpenSingle(&chip);
  struct Case {
    uint16_t max_power, plug_and_play;
    uint8_t power_byte;
    uint16_t power_back, options_word, pnp_back;
  };
  for (Case c : {Case{600, 0, 250, 500, 1, 0}, Case{91, 5, 45, 90, 0, 1}, Case{500, 1, 250, 500, 0, 1}}) {
    KX_PROGRAM_DATA record = ProgramRecord("", "", "S");
    record.max_power = c.max_power;
    record.plug_and_play = c.plug_and_play;
    ASSERT_EQ(KX_EE_Program(handle, &record), KX_OK);
    uint16_t word4 = 0, options = 0xEEEE;
    vexa_sim_eeprom_get(chip, 4, &word4);
    // Empty texts: descriptors at 20, 22, 24 (serial "S", 4 bytes), prefix at 28, options at 30.
    vexa_sim_eeprom_get(chip, 15, &options);
    EXPECT_EQ(word4 >> 8, c.power_byte) << c.max_power;
    EXPECT_EQ(options, c.options_word) << c.plug_and_play;
    KX_PROGRAM_DATA read = {};
    read.marker_ones = 0xFFFFFFFFu;
    ASSERT_EQ(KX_EE_Read(handle, &read), KX_OK) << "null text pointers are skipped";
    EXPECT_EQ(read.max_power, c.power_back);
    EXPECT_EQ(read.plug_and_play, c.pnp_back);
    EXPECT_EQ(read.vendor_id, 0x0403);
  }
}

TEST_F(EepromTest, GeneratedAndGivenSerialNumbers) {
  int chip;
  KX_HANDLE handle = OpenSingle(&chip);
  for (const char *given : {static_cast<const char *>(nullptr), ""}) {
    KX_PROGRAM_DATA record = ProgramRecord("", "", given, "QZ");
    ASSERT_EQ(KX_EE_Program(handle, &record), KX_OK);
    Texts texts;
    KX_PROGRAM_DATA read = ReadRecord(&texts);
    ASSERT_EQ(KX_EE_Read(handle, &read), KX_OK);
    const std::string serial = texts.serial;
    ASSERT_EQ(serial.size(), 8u) << serial;
    EXPECT_EQ(serial.substr(0, 2), "QZ");
    for (char c : serial.substr(2)) EXPECT_TRUE(IsSerialCharacter(c)) << serial;
    EXPECT_STREQ(texts.manufacturer_id, "QZ");
    EXPECT_EQ(UASize(handle), 80u) << "empty texts and an eight-character serial";
  }

  // A given serial number wins over the prefix.
  KX_PROGRAM_DATA record = ProgramRecord("", "", "ZZ99", "QZ");
  ASSERT_EQ(KX_EE_Program(handle, &record), KX_OK);
  Texts texts;
  KX_PROGRAM_DATA read = ReadRecord(&texts);
  ASSERT_EQ(KX_EE_Read(handle, &read), KX_OK);
  EXPECT_STREQ(texts.serial, "ZZ99");
  EXPECT_STREQ(texts.manufacturer_id, "ZZ");

  // A null prefix is the empty prefix: the generated serial is empty too.
  record = ProgramRecord("M", "D", nullptr, nullptr);
  ASSERT_EQ(KX_EE_Program(handle, &record), KX_OK);
  ASSERT_EQ(KX_EE_Read(handle, &read), KX_OK);
  EXPECT_STREQ(texts.serial, "");
  EXPECT_STREQ(texts.manufacturer, "M");
}

TEST_F(EepromTest, TooLongTextsLeaveTheEepromUntouched) {
  int chip;
  KX_HANDLE handle = OpenSingle(&chip);
  Fill(chip, 64, 0x2222);
  const std::vector<uint16_t> before = Words(chip, 64);
  const std::string twenty(20, 'x');
  vexa_sim_log_clear();
  KX_PROGRAM_DATA record = ProgramRecord(twenty.c_str(), twenty.c_str(), "123456789");
  EXPECT_EQ(KX_EE_Program(handle, &record), KX_ERR_OTHER);
  EXPECT_EQ(Words(chip, 64), before);
  EXPECT_TRUE(ControlLog(kErase).empty());
  EXPECT_TRUE(ControlLog(kWriteWord).empty());
  // A long given serial alone counts as much.
  const std::string long_serial(49, '7');
  record = ProgramRecord("", "", long_serial.c_str());
  EXPECT_EQ(KX_EE_Program(handle, &record), KX_ERR_OTHER);
  EXPECT_EQ(Words(chip, 64), before);

  // 48 characters fit exactly and leave no user area.
  record = ProgramRecord(twenty.c_str(), twenty.c_str(), "12345678");
  ASSERT_EQ(KX_EE_Program(handle, &record), KX_OK);
  EXPECT_EQ(UASize(handle), 0u);
  Texts texts;
  KX_PROGRAM_DATA read = ReadRecord(&texts);
  ASSERT_EQ(KX_EE_Read(handle, &read), KX_OK);
  EXPECT_EQ(std::string(texts.manufacturer), twenty);
  EXPECT_STREQ(texts.serial, "12345678");
}

// ---- dual-channel chip ------------------------------------------------------

struct DualCase {
  int words;
  uint16_t rom_type;
  bool large;
};

void PrintTo(const DualCase &c, std::ostream *os) { *os << c.words << " words"; }

class DualEepromTest : public EepromTest, public ::testing::WithParamInterface<DualCase> {};

TEST_P(DualEepromTest, ProbeProgramAndReadBack) {
  const DualCase param = GetParam();
  int chip;
  KX_HANDLE handle = OpenDual(&chip, param.words);
  Fill(chip, static_cast<unsigned>(param.words), 0x3333);
  KX_PROGRAM_DATA record = ProgramRecord("Maker", "Dual bridge", "DS123456");
  record.product_id = 0x6010;
  record.a_config_bit0 = record.a_config_bit4 = 1;
  record.b_config_bit2 = 1;
  record.iso_in_b = record.iso_out_a = 1;
  record.dual_serial_number_enable = 1;
  record.dual_usb_version = 0x0200;
  record.rev4 = 1;  // single-channel fields do not reach a dual image
  record.usb_version = 0x0110;
  vexa_sim_log_clear();
  ASSERT_EQ(KX_EE_Program(handle, &record), KX_OK);

  // The probe: erase, the probe word at 192, then reads until it is found.
  const auto writes = ControlLog(kWriteWord);
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes[0].index, 192);
  EXPECT_EQ(writes[0].value, 0x00C0);
  EXPECT_EQ(ControlLog(kErase).size(), 2u) << "one for the probe, one before writing";
  const size_t image_words = param.large ? 128 : 64;
  EXPECT_EQ(writes.size(), 1 + image_words);

  const std::vector<uint16_t> words = Words(chip, static_cast<unsigned>(image_words));
  EXPECT_EQ(words[10], param.rom_type);
  EXPECT_EQ(words[0], 0x0411);
  EXPECT_EQ(words[2], 0x6010);
  EXPECT_EQ(words[3], 0x0500);
  EXPECT_EQ(words[5], 0x0022 | 0x0008);
  EXPECT_EQ(words[image_words - 1], Checksum(words, image_words - 1));
  if (param.large) {
    // Strings moved to the upper half; the user area below is all zero.
    EXPECT_EQ(words[75], 0x030C) << "manufacturer descriptor at byte 150";
    for (unsigned w = 11; w < 64; ++w) EXPECT_EQ(words[w], 0) << w;
    EXPECT_EQ(UASize(handle), 106u);
  } else {
    EXPECT_EQ(words[11], 0x030C) << "manufacturer descriptor at byte 22";
    EXPECT_EQ(UASize(handle), 94u - 2 * (5 + 11 + 8));
  }

  Texts texts;
  KX_PROGRAM_DATA read = ReadRecord(&texts);
  read.rev4 = read.usb_version = 9;
  ASSERT_EQ(KX_EE_Read(handle, &read), KX_OK);
  EXPECT_EQ(read.dual_image, 1);
  EXPECT_EQ(read.rev4, 0);
  EXPECT_EQ(read.usb_version, 0);
  EXPECT_EQ(read.product_id, 0x6010);
  EXPECT_STREQ(texts.manufacturer, "Maker");
  EXPECT_STREQ(texts.description, "Dual bridge");
  EXPECT_STREQ(texts.serial, "DS123456");
  EXPECT_STREQ(texts.manufacturer_id, "DS");
  EXPECT_EQ(read.a_config_bit0, 1);
  EXPECT_EQ(read.a_config_bit4, 1);
  EXPECT_EQ(read.a_config_bit1, 0);
  EXPECT_EQ(read.b_config_bit2, 1);
  EXPECT_EQ(read.b_config_bit4, 0);
  EXPECT_EQ(read.iso_in_b, 1);
  EXPECT_EQ(read.iso_out_a, 1);
  EXPECT_EQ(read.iso_in_a, 0);
  EXPECT_EQ(read.iso_out_b, 0);
  EXPECT_EQ(read.dual_serial_number_enable, 1);
  EXPECT_EQ(read.dual_pull_down_enable, 0);
  EXPECT_EQ(read.dual_usb_version, 0x0200);

  // The older form carries the dual-channel fields on this chip.
  KX_PROGRAM_DATA_LEGACY legacy;
  std::memset(&legacy, 0, sizeof legacy);
  legacy.manufacturer = texts.manufacturer;
  legacy.serial_number = texts.serial;
  ASSERT_EQ(KX_EE_Read(handle, reinterpret_cast<KX_PROGRAM_DATA *>(&legacy)), KX_OK);
  EXPECT_EQ(legacy.dual_image, 1);
  EXPECT_EQ(legacy.b_config_bit2, 1);
  EXPECT_EQ(legacy.dual_usb_version, 0x0200);
  EXPECT_EQ(legacy.vendor_id, 0x0403);

  legacy.product_id = 0x6011;
  legacy.manufacturer = const_cast<char *>("Older");
  legacy.description = const_cast<char *>("");
  legacy.manufacturer_id = const_cast<char *>("OL");
  legacy.serial_number = nullptr;
  legacy.b_config_bit2 = 0;
  legacy.b_config_bit0 = 1;
  ASSERT_EQ(KX_EE_Program(handle, reinterpret_cast<KX_PROGRAM_DATA *>(&legacy)), KX_OK);
  ASSERT_EQ(KX_EE_Read(handle, &read), KX_OK);
  EXPECT_EQ(read.product_id, 0x6011);
  EXPECT_STREQ(texts.manufacturer, "Older");
  EXPECT_EQ(std::string(texts.serial).substr(0, 2), "OL");
  EXPECT_EQ(read.b_config_bit0, 1);
  EXPECT_EQ(read.b_config_bit2, 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, DualEepromTest,
                         ::testing::Values(DualCase{64, 0x46, false}, DualCase{128, 0x56, true},
                                           DualCase{256, 0x66, true}),
                         [](const ::testing::TestParamInfo<DualCase> &info) {
                           return "Words" + std::to_string(info.param.words);
                         });

TEST_F(EepromTest, DualPartThatNeitherWrapsNorEchoesIsProgrammedSmall) {
  int chip;
  KX_HANDLE handle = OpenDual(&chip, 128, /*no_wrap=*/1);
  vexa_sim_log_clear();
  KX_PROGRAM_DATA record = ProgramRecord("", "", "NW000001");
  ASSERT_EQ(KX_EE_Program(handle, &record), KX_OK);
  // The probe read words 0, 64 and 192 and found nothing.
  std::vector<uint16_t> probed;
  for (const auto &entry : ControlLog(kReadWord)) {
    if (probed.size() == 3) break;
    probed.push_back(entry.index);
  }
  EXPECT_EQ(probed, std::vector<uint16_t>({0, 64, 192}));
  const std::vector<uint16_t> words = Words(chip, 128);
  EXPECT_EQ(words[10], 0x46);
  EXPECT_EQ(words[63], Checksum(words, 63));
  EXPECT_EQ(words[64], 0xFFFF) << "only 64 words written";
  EXPECT_EQ(UASize(handle), 78u);
  Texts texts;
  KX_PROGRAM_DATA read = ReadRecord(&texts);
  ASSERT_EQ(KX_EE_Read(handle, &read), KX_OK);
  EXPECT_STREQ(texts.serial, "NW000001");
}

TEST_F(EepromTest, DualTooLongTextsSpareTheEepromTheProbe) {
  int chip;
  KX_HANDLE handle = OpenDual(&chip, 64);
  Fill(chip, 64, 0x4444);
  const std::vector<uint16_t> before = Words(chip, 64);
  const std::string twenty(20, 'y');
  vexa_sim_log_clear();
  KX_PROGRAM_DATA record = ProgramRecord(twenty.c_str(), twenty.c_str(), "12345678");
  EXPECT_EQ(KX_EE_Program(handle, &record), KX_ERR_OTHER);
  EXPECT_EQ(Words(chip, 64), before);
  EXPECT_TRUE(ControlLog(kErase).empty());
  EXPECT_TRUE(ControlLog(kWriteWord).empty());

  record = ProgramRecord(twenty.c_str(), twenty.c_str(), "1234567");
  ASSERT_EQ(KX_EE_Program(handle, &record), KX_OK);
  EXPECT_EQ(UASize(handle), 0u);
}

// ---- user area --------------------------------------------------------------

TEST_F(EepromTest, UserAreaWriteFitsExactlyAndRefusesOneByteMore) {
  int chip;
  KX_HANDLE handle = OpenSingle(&chip);
  KX_PROGRAM_DATA record = ProgramRecord("A", "B", "12345678");
  ASSERT_EQ(KX_EE_Program(handle, &record), KX_OK);
  ASSERT_EQ(UASize(handle), 76u);

  std::vector<uint8_t> zeros(200, 0xEE);
  uint32_t returned = 0;
  ASSERT_EQ(KX_EE_UARead(handle, zeros.data(), 200, &returned), KX_OK);
  EXPECT_EQ(returned, 76u);
  EXPECT_EQ(std::vector<uint8_t>(zeros.begin(), zeros.begin() + 76), std::vector<uint8_t>(76, 0));
  EXPECT_EQ(zeros[76], 0xEE);

  std::vector<uint8_t> data(77);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0xC0 + i);
  ASSERT_EQ(KX_EE_UAWrite(handle, data.data(), 76), KX_OK);
  std::vector<uint16_t> words = Words(chip, 64);
  EXPECT_EQ(words[25], 0xC1C0) << "the area starts at word 25";
  EXPECT_EQ(words[62], static_cast<uint16_t>((0xC0 + 75) << 8 | (0xC0 + 74)));
  EXPECT_EQ(words[63], Checksum(words, 63));

  const std::vector<uint16_t> before = words;
  vexa_sim_log_clear();
  EXPECT_EQ(KX_EE_UAWrite(handle, data.data(), 77), KX_ERR_EE_WRITE);
  EXPECT_EQ(Words(chip, 64), before);
  EXPECT_TRUE(ControlLog(kErase).empty());
  EXPECT_TRUE(ControlLog(kWriteWord).empty());

  std::vector<uint8_t> out(76);
  ASSERT_EQ(KX_EE_UARead(handle, out.data(), 10, &returned), KX_OK);
  EXPECT_EQ(returned, 10u);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 10),
            std::vector<uint8_t>(data.begin(), data.begin() + 10));

  // A short write keeps the rest; length 0 rewrites the same image.
  const uint8_t two[] = {1, 2};
  ASSERT_EQ(KX_EE_UAWrite(handle, two, 2), KX_OK);
  ASSERT_EQ(KX_EE_UAWrite(handle, two, 0), KX_OK);
  words = Words(chip, 64);
  EXPECT_EQ(words[25], 0x0201);
  EXPECT_EQ(words[26], 0xC3C2);

  // The configuration itself is written back unchanged.
  Texts texts;
  KX_PROGRAM_DATA read = ReadRecord(&texts);
  ASSERT_EQ(KX_EE_Read(handle, &read), KX_OK);
  EXPECT_STREQ(texts.serial, "12345678");
}

TEST_F(EepromTest, UserAreaReadOfLengthZeroTouchesNoDevice) {
  int chip;
  KX_HANDLE handle = OpenSingle(&chip);
  uint8_t buffer[4] = {9, 9, 9, 9};
  uint32_t returned = 1234;
  vexa_sim_log_clear();
  EXPECT_EQ(KX_EE_UARead(handle, buffer, 0, &returned), KX_OK);
  EXPECT_EQ(KX_EE_UARead(handle, buffer, 0, nullptr), KX_OK);
  EXPECT_TRUE(ControlLog().empty());
  EXPECT_EQ(returned, 1234u);
  EXPECT_EQ(buffer[0], 9);

  EXPECT_EQ(KX_EE_UARead(handle, buffer, 4, nullptr), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_EE_UARead(nullptr, buffer, 4, &returned), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_EE_UARead(handle, nullptr, 4, &returned), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_EE_UAWrite(handle, nullptr, 4), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_EE_UASize(handle, nullptr), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_EE_UASize(nullptr, &returned), KX_ERR_PARAMETER);
  KX_PROGRAM_DATA record = {};
  EXPECT_EQ(KX_EE_Program(nullptr, &record), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_EE_Program(handle, nullptr), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_EE_Read(nullptr, &record), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_EE_Read(handle, nullptr), KX_ERR_PARAMETER);
  EXPECT_TRUE(ControlLog().empty());
}

TEST_F(EepromTest, LargeDualUserAreaKeepsTheChecksumInTheLastWord) {
  int chip;
  KX_HANDLE handle = OpenDual(&chip, 256);
  KX_PROGRAM_DATA record = ProgramRecord("A much longer maker name", "Product", "S");
  ASSERT_EQ(KX_EE_Program(handle, &record), KX_OK);
  ASSERT_EQ(UASize(handle), 106u);
  std::vector<uint8_t> data(106);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
  ASSERT_EQ(KX_EE_UAWrite(handle, data.data(), 106), KX_OK);
  const std::vector<uint16_t> words = Words(chip, 128);
  EXPECT_EQ(words[11], static_cast<uint16_t>(data[1] << 8 | data[0]));
  EXPECT_EQ(words[63], static_cast<uint16_t>(data[105] << 8 | data[104])) << "word 63 is user data";
  EXPECT_EQ(words[127], Checksum(words, 127));
  std::vector<uint8_t> out(106);
  uint32_t returned = 0;
  ASSERT_EQ(KX_EE_UARead(handle, out.data(), 106, &returned), KX_OK);
  EXPECT_EQ(out, data);
  Texts texts;
  KX_PROGRAM_DATA read = ReadRecord(&texts);
  ASSERT_EQ(KX_EE_Read(handle, &read), KX_OK);
  EXPECT_STREQ(texts.manufacturer, "A much longer maker name");
}

// ---- blank, absent and failing EEPROMs --------------------------------------

TEST_F(EepromTest, BlankAndAbsentEepromsLeaveTheRecordUntouched) {
  struct Case {
    uint16_t fill;
    KX_STATUS status;
    uint32_t user_area;
  };
  for (bool dual : {false, true}) {
    for (Case c : {Case{0xFFFF, KX_ERR_EE_BLANK, 0}, Case{0x0000, KX_ERR_EE_ABSENT, 124}}) {
      vexa_sim_reset();
      int chip;
      KX_HANDLE handle = dual ? OpenDual(&chip, 128) : OpenSingle(&chip);
      vexa_sim_eeprom_fill(chip, c.fill);
      Texts texts;
      const Texts pristine = texts;
      KX_PROGRAM_DATA read = ReadRecord(&texts);
      std::memset(&read.vendor_id, 0x3C, sizeof read - offsetof(KX_PROGRAM_DATA, vendor_id));
      read.manufacturer = texts.manufacturer;
      read.manufacturer_id = texts.manufacturer_id;
      read.description = texts.description;
      read.serial_number = texts.serial;
      const KX_PROGRAM_DATA snapshot = read;
      EXPECT_EQ(KX_EE_Read(handle, &read), c.status) << dual << " " << c.fill;
      EXPECT_EQ(0, std::memcmp(&read, &snapshot, sizeof read));
      EXPECT_EQ(0, std::memcmp(&texts, &pristine, sizeof texts));

      KX_PROGRAM_DATA_LEGACY legacy;
      std::memset(&legacy, 0x3C, sizeof legacy);
      const KX_PROGRAM_DATA_LEGACY legacy_snapshot = legacy;
      EXPECT_EQ(KX_EE_Read(handle, reinterpret_cast<KX_PROGRAM_DATA *>(&legacy)), c.status);
      EXPECT_EQ(0, std::memcmp(&legacy, &legacy_snapshot, sizeof legacy));

      EXPECT_EQ(UASize(handle), c.user_area) << dual << " " << c.fill;
      uint8_t byte = 0x42;
      uint32_t returned = 99;
      ASSERT_EQ(KX_EE_UARead(handle, &byte, 1, &returned), KX_OK);
      EXPECT_EQ(returned, c.user_area ? 1u : 0u);
      if (c.user_area == 0) {
        EXPECT_EQ(KX_EE_UAWrite(handle, &byte, 1), KX_ERR_EE_WRITE);
        EXPECT_EQ(Words(chip, 2), std::vector<uint16_t>(2, c.fill));
      }
      Close(handle);
    }
  }
}

TEST_F(EepromTest, ChipWithoutEepromAndUnreadableWordsDecodeAsAbsent) {
  AddSingle("S1", "Bridge", 0x0400, 64, 0);
  KX_HANDLE handle = Open(0);
  Texts texts;
  KX_PROGRAM_DATA read = ReadRecord(&texts);
  EXPECT_EQ(KX_EE_Read(handle, &read), KX_ERR_EE_ABSENT);
  Close(handle);
  vexa_sim_reset();

  int chip;
  handle = OpenSingle(&chip);
  KX_PROGRAM_DATA record = ProgramRecord("A", "B", "C");
  ASSERT_EQ(KX_EE_Program(handle, &record), KX_OK);
  // Every word read fails: the words enter the image as 0.
  const vexa_sim_fault fault = Fault(VEXA_SIM_FAULT_CONTROL, -EIO, chip, kReadWord);
  vexa_sim_add_fault(&fault);
  EXPECT_EQ(KX_EE_Read(handle, &read), KX_ERR_EE_ABSENT);
  EXPECT_EQ(texts.serial[0], '#');
  vexa_sim_clear_faults();
  ASSERT_EQ(KX_EE_Read(handle, &read), KX_OK);
  EXPECT_STREQ(texts.serial, "C");
}

TEST_F(EepromTest, FailedWordWriteIsReportedByTheReadBack) {
  int chip;
  KX_HANDLE handle = OpenSingle(&chip);
  const vexa_sim_fault fault =
      Fault(VEXA_SIM_FAULT_CONTROL, -EIO, chip, kWriteWord, /*skip=*/1, /*count=*/1);
  vexa_sim_add_fault(&fault);
  KX_PROGRAM_DATA record = ProgramRecord("A", "B", "12345678");
  EXPECT_EQ(KX_EE_Program(handle, &record), KX_ERR_EE_WRITE);
  uint16_t vendor = 0;
  vexa_sim_eeprom_get(chip, 1, &vendor);
  EXPECT_EQ(vendor, 0xFFFF) << "the failed word stayed erased";

  vexa_sim_clear_faults();
  ASSERT_EQ(KX_EE_Program(handle, &record), KX_OK);
  vexa_sim_add_fault(&fault);
  const uint8_t data[] = {1, 2, 3};
  EXPECT_EQ(KX_EE_UAWrite(handle, data, sizeof data), KX_ERR_EE_WRITE);
}
