// EEPROM configuration through the shared library and the simulated chip:
// whole configurations programmed and read back, the dual-channel size probe,
// the user area, blank or absent EEPROMs, and single words. Huge texts and
// failures at every step are in hostile_input_test and fault_test.
#include <cstring>
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
  // The four decoded texts: manufacturer, its id, description, serial number.
  std::vector<std::string> Strings() const {
    return {manufacturer, manufacturer_id, description, serial};
  }
};
using Strings = std::vector<std::string>;

class EepromTest : public SimTest {
 protected:
  // A fresh bus holding one chip, single- or dual-channel, opened on channel A.
  KX_HANDLE OpenKind(bool dual, int *chip, int words = 64, int no_wrap = 0) {
    CloseAll();
    vexa_sim_reset();
    *chip = AddChip({0, 0, 0, "S1", "Bridge", nullptr, dual ? 2 : 1, 64, words, no_wrap, 0});
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

TEST_F(EepromTest, WorkedExampleProgramsTheExactImage) {
  int chip;
  KX_HANDLE handle = OpenKind(false, &chip);
  KX_PROGRAM_DATA record = ProgramRecord("A", "B", "12345678");
  record.remote_wakeup = 1;
  ASSERT_EQ(KX_EE_Program(handle, &record), KX_OK);
  std::vector<uint16_t> expected = {0x0000, 0x0403, 0x6001, 0x0200, 0x32A0, 0x0000, 0x0000, 0x0494,
                                    0x0498, 0x129C, 0x0304, 0x0041, 0x0304, 0x0042, 0x0312, 0x0031,
                                    0x0032, 0x0033, 0x0034, 0x0035, 0x0036, 0x0037, 0x0038, 0x0302};
  expected.resize(63, 0);
  expected.push_back(0xB35D);
  // The requests that wrote it are counted in fault_test.
  EXPECT_EQ(EepromWords(chip, 64), expected);
}

// Revision 4 keeps every flag, revision 2 hides the gated ones though they are
// written; power is capped at 500 mA; plug-and-play is stored inverted.
TEST_F(EepromTest, SingleChannelRoundTrips) {
  const struct {
    uint8_t rev4;
    uint16_t max_power, plug_and_play, options_word;
    // rev4, USB version, power, plug-and-play, the five flags, self-powered, remote
    // wake-up, then three dual-channel fields: a channel flag kept, the rest cleared
    std::vector<int> back;
  } rows[] = {
      {1, 600, 0, 1, {1, 0x0200, 500, 0, 1, 1, 1, 1, 1, 1, 0, 7, 0, 0}},
      {0, 499, 5, 0, {0, 0x0110, 498, 1, 0, 0, 1, 0, 0, 1, 0, 7, 0, 0}},
  };
  int chip;
  KX_HANDLE handle = OpenKind(false, &chip);
  for (const auto &row : rows) {
    SCOPED_TRACE(testing::Message() << "rev4 " << int(row.rev4) << ", " << row.max_power << " mA");
    KX_PROGRAM_DATA record = ProgramRecord("", "", "S", nullptr);  // a null prefix is no prefix
    record.rev4 = row.rev4;
    record.iso_in = record.iso_out = record.pull_down_enable = 1;
    record.serial_number_enable = record.usb_version_enable = record.self_powered = 1;
    record.usb_version = 0x0200;
    record.max_power = row.max_power;
    record.plug_and_play = row.plug_and_play;
    ASSERT_EQ(KX_EE_Program(handle, &record), KX_OK);
    // Empty texts: descriptors at 20, 22, 24 (serial "S", 4 bytes), prefix at 28, options at 30.
    const std::vector<uint16_t> words = EepromWords(chip, 16);
    EXPECT_EQ(words[5], 0x1F);
    EXPECT_EQ(words[15], row.options_word);

    KX_PROGRAM_DATA r = {};
    r.marker_ones = 0xFFFFFFFFu;
    r.iso_in_a = 7;
    r.b_config_bit3 = 7;
    r.dual_usb_version = 0x7777;
    char serial[64] = "#";
    r.serial_number = serial;  // the other texts are null: skipped
    ASSERT_EQ(KX_EE_Read(handle, &r), KX_OK);
    EXPECT_EQ(std::vector<int>({r.rev4, r.usb_version, r.max_power, r.plug_and_play, r.iso_in,
                                r.iso_out, r.pull_down_enable, r.serial_number_enable,
                                r.usb_version_enable, r.self_powered, r.remote_wakeup, r.iso_in_a,
                                r.b_config_bit3, r.dual_usb_version}),
              row.back);
    EXPECT_STREQ(serial, "S");
  }
}

// The older record form has no markers. It carries the dual-channel fields on
// the dual-channel chip only; on the other they are neither read nor written.
TEST_F(EepromTest, OlderRecordFormRoundTrips) {
  const struct {
    bool dual;
    // A null serial number is generated from the prefix; serial_back is how
    // the one read back begins.
    const char *serial, *serial_back;
    std::vector<int> back;  // rev4, USB version, dual image, B bit 0, dual USB version
  } rows[] = {{false, "LEG42", "LEG42", {1, 0x0200, 0x5A, 0x5A, 0x5A5A}},
              {true, nullptr, "OL", {0, 0, 1, 1, 0x0200}}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.dual ? "dual" : "single");
    int chip;
    KX_HANDLE handle = OpenKind(row.dual, &chip);
    KX_PROGRAM_DATA_LEGACY legacy = {};
    char old[] = "Old", prefix[] = "OL", form[] = "Form";
    legacy.manufacturer = old;
    legacy.manufacturer_id = prefix;
    legacy.description = form;
    legacy.serial_number = const_cast<char *>(row.serial);
    legacy.vendor_id = 0x0403;
    legacy.product_id = 0x6011;
    legacy.max_power = 200;
    legacy.rev4 = legacy.usb_version_enable = legacy.b_config_bit0 = 1;
    legacy.usb_version = legacy.dual_usb_version = 0x0200;
    ASSERT_EQ(KX_EE_Program(handle, reinterpret_cast<KX_PROGRAM_DATA *>(&legacy)), KX_OK);

    Texts texts;
    KX_PROGRAM_DATA_LEGACY r;
    std::memset(&r, 0x5A, sizeof r);
    ASSERT_EQ(KX_EE_Read(handle, reinterpret_cast<KX_PROGRAM_DATA *>(texts.Into(&r))), KX_OK);
    EXPECT_EQ(std::vector<int>({r.vendor_id, r.product_id, r.max_power, r.plug_and_play}),
              std::vector<int>({0x0403, 0x6011, 200, 0}));
    EXPECT_EQ(std::vector<int>({r.rev4, r.usb_version, r.dual_image, r.b_config_bit0,
                                r.dual_usb_version}),
              row.back);
    Strings back = texts.Strings();
    back[3].resize(std::strlen(row.serial_back));
    EXPECT_EQ(back, (Strings{"Old", std::string(row.serial_back, 2), "Form", row.serial_back}));
  }
}

// 48 characters of text fit a single-channel image exactly, 47 a dual-channel
// one; one more is refused before the EEPROM is touched.
TEST_F(EepromTest, TooLongTextsLeaveTheEepromUntouched) {
  const std::string twenty(20, 'x');
  for (bool dual : {false, true}) {
    SCOPED_TRACE(dual ? "dual" : "single");
    int chip;
    KX_HANDLE handle = OpenKind(dual, &chip);
    for (unsigned i = 0; i < 64; ++i) vexa_sim_eeprom_set(chip, i, 0x2222 + i);
    const std::vector<uint16_t> before = EepromWords(chip, 64);
    vexa_sim_log_clear();
    const char *serial_too_long = dual ? "12345678" : "123456789";
    KX_PROGRAM_DATA record = ProgramRecord(twenty.c_str(), twenty.c_str(), serial_too_long);
    EXPECT_EQ(KX_EE_Program(handle, &record), KX_ERR_OTHER);
    EXPECT_EQ(EepromWords(chip, 64), before);
    EXPECT_TRUE(ControlLog(kErase).empty());
    EXPECT_TRUE(ControlLog(kWriteWord).empty());

    const std::string serial = dual ? "1234567" : "12345678";
    record.serial_number = const_cast<char *>(serial.c_str());
    ASSERT_EQ(KX_EE_Program(handle, &record), KX_OK);
    EXPECT_EQ(UASize(handle), 0u);
    Texts texts;
    ReadBack(handle, &texts);
    EXPECT_EQ(texts.Strings(), (Strings{twenty, serial.substr(0, 2), twenty, serial}));
  }
}

// The dual-channel chip probes its part's size: an erase, the probe word at
// 192, then reads until it shows up. A part that neither wraps nor echoes the
// probe is programmed as the small part.
TEST_F(EepromTest, DualChannelProbeProgramAndReadBack) {
  const struct {
    int words, no_wrap;
    uint16_t rom_type, checksum;  // the checksum word ends the image: word 63 or 127
    bool large;
  } parts[] = {{64, 0, 0x46, 0xF9A9, false}, {128, 0, 0x56, 0xFBA9, true},
               {256, 0, 0x66, 0xFDA9, true}, {128, 1, 0x46, 0xF9A9, false}};
  for (const auto &part : parts) {
    SCOPED_TRACE(testing::Message() << part.words << " words" << (part.no_wrap ? ", no wrap" : ""));
    int chip;
    KX_HANDLE handle = OpenKind(true, &chip, part.words, part.no_wrap);
    KX_PROGRAM_DATA record = ProgramRecord("Maker", "Dual bridge", "DS123456");
    record.a_config_bit0 = record.a_config_bit4 = record.b_config_bit2 = 1;
    record.iso_in_b = record.iso_out_a = record.dual_serial_number_enable = 1;
    record.dual_usb_version = 0x0200;
    record.rev4 = 1;  // single-channel fields do not reach a dual image
    record.usb_version = 0x0110;
    vexa_sim_log_clear();
    ASSERT_EQ(KX_EE_Program(handle, &record), KX_OK);

    const auto writes = ControlLog(kWriteWord);
    const unsigned image_words = part.large ? 128 : 64;
    ASSERT_EQ(writes.size(), 1 + image_words);
    EXPECT_EQ(std::vector<int>({writes[0].index, writes[0].value}), std::vector<int>({192, 0xC0}));
    EXPECT_EQ(ControlLog(kErase).size(), 2u) << "one for the probe, one before writing";
    const std::vector<uint16_t> words = EepromWords(chip, image_words);
    EXPECT_EQ((std::vector<uint16_t>{words[0], words[2], words[3], words[5], words[10]}),
              (std::vector<uint16_t>{0x0411, 0x6001, 0x0500, 0x002A, part.rom_type}));
    EXPECT_EQ(words[image_words - 1], part.checksum);
    if (part.no_wrap) {
      EXPECT_EQ(EepromWords(chip, 65)[64], 0xFFFF) << "only 64 words written after the erase";
    }
    // The manufacturer's descriptor at byte 22, moved 128 bytes on in a large part.
    EXPECT_EQ(words[part.large ? 75 : 11], 0x030C);
    EXPECT_EQ(UASize(handle), part.large ? 106u : 94u - 2 * (5 + 11 + 8));

    Texts texts;
    KX_PROGRAM_DATA start = {};
    start.rev4 = 9;
    start.usb_version = 9;
    const KX_PROGRAM_DATA r = ReadBack(handle, &texts, start);
    EXPECT_EQ(std::vector<int>({r.dual_image, r.rev4, r.usb_version, r.product_id,
                                r.dual_usb_version}),
              std::vector<int>({1, 0, 0, 0x6001, 0x0200}));
    EXPECT_EQ(texts.Strings(), (Strings{"Maker", "DS", "Dual bridge", "DS123456"}));
    EXPECT_EQ(std::vector<int>({r.a_config_bit0, r.a_config_bit4, r.a_config_bit1, r.b_config_bit2,
                                r.b_config_bit4, r.iso_in_b, r.iso_out_a, r.iso_in_a, r.iso_out_b,
                                r.dual_serial_number_enable, r.dual_pull_down_enable}),
              std::vector<int>({1, 1, 0, 1, 0, 1, 1, 0, 0, 1, 0}));
  }
}

// The user area of a small single-channel image (words 25 to 62) and of a
// large dual-channel one, whose strings moved up (words 11 to 63): it fits
// exactly, refuses one byte more untouched, and keeps the checksum last.
TEST_F(EepromTest, UserAreaFitsExactlyAndRefusesOneByteMore) {
  const struct {
    bool dual;
    uint32_t size;
    unsigned first_word, last_word, checksum_word;
    uint16_t checksum;
  } layouts[] = {{false, 76, 25, 62, 63, 0xC2A0}, {true, 106, 11, 63, 127, 0xE14E}};
  for (const auto &layout : layouts) {
    SCOPED_TRACE(layout.dual ? "dual" : "single");
    int chip;
    KX_HANDLE handle = OpenKind(layout.dual, &chip, 256);
    const char *maker = layout.dual ? "A much longer maker name" : "A";
    KX_PROGRAM_DATA record = ProgramRecord(maker, "B", "12345678");
    ASSERT_EQ(KX_EE_Program(handle, &record), KX_OK);
    ASSERT_EQ(UASize(handle), layout.size);

    // Programming zeroes the area (a read past it: hostile_input_test).
    std::vector<uint8_t> out(layout.size, 0xEE);
    uint32_t returned = 0;
    ASSERT_EQ(KX_EE_UARead(handle, out.data(), layout.size, &returned), KX_OK);
    EXPECT_EQ(out, std::vector<uint8_t>(layout.size, 0));

    std::vector<uint8_t> data(layout.size + 1);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0xC0 + i * 7);
    ASSERT_EQ(KX_EE_UAWrite(handle, data.data(), layout.size), KX_OK);
    std::vector<uint16_t> words = EepromWords(chip, layout.checksum_word + 1);
    EXPECT_EQ(words[layout.first_word], data[1] << 8 | data[0]);
    EXPECT_EQ(words[layout.last_word], data[layout.size - 1] << 8 | data[layout.size - 2]);
    EXPECT_EQ(words[layout.checksum_word], layout.checksum);
    vexa_sim_log_clear();
    EXPECT_EQ(KX_EE_UAWrite(handle, data.data(), layout.size + 1), KX_ERR_EE_WRITE);
    EXPECT_EQ(EepromWords(chip, layout.checksum_word + 1), words);
    EXPECT_TRUE(ControlLog(kErase).empty());
    EXPECT_TRUE(ControlLog(kWriteWord).empty());
    ASSERT_EQ(KX_EE_UARead(handle, out.data(), layout.size, &returned), KX_OK);
    EXPECT_EQ(out, std::vector<uint8_t>(data.begin(), data.end() - 1));

    // A short write keeps the rest; length 0 rewrites the same image, configuration included.
    const uint8_t two[] = {1, 2};
    ASSERT_EQ(KX_EE_UAWrite(handle, two, 2), KX_OK);
    ASSERT_EQ(KX_EE_UAWrite(handle, two, 0), KX_OK);
    words = EepromWords(chip, layout.checksum_word + 1);
    EXPECT_EQ(words[layout.first_word], 0x0201);
    EXPECT_EQ(words[layout.first_word + 1], data[3] << 8 | data[2]);
    Texts texts;
    ReadBack(handle, &texts);
    EXPECT_STREQ(texts.serial, "12345678");
  }
}

// A blank (erased) or absent (all-zero) configuration is reported, and the
// record of either form is left as it was.
TEST_F(EepromTest, BlankAndAbsentEepromsLeaveTheRecordUntouched) {
  const struct {
    uint16_t fill;
    KX_STATUS status;
    uint32_t user_area;
  } cases[] = {{0xFFFF, KX_ERR_EE_BLANK, 0}, {0x0000, KX_ERR_EE_ABSENT, 124}};
  for (bool dual : {false, true}) {
    for (const auto &c : cases) {
      SCOPED_TRACE(testing::Message() << (dual ? "dual" : "single") << ", fill " << c.fill);
      int chip;
      KX_HANDLE handle = OpenKind(dual, &chip, 128);
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
      const uint8_t byte = 0x42;
      if (c.user_area == 0) {
        EXPECT_EQ(KX_EE_UAWrite(handle, &byte, 1), KX_ERR_EE_WRITE);
        EXPECT_EQ(EepromWords(chip, 2), std::vector<uint16_t>(2, c.fill));
      }
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
  for (const auto &e : ControlLog())
    sent.push_back({e.request_type, e.request, e.value, e.index, e.length});
  const std::vector<std::vector<int>> expected = {
      {0x40, 0x91, 0x0102, 2, 0}, {0xC0, 0x90, 0, 2, 2},        {0xC0, 0x90, 0, 255, 2},
      {0xC0, 0x90, 0, 256, 2},    {0x40, 0x91, 0x0102, 256, 0}, {0x40, 0x92, 0, 0, 0}};
  EXPECT_EQ(sent, expected);
  EXPECT_EQ(EepromWords(chip, 256), std::vector<uint16_t>(256, 0xFFFF));

  // A short reply is an I/O error and stores nothing (failed requests: fault_test).
  for (int length : {1, 0}) {
    Inject(Fault(VEXA_SIM_FAULT_CONTROL, length, -1, kReadWord, 0, 1));
    word = 0x7777;
    EXPECT_EQ(KX_ReadEE(b, 3, &word), KX_ERR_IO) << length;
    EXPECT_EQ(word, 0x7777);
  }
}

}  // namespace
