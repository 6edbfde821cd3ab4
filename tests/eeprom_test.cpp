// EEPROM configuration through the shared library and the simulated chip:
// whole configurations programmed and read back, the dual-channel size probe,
// the user area, blank or absent EEPROMs, and single words. Huge texts and
// failures at every step are in hostile_input_test and fault_test.
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
  // Points a record of either form at these buffers.
  template <typename Record>
  Record *Into(Record *record) {
    record->manufacturer = manufacturer;
    record->manufacturer_id = manufacturer_id;
    record->description = description;
    record->serial_number = serial;
    return record;
  }
};

// The four decoded texts: manufacturer, its id, description, serial number.
using Strings = std::vector<std::string>;
Strings TextsOf(const Texts &t) { return {t.manufacturer, t.manufacturer_id, t.description, t.serial}; }

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
  for (unsigned i = 0; i < words; ++i) vexa_sim_eeprom_set(chip, i, static_cast<uint16_t>(seed + i * 0x0101));
}

class EepromTest : public SimTest {
 protected:
  KX_HANDLE OpenDual(int *chip, int words, int no_wrap = 0) {
    vexa_sim_chip_config config = {};
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
  static KX_PROGRAM_DATA ReadBack(KX_HANDLE handle, Texts *texts, KX_PROGRAM_DATA start = {}) {
    start.marker_zero = 0;
    start.marker_ones = 0xFFFFFFFFu;
    EXPECT_EQ(KX_EE_Read(handle, texts->Into(&start)), KX_OK);
    return start;
  }
};

TEST_F(EepromTest, WorkedExampleProgramsTheExactImageAndReadsBack) {
  int chip = AddSingle("S1", "Bridge");
  KX_HANDLE handle = Open(0);
  Fill(chip, 64, 0x1111);
  KX_PROGRAM_DATA record = ProgramRecord("A", "B", "12345678");
  record.remote_wakeup = 1;
  vexa_sim_log_clear();
  ASSERT_EQ(KX_EE_Program(handle, &record), KX_OK);
  std::vector<uint16_t> expected = {0x0000, 0x0403, 0x6001, 0x0200, 0x32A0, 0x0000, 0x0000, 0x0494,
                                    0x0498, 0x129C, 0x0304, 0x0041, 0x0304, 0x0042, 0x0312, 0x0031,
                                    0x0032, 0x0033, 0x0034, 0x0035, 0x0036, 0x0037, 0x0038, 0x0302};
  expected.resize(63, 0);
  expected.push_back(0xB35D);
  EXPECT_EQ(EepromWords(chip, 64), expected);
  // Erase once, then one write per word in order, then a full read-back.
  EXPECT_EQ(ControlLog(kErase).size(), 1u);
  const auto writes = ControlLog(kWriteWord);
  ASSERT_EQ(writes.size(), 64u);
  for (unsigned i = 0; i < 64; ++i) EXPECT_EQ(writes[i].index, i);
  EXPECT_EQ(ControlLog(kReadWord).size(), 64u);
  EXPECT_EQ(UASize(handle), 76u);

  Texts texts;
  const KX_PROGRAM_DATA read = ReadBack(handle, &texts);
  EXPECT_EQ(TextsOf(texts), (Strings{"A", "12", "B", "12345678"})) << "the id is the serial's start";
  // A revision-2 image reports USB 1.1.
  EXPECT_EQ(std::vector<int>({read.vendor_id, read.product_id, read.max_power, read.plug_and_play, read.remote_wakeup,
                              read.self_powered, read.usb_version, read.rev4, read.dual_image}),
            std::vector<int>({0x0403, 0x6001, 100, 1, 1, 0, 0x0110, 0, 0}));
}

// Revision 4 keeps every flag, revision 2 hides the gated ones though they are
// written; power is capped at 500 mA in 2 mA units; plug-and-play is stored inverted.
TEST_F(EepromTest, SingleChannelRoundTrips) {
  const struct {
    uint8_t rev4;
    uint16_t max_power, plug_and_play;
    uint8_t flags_back[5];  // iso in, iso out, pull-down, serial enable, USB-version enable
    uint16_t usb_version_back, power_byte, power_back, options_word, pnp_back;
  } rows[] = {
      {1, 600, 0, {1, 1, 1, 1, 1}, 0x0200, 250, 500, 1, 0},
      {0, 91, 5, {0, 0, 1, 0, 0}, 0x0110, 45, 90, 0, 1},
      {1, 500, 1, {1, 1, 1, 1, 1}, 0x0200, 250, 500, 0, 1},
  };
  int chip = AddSingle("S1", "Bridge");
  KX_HANDLE handle = Open(0);
  for (const auto &row : rows) {
    SCOPED_TRACE(testing::Message() << "rev4 " << int(row.rev4) << ", " << row.max_power << " mA");
    KX_PROGRAM_DATA record = ProgramRecord("", "", "S");
    record.product_id = 0x6015;
    record.rev4 = row.rev4;
    record.iso_in = record.iso_out = record.pull_down_enable = 1;
    record.serial_number_enable = record.usb_version_enable = 1;
    record.usb_version = 0x0200;
    record.self_powered = 1;
    record.max_power = row.max_power;
    record.plug_and_play = row.plug_and_play;
    ASSERT_EQ(KX_EE_Program(handle, &record), KX_OK);
    const std::vector<uint16_t> words = EepromWords(chip, 16);
    EXPECT_EQ(words[3], row.rev4 ? 0x0400 : 0x0200);
    EXPECT_EQ(words[4] >> 8, row.power_byte);
    EXPECT_EQ(words[5], 0x1F) << "the flags are written whatever the revision";
    // Empty texts: descriptors at 20, 22, 24 (serial "S", 4 bytes), prefix at 28, options at 30.
    EXPECT_EQ(words[15], row.options_word);

    KX_PROGRAM_DATA start = {};
    start.iso_in_a = 7;  // the channel flags of the dual chip are left alone, the rest cleared
    start.b_config_bit3 = 7;
    start.dual_usb_version = 0x7777;
    Texts texts;
    const KX_PROGRAM_DATA read = ReadBack(handle, &texts, start);
    const uint8_t flags[5] = {read.iso_in, read.iso_out, read.pull_down_enable,
                              read.serial_number_enable, read.usb_version_enable};
    EXPECT_EQ(std::memcmp(flags, row.flags_back, 5), 0);
    EXPECT_EQ(std::vector<int>({read.rev4, read.usb_version, read.max_power, read.plug_and_play, read.product_id,
                                read.self_powered, read.remote_wakeup, read.iso_in_a, read.b_config_bit3,
                                read.dual_usb_version}),
              std::vector<int>({row.rev4, row.usb_version_back, row.power_back, row.pnp_back, 0x6015, 1, 0, 7, 0, 0}));
    EXPECT_STREQ(texts.serial, "S");
  }
  // Null text pointers are skipped when reading.
  KX_PROGRAM_DATA bare = {};
  bare.marker_ones = 0xFFFFFFFFu;
  EXPECT_EQ(KX_EE_Read(handle, &bare), KX_OK);
  EXPECT_EQ(bare.vendor_id, 0x0403);
}

TEST_F(EepromTest, OlderRecordFormOnASingleChannelChipEndsAtUsbVersion) {
  AddSingle("S1", "Bridge");
  KX_HANDLE handle = Open(0);
  KX_PROGRAM_DATA_LEGACY legacy = {};
  char old[] = "Old", prefix[] = "OL", form[] = "Form", serial[] = "LEG42";
  legacy.manufacturer = old;
  legacy.manufacturer_id = prefix;
  legacy.description = form;
  legacy.serial_number = serial;
  legacy.vendor_id = 0x0403;
  legacy.max_power = 200;
  legacy.rev4 = legacy.usb_version_enable = 1;
  legacy.usb_version = 0x0200;
  ASSERT_EQ(KX_EE_Program(handle, reinterpret_cast<KX_PROGRAM_DATA *>(&legacy)), KX_OK);

  Texts texts;
  KX_PROGRAM_DATA_LEGACY read;
  std::memset(&read, 0x5A, sizeof read);
  ASSERT_EQ(KX_EE_Read(handle, reinterpret_cast<KX_PROGRAM_DATA *>(texts.Into(&read))), KX_OK);
  EXPECT_EQ(std::vector<int>({read.vendor_id, read.max_power, read.plug_and_play, read.rev4, read.usb_version_enable,
                              read.usb_version, read.iso_in, read.dual_image, read.b_config_bit3}),
            std::vector<int>({0x0403, 200, 0, 1, 1, 0x0200, 0, 0x5A, 0x5A}))
      << "the dual-channel fields of the older form are left alone";
  EXPECT_EQ(TextsOf(texts), (Strings{"Old", "LE", "Form", "LEG42"}));
}

TEST_F(EepromTest, GeneratedAndGivenSerialNumbers) {
  AddSingle("S1", "Bridge");
  KX_HANDLE handle = Open(0);
  Texts texts;
  for (const char *given : {static_cast<const char *>(nullptr), ""}) {
    KX_PROGRAM_DATA record = ProgramRecord("", "", given, "QZ");
    ASSERT_EQ(KX_EE_Program(handle, &record), KX_OK);
    ReadBack(handle, &texts);
    const std::string serial = texts.serial;
    ASSERT_EQ(serial.size(), 8u) << serial;
    EXPECT_EQ(serial.substr(0, 2), "QZ");
    EXPECT_EQ(UASize(handle), 80u) << "empty texts and an eight-character serial";
  }
  // A given serial number wins over the prefix.
  KX_PROGRAM_DATA record = ProgramRecord("", "", "ZZ99", "QZ");
  ASSERT_EQ(KX_EE_Program(handle, &record), KX_OK);
  ReadBack(handle, &texts);
  EXPECT_EQ(TextsOf(texts), (Strings{"", "ZZ", "", "ZZ99"}));
  // A null prefix is the empty prefix: the generated serial is empty too.
  record = ProgramRecord("M", "D", nullptr, nullptr);
  ASSERT_EQ(KX_EE_Program(handle, &record), KX_OK);
  ReadBack(handle, &texts);
  EXPECT_EQ(TextsOf(texts), (Strings{"M", "", "D", ""}));
}

// 48 characters of text fit a single-channel image exactly, 47 a dual-channel
// one; one more is refused before the EEPROM is touched.
TEST_F(EepromTest, TooLongTextsLeaveTheEepromUntouched) {
  const std::string twenty(20, 'x');
  for (bool dual : {false, true}) {
    SCOPED_TRACE(dual ? "dual" : "single");
    vexa_sim_reset();
    int chip = dual ? -1 : AddSingle("S1", "Bridge");
    KX_HANDLE handle = dual ? OpenDual(&chip, 64) : Open(0);
    Fill(chip, 64, 0x2222);
    const std::vector<uint16_t> before = EepromWords(chip, 64);
    vexa_sim_log_clear();
    KX_PROGRAM_DATA record = ProgramRecord(twenty.c_str(), twenty.c_str(), dual ? "12345678" : "123456789");
    EXPECT_EQ(KX_EE_Program(handle, &record), KX_ERR_OTHER);
    EXPECT_EQ(EepromWords(chip, 64), before);
    EXPECT_TRUE(ControlLog(kErase).empty());
    EXPECT_TRUE(ControlLog(kWriteWord).empty());

    record.serial_number = const_cast<char *>(dual ? "1234567" : "12345678");
    ASSERT_EQ(KX_EE_Program(handle, &record), KX_OK);
    EXPECT_EQ(UASize(handle), 0u);
    Texts texts;
    ReadBack(handle, &texts);
    const std::string serial = record.serial_number;
    EXPECT_EQ(TextsOf(texts), (Strings{twenty, serial.substr(0, 2), twenty, serial}));
    Close(handle);
  }
}

struct DualCase {
  int words;
  uint16_t rom_type;
  bool large;
  int no_wrap;  // a part that neither wraps nor echoes the probe is programmed small
};

void PrintTo(const DualCase &c, std::ostream *os) { *os << c.words << " words" << (c.no_wrap ? ", no wrap" : ""); }

class DualEepromTest : public EepromTest, public ::testing::WithParamInterface<DualCase> {};

TEST_P(DualEepromTest, ProbeProgramAndReadBack) {
  const DualCase param = GetParam();
  int chip;
  KX_HANDLE handle = OpenDual(&chip, param.words, param.no_wrap);
  Fill(chip, static_cast<unsigned>(param.words), 0x3333);
  KX_PROGRAM_DATA record = ProgramRecord("Maker", "Dual bridge", "DS123456");
  record.product_id = 0x6010;
  record.a_config_bit0 = record.a_config_bit4 = record.b_config_bit2 = 1;
  record.iso_in_b = record.iso_out_a = record.dual_serial_number_enable = 1;
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
  const std::vector<uint16_t> words = EepromWords(chip, static_cast<unsigned>(image_words));
  EXPECT_EQ((std::vector<uint16_t>{words[0], words[2], words[3], words[5], words[10]}),
            (std::vector<uint16_t>{0x0411, 0x6010, 0x0500, 0x002A, param.rom_type}));
  EXPECT_EQ(words[image_words - 1], Checksum(words, image_words - 1));
  if (param.no_wrap) {
    const auto reads = ControlLog(kReadWord);
    ASSERT_GE(reads.size(), 3u);
    EXPECT_EQ((std::vector<int>{reads[0].index, reads[1].index, reads[2].index}), (std::vector<int>{0, 64, 192}));
    EXPECT_EQ(EepromWords(chip, 65)[64], 0xFFFF) << "only 64 words written after the erase";
  }
  if (param.large) {
    // Strings moved to the upper half; the user area below is all zero.
    EXPECT_EQ(words[75], 0x030C) << "manufacturer descriptor at byte 150";
    EXPECT_EQ(std::vector<uint16_t>(words.begin() + 11, words.begin() + 64), std::vector<uint16_t>(53, 0));
    EXPECT_EQ(UASize(handle), 106u);
  } else {
    EXPECT_EQ(words[11], 0x030C) << "manufacturer descriptor at byte 22";
    EXPECT_EQ(UASize(handle), 94u - 2 * (5 + 11 + 8));
  }

  Texts texts;
  KX_PROGRAM_DATA start = {};
  start.rev4 = 9;
  start.usb_version = 9;
  const KX_PROGRAM_DATA read = ReadBack(handle, &texts, start);
  EXPECT_EQ(std::vector<int>({read.dual_image, read.rev4, read.usb_version, read.product_id}),
            std::vector<int>({1, 0, 0, 0x6010}));
  EXPECT_EQ(TextsOf(texts), (Strings{"Maker", "DS", "Dual bridge", "DS123456"}));
  const uint8_t flags[] = {read.a_config_bit0, read.a_config_bit4, read.a_config_bit1, read.b_config_bit2,
                           read.b_config_bit4, read.iso_in_b, read.iso_out_a, read.iso_in_a,
                           read.iso_out_b, read.dual_serial_number_enable, read.dual_pull_down_enable};
  const uint8_t expected_flags[] = {1, 1, 0, 1, 0, 1, 1, 0, 0, 1, 0};
  EXPECT_EQ(std::memcmp(flags, expected_flags, sizeof flags), 0);
  EXPECT_EQ(read.dual_usb_version, 0x0200);

  // The older form carries the dual-channel fields on this chip, both ways.
  KX_PROGRAM_DATA_LEGACY legacy = {};
  legacy.manufacturer = texts.manufacturer;
  legacy.serial_number = texts.serial;
  ASSERT_EQ(KX_EE_Read(handle, reinterpret_cast<KX_PROGRAM_DATA *>(&legacy)), KX_OK);
  EXPECT_EQ(legacy.dual_image + legacy.b_config_bit2, 2);
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
  const KX_PROGRAM_DATA again = ReadBack(handle, &texts);
  EXPECT_EQ(std::vector<int>({again.product_id, again.b_config_bit0, again.b_config_bit2}),
            std::vector<int>({0x6011, 1, 0}));
  EXPECT_STREQ(texts.manufacturer, "Older");
  EXPECT_EQ(std::string(texts.serial).substr(0, 2), "OL");
}

INSTANTIATE_TEST_SUITE_P(Sizes, DualEepromTest,
                         ::testing::Values(DualCase{64, 0x46, false, 0}, DualCase{128, 0x56, true, 0},
                                           DualCase{256, 0x66, true, 0}, DualCase{128, 0x46, false, 1}),
                         [](const ::testing::TestParamInfo<DualCase> &info) {
                           return "Words" + std::to_string(info.param.words) + (info.param.no_wrap ? "NoWrap" : "");
                         });

// The user area of a small single-channel image (words 25 to 62) and of a
// large dual-channel one, whose strings moved up (words 11 to 63): it fits
// exactly, refuses one byte more untouched, and keeps the checksum last.
TEST_F(EepromTest, UserAreaFitsExactlyAndRefusesOneByteMore) {
  const struct {
    bool dual;
    uint32_t size;
    unsigned first_word, checksum_word;
  } layouts[] = {{false, 76, 25, 63}, {true, 106, 11, 127}};
  for (const auto &layout : layouts) {
    SCOPED_TRACE(layout.dual ? "dual" : "single");
    vexa_sim_reset();
    int chip = layout.dual ? -1 : AddSingle("S1", "Bridge");
    KX_HANDLE handle = layout.dual ? OpenDual(&chip, 256) : Open(0);
    KX_PROGRAM_DATA record = ProgramRecord(layout.dual ? "A much longer maker name" : "A", "B", "12345678");
    ASSERT_EQ(KX_EE_Program(handle, &record), KX_OK);
    ASSERT_EQ(UASize(handle), layout.size);

    // A read larger than the area gets the area; length 0 touches nothing.
    std::vector<uint8_t> out(200, 0xEE);
    uint32_t returned = 1234;
    vexa_sim_log_clear();
    EXPECT_EQ(KX_EE_UARead(handle, out.data(), 0, &returned), KX_OK);
    EXPECT_TRUE(ControlLog().empty());
    EXPECT_EQ(returned, 1234u);
    ASSERT_EQ(KX_EE_UARead(handle, out.data(), 200, &returned), KX_OK);
    EXPECT_EQ(returned, layout.size);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + layout.size), std::vector<uint8_t>(layout.size, 0));
    EXPECT_EQ(out[layout.size], 0xEE);

    std::vector<uint8_t> data(layout.size + 1);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0xC0 + i * 7);
    ASSERT_EQ(KX_EE_UAWrite(handle, data.data(), layout.size), KX_OK);
    std::vector<uint16_t> words = EepromWords(chip, layout.checksum_word + 1);
    EXPECT_EQ(words[layout.first_word], data[1] << 8 | data[0]);
    EXPECT_EQ(words[layout.checksum_word - (layout.dual ? 64 : 1)], data[layout.size - 1] << 8 | data[layout.size - 2]);
    EXPECT_EQ(words[layout.checksum_word], Checksum(words, layout.checksum_word));
    vexa_sim_log_clear();
    EXPECT_EQ(KX_EE_UAWrite(handle, data.data(), layout.size + 1), KX_ERR_EE_WRITE);
    EXPECT_EQ(EepromWords(chip, layout.checksum_word + 1), words);
    EXPECT_TRUE(ControlLog(kErase).empty());
    EXPECT_TRUE(ControlLog(kWriteWord).empty());
    ASSERT_EQ(KX_EE_UARead(handle, out.data(), layout.size, &returned), KX_OK);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + layout.size),
              std::vector<uint8_t>(data.begin(), data.end() - 1));

    // A short write keeps the rest; length 0 rewrites the same image, configuration included.
    const uint8_t two[] = {1, 2};
    ASSERT_EQ(KX_EE_UAWrite(handle, two, 2), KX_OK);
    ASSERT_EQ(KX_EE_UAWrite(handle, two, 0), KX_OK);
    words = EepromWords(chip, layout.checksum_word + 1);
    EXPECT_EQ(words[layout.first_word], 0x0201);
    EXPECT_EQ(words[layout.first_word + 1], data[3] << 8 | data[2]);
    Texts texts;
    ReadBack(handle, &texts);
    EXPECT_EQ(TextsOf(texts)[3], "12345678");
    Close(handle);
  }
}

TEST_F(EepromTest, BlankAndAbsentEepromsLeaveTheRecordUntouched) {
  const struct {
    uint16_t fill;
    KX_STATUS status;
    uint32_t user_area;
  } cases[] = {{0xFFFF, KX_ERR_EE_BLANK, 0}, {0x0000, KX_ERR_EE_ABSENT, 124}};
  for (bool dual : {false, true}) {
    for (const auto &c : cases) {
      SCOPED_TRACE(testing::Message() << (dual ? "dual" : "single") << ", fill " << c.fill);
      vexa_sim_reset();
      int chip = dual ? -1 : AddSingle("S1", "Bridge");
      KX_HANDLE handle = dual ? OpenDual(&chip, 128) : Open(0);
      vexa_sim_eeprom_fill(chip, c.fill);
      // Filled byte for byte, so that the padding the comparisons read is defined too.
      Texts texts;
      const Texts pristine = texts;
      KX_PROGRAM_DATA read, snapshot;
      std::memset(&read, 0x3C, sizeof read);
      read.marker_zero = read.layout_version = 0;
      read.marker_ones = 0xFFFFFFFFu;
      std::memcpy(&snapshot, texts.Into(&read), sizeof read);
      EXPECT_EQ(KX_EE_Read(handle, &read), c.status);
      EXPECT_EQ(0, std::memcmp(&read, &snapshot, sizeof read));
      EXPECT_EQ(0, std::memcmp(&texts, &pristine, sizeof texts));
      KX_PROGRAM_DATA_LEGACY legacy, legacy_snapshot;
      std::memset(&legacy, 0x3C, sizeof legacy);
      std::memcpy(&legacy_snapshot, &legacy, sizeof legacy);
      EXPECT_EQ(KX_EE_Read(handle, reinterpret_cast<KX_PROGRAM_DATA *>(&legacy)), c.status);
      EXPECT_EQ(0, std::memcmp(&legacy, &legacy_snapshot, sizeof legacy));

      EXPECT_EQ(UASize(handle), c.user_area);
      uint8_t byte = 0x42;
      uint32_t returned = 99;
      ASSERT_EQ(KX_EE_UARead(handle, &byte, 1, &returned), KX_OK);
      EXPECT_EQ(returned, c.user_area ? 1u : 0u);
      if (c.user_area == 0) {
        EXPECT_EQ(KX_EE_UAWrite(handle, &byte, 1), KX_ERR_EE_WRITE);
        EXPECT_EQ(EepromWords(chip, 2), std::vector<uint16_t>(2, c.fill));
      }
      Close(handle);
    }
  }
}

// Channel B addresses the part with plain word addresses, as A does; 256 is
// the last offset taken, and erasing clears the whole part.
TEST_F(EepromTest, SingleWordsReadWriteAndEraseRequests) {
  int chip = AddDual("D1", "Dual", 64, 256);
  ASSERT_EQ(vexa_sim_eeprom_set(chip, 255, 0xA55A), 0);
  Open(0);
  KX_HANDLE b = Open(1);
  vexa_sim_log_clear();
  unsigned short word = 0;
  EXPECT_EQ(KX_WriteEE(b, 2, 0x0102), KX_OK);
  EXPECT_EQ(KX_ReadEE(b, 2, &word), KX_OK);
  EXPECT_EQ(word, 0x0102) << "the reply is assembled low byte first";
  EXPECT_EQ(KX_ReadEE(b, 255, &word), KX_OK);
  EXPECT_EQ(word, 0xA55A);
  EXPECT_EQ(KX_ReadEE(b, 256, &word), KX_OK);
  EXPECT_EQ(KX_WriteEE(b, 256, 0x0102), KX_OK);
  EXPECT_EQ(KX_EraseEE(b), KX_OK);
  // The requests as {type, request, value, index, length}.
  std::vector<std::vector<int>> sent;
  for (const auto &e : ControlLog()) sent.push_back({e.request_type, e.request, e.value, e.index, e.length});
  EXPECT_EQ(sent, (std::vector<std::vector<int>>{{0x40, 0x91, 0x0102, 2, 0}, {0xC0, 0x90, 0, 2, 2},
                                                 {0xC0, 0x90, 0, 255, 2}, {0xC0, 0x90, 0, 256, 2},
                                                 {0x40, 0x91, 0x0102, 256, 0}, {0x40, 0x92, 0, 0, 0}}));
  EXPECT_EQ(EepromWords(chip, 256), std::vector<uint16_t>(256, 0xFFFF));

  // A failed or short reply is an I/O error and stores nothing.
  const struct {
    int request, result;
  } rows[] = {{0x90, 1}, {0x90, 0}, {0x90, -5}, {0x91, -5}, {0x92, -5}};
  for (const auto &row : rows) {
    SCOPED_TRACE(testing::Message() << "request 0x" << std::hex << row.request << " gives " << row.result);
    Inject(Fault(VEXA_SIM_FAULT_CONTROL, row.result, -1, row.request, 0, 1));
    word = 0x7777;
    const KX_STATUS status = row.request == 0x90   ? KX_ReadEE(b, 3, &word)
                             : row.request == 0x91 ? KX_WriteEE(b, 6, 0x1111)
                                                   : KX_EraseEE(b);
    EXPECT_EQ(status, KX_ERR_IO);
    EXPECT_EQ(word, 0x7777);
  }
}

}  // namespace
