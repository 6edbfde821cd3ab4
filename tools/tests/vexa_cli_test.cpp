// The vexa commands, run in-process against simulated chips: their output,
// their exit status and what the chip saw on the wire.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "sim_fixture.h"

using nlohmann::json;
using vexa_tool::Context;

namespace {

struct Result {
  int code;
  std::string out, err;
};

std::string temp_path(const std::string &name) {
  return ::testing::TempDir() + "vexa_cli_" + name + "_" + std::to_string(getpid());
}

std::string read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

int count_lines(const std::string &text) {
  int n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

class CliTest : public SimTest {
 protected:
  Result Run(std::vector<std::string> args, const std::string &input = "") {
    std::istringstream in(input);
    std::ostringstream out, err;
    args.insert(args.begin(), "vexa");
    Context ctx{in, out, err, -1, -1, false};
    const int code = vexa_tool::run_vexa(args, ctx);
    return {code, out.str(), err.str()};
  }

  // A failure is one line that names the status.
  static void ExpectFailure(const Result &r, const std::string &status_name) {
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    EXPECT_NE(r.err.find(status_name), std::string::npos) << r.err;
    EXPECT_EQ(count_lines(r.err), 1) << r.err;
  }

  static uint16_t Word(int chip, unsigned address) {
    uint16_t w = 0;
    vexa_sim_eeprom_get(chip, address, &w);
    return w;
  }
};

// ---- list and info -------------------------------------------------------

TEST_F(CliTest, ListShowsEveryChannelWithLettersTypesAndIds) {
  AddDual("AB12", "Dual bridge");
  AddSingle("CD34", "Single bridge");
  Result r = Run({"list"});
  ASSERT_EQ(r.code, 0) << r.err;
  std::istringstream lines(r.out);
  std::string header, a, b, single;
  std::getline(lines, header);
  std::getline(lines, a);
  std::getline(lines, b);
  std::getline(lines, single);
  EXPECT_EQ(a.rfind("0", 0), 0u);
  EXPECT_NE(a.find("AB12 A"), std::string::npos);
  EXPECT_NE(a.find("Dual bridge A"), std::string::npos);
  EXPECT_NE(a.find("DUAL"), std::string::npos);
  EXPECT_NE(a.find("0403:6010"), std::string::npos);
  EXPECT_NE(b.find("AB12 B"), std::string::npos);
  EXPECT_NE(single.find("CD34"), std::string::npos);
  EXPECT_NE(single.find("BCD0400"), std::string::npos);
  EXPECT_NE(single.find("0403:6001"), std::string::npos);
}

TEST_F(CliTest, ListJsonIsMachineReadableAndEmptyBusIsAnEmptyArray) {
  Result empty = Run({"list", "--json"});
  ASSERT_EQ(empty.code, 0);
  EXPECT_EQ(json::parse(empty.out), json::array());
  EXPECT_NE(Run({"list"}).out.find("no channels found"), std::string::npos);

  AddDual("AB12", "Dual bridge");
  AddSingle("CD34", "Single bridge", 0x0200);
  json list = json::parse(Run({"list", "--json"}).out);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[1]["index"], 1);
  EXPECT_EQ(list[1]["serial"], "AB12 B");
  EXPECT_EQ(list[1]["description"], "Dual bridge B");
  EXPECT_EQ(list[1]["type_code"], KX_DEVICE_DUAL);
  EXPECT_EQ(list[2]["type"], "BCD0200");
  EXPECT_EQ(list[2]["vendor_id"], 0x0403);
  EXPECT_EQ(list[2]["product_id"], 0x6001);
}

TEST_F(CliTest, ListKeepsAChannelThatIsBusyElsewhereWithoutItsType) {
  AddSingle("CD34", "Single bridge");
  AddSingle("EF56", "Other bridge");
  Open(1);  // held by "another program"
  json list = json::parse(Run({"list", "--json"}).out);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0]["type"], "BCD0400");
  EXPECT_EQ(list[1]["serial"], "EF56");
  EXPECT_TRUE(list[1]["type"].is_null());
}

TEST_F(CliTest, InfoReportsModemStatusLatencyAndBitMode) {
  int chip = AddSingle("CD34", "Single bridge");
  vexa_sim_set_status(chip, 0, KX_MODEM_CTS | KX_MODEM_DCD, 0);
  Result r = Run({"info", "0"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("serial:        CD34\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("type:          BCD0400 (0)"), std::string::npos);
  EXPECT_NE(r.out.find("modem status:  0x90 (CTS DCD)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("latency timer: 16 ms"), std::string::npos);

  json j = json::parse(Run({"info", "0", "--json"}).out);
  EXPECT_EQ(j["modem_status"], 0x90);
  EXPECT_EQ(j["latency_timer"], 16);
  EXPECT_EQ(j["product_id"], 0x6001);
}

TEST_F(CliTest, InfoOnAChipWithoutLatencyTimerSaysNotSupported) {
  AddSingle("R2CHIP", "Old bridge", 0x0200);
  Result r = Run({"info", "serial:R2CHIP"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("latency timer: not supported"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("bit mode:      not supported"), std::string::npos);
  EXPECT_TRUE(json::parse(Run({"info", "0", "--json"}).out)["latency_timer"].is_null());
}

// ---- naming a channel ------------------------------------------------------

TEST_F(CliTest, DeviceCanBeNamedByIndexSerialOrDescriptionWithChannelLetter) {
  AddDual("AB12", "Dual bridge");
  EXPECT_NE(Run({"info", "1"}).out.find("serial:        AB12 B"), std::string::npos);
  EXPECT_NE(Run({"info", "serial:AB12 B"}).out.find("serial:        AB12 B"), std::string::npos);
  EXPECT_NE(Run({"info", "serial:AB12"}).out.find("serial:        AB12 A"), std::string::npos);
  EXPECT_NE(Run({"info", "desc:Dual bridge B"}).out.find("description:   Dual bridge B"),
            std::string::npos);
}

TEST_F(CliTest, OpenFailuresPrintOneLineWithTheStatusNameAndMeaning) {
  AddDual("AB12", "Dual bridge");
  Result missing = Run({"info", "serial:ZZ99"});
  ExpectFailure(missing, "KX_ERR_NOT_FOUND (2)");
  EXPECT_NE(missing.err.find("serial:ZZ99"), std::string::npos);
  ExpectFailure(Run({"info", "serial:AB12 x"}), "KX_ERR_NOT_OPENED (3)");
  ExpectFailure(Run({"info", "7"}), "KX_ERR_NOT_FOUND");
  Open(0);
  ExpectFailure(Run({"info", "0"}), "KX_ERR_NOT_OPENED");
}

TEST_F(CliTest, MalformedDeviceNamesAreRejectedBeforeTheBusIsTouched) {
  AddSingle("CD34", "Single bridge");
  vexa_sim_log_clear();
  for (const char *bad : {"abc", "-1", "3x", "serial:", "desc:", ""}) {
    Result r = Run({"info", bad});
    EXPECT_EQ(r.code, 1) << bad;
    EXPECT_NE(r.err.find("invalid DEVICE"), std::string::npos) << bad << ": " << r.err;
  }
  EXPECT_TRUE(Log().empty());
}

// ---- line options and data -------------------------------------------------

TEST_F(CliTest, SendAppliesTheLineOptionsAndWritesStdinToTheChip) {
  int chip = AddSingle("CD34", "Single bridge");
  Result r = Run({"send", "0", "--baud", "9600", "--format", "7E2", "--flow", "rts-cts"},
                 "hello chip");
  ASSERT_EQ(r.code, 0) << r.err;
  vexa_sim_channel_state st = State(chip, 0);
  EXPECT_EQ(st.divisor, 0x4138);
  EXPECT_EQ(st.line_control, 7 | (KX_PARITY_EVEN << 8) | (KX_STOP_BITS_2 << 11));
  EXPECT_EQ(st.flow_mode, KX_FLOW_RTS_CTS);
  EXPECT_EQ(TakeTx(chip, 0), "hello chip");
  EXPECT_NE(r.err.find("sent 10 bytes"), std::string::npos);
}

TEST_F(CliTest, XonXoffFlowCarriesTheTwoFlowCharacters) {
  int chip = AddSingle("CD34", "Single bridge");
  ASSERT_EQ(Run({"send", "0", "--flow", "xon-xoff"}, "x").code, 0);
  EXPECT_EQ(State(chip, 0).flow_mode, KX_FLOW_XON_XOFF);
  EXPECT_EQ(State(chip, 0).flow_chars, 0x1311);
}

TEST_F(CliTest, UnsetLineOptionsSendNoSettingsAndBadOnesSendNothing) {
  int chip = AddSingle("CD34", "Single bridge");
  ASSERT_EQ(Run({"send", "0"}, "abc").code, 0);
  EXPECT_TRUE(ControlLog(2).empty());
  EXPECT_TRUE(ControlLog(3).empty());
  EXPECT_TRUE(ControlLog(4).empty());

  vexa_sim_log_clear();
  // The baud rate is valid, the format is not: nothing may reach the chip.
  Result r = Run({"send", "0", "--baud", "9600", "--format", "9X1"}, "abc");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("invalid --format '9X1'"), std::string::npos) << r.err;
  EXPECT_TRUE(ControlLog(3).empty());
  EXPECT_EQ(TakeTx(chip, 0), "abc");  // only from the first run
  EXPECT_EQ(Run({"send", "0", "--flow", "hardware"}, "").code, 1);
}

TEST_F(CliTest, ImpossibleBaudRateIsReportedWithItsStatus) {
  AddSingle("CD34", "Single bridge");
  ExpectFailure(Run({"send", "0", "--baud", "183"}, "abc"), "KX_ERR_BAUD_RATE (7)");
}

TEST_F(CliTest, RecvCopiesACountedAmountAndFailsOnAShortfallKeepingWhatCame) {
  int chip = AddSingle("CD34", "Single bridge");
  vexa_sim_queue_rx(chip, 0, "hello world", 11);
  Result r = Run({"recv", "0", "--bytes", "11"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "hello world");

  vexa_sim_queue_rx(chip, 0, "short", 5);
  Result shortfall = Run({"recv", "0", "--bytes", "8", "--timeout", "100"});
  ExpectFailure(shortfall, "KX_ERR_IO (4)");
  EXPECT_EQ(shortfall.out, "short");
  EXPECT_NE(shortfall.err.find("received 5 of 8 bytes"), std::string::npos) << shortfall.err;
}

TEST_F(CliTest, RecvWithoutCountStopsWhenTheLineIsIdle) {
  int chip = AddSingle("CD34", "Single bridge");
  std::string big(10000, 'x');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
  vexa_sim_queue_rx(chip, 0, big.data(), big.size());
  Result r = Run({"recv", "0", "--timeout", "200"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, big);
}

TEST_F(CliTest, LoopbackCountsBytesAndFailsWhenNothingComesBack) {
  int chip = AddSingle("CD34", "Single bridge");
  vexa_sim_set_loopback(chip, 0, 1);
  Result ok = Run({"loopback", "0", "--bytes", "20000"});
  ASSERT_EQ(ok.code, 0) << ok.err;
  EXPECT_NE(ok.out.find("20000 bytes sent, 20000 received, 0 errors, 0 missing"), std::string::npos)
      << ok.out;

  vexa_sim_set_loopback(chip, 0, 0);
  Result none = Run({"loopback", "0", "--bytes", "100", "--timeout", "50"});
  EXPECT_EQ(none.code, 1);
  EXPECT_NE(none.out.find("100 bytes sent, 0 received, 0 errors, 100 missing"), std::string::npos)
      << none.out;
  EXPECT_NE(none.err.find("loopback failed"), std::string::npos);
}

TEST_F(CliTest, LoopbackDetectsCorruptedBytes) {
  int chip = AddSingle("CD34", "Single bridge");
  // Without loopback the chip answers with bytes of its own: all wrong.
  std::string junk(64, '\x55');
  vexa_sim_queue_rx(chip, 0, junk.data(), junk.size());
  // The purge at the start drops what is already queued; queue again after.
  std::thread feeder([&]() {
    vexa_sim_wait_tx(chip, 0, 5000);
    vexa_sim_queue_rx(chip, 0, junk.data(), junk.size());
  });
  Result r = Run({"loopback", "0", "--bytes", "64", "--timeout", "2000"});
  feeder.join();
  EXPECT_EQ(r.code, 1);
  // Pattern byte i is (i * 31 + i / 256) mod 256; where it happens to be 0x55
  // the junk byte is right.
  int expected_errors = 0;
  for (int i = 0; i < 64; ++i) expected_errors += ((i * 31) & 0xFF) != 0x55;
  EXPECT_NE(r.out.find("64 received, " + std::to_string(expected_errors) + " errors"),
            std::string::npos)
      << r.out;
}

// ---- EEPROM ----------------------------------------------------------------

TEST_F(CliTest, ProgramSetsFieldsFromOptionsAndReadShowsThem) {
  int chip = AddSingle("CD34", "Single bridge");
  Result p = Run({"eeprom", "program", "0", "--vendor-id", "0x0403", "--product-id", "0x6001",
                  "--manufacturer", "Acme", "--description", "Widget", "--serial-number",
                  "AC123456", "--max-power", "100", "--remote-wakeup", "1"});
  ASSERT_EQ(p.code, 0) << p.err;
  EXPECT_NE(p.out.find("serial number AC123456"), std::string::npos) << p.out;
  EXPECT_EQ(Word(chip, 1), 0x0403);  // the vendor word, on the chip itself
  EXPECT_EQ(Word(chip, 2), 0x6001);

  Result r = Run({"eeprom", "read", "0"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("manufacturer: Acme\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("vendor_id: 0x0403\n"), std::string::npos);
  EXPECT_NE(r.out.find("max_power: 100\n"), std::string::npos);
  json j = json::parse(Run({"eeprom", "read", "0", "--json"}).out);
  EXPECT_EQ(j["description"], "Widget");
  EXPECT_EQ(j["serial_number"], "AC123456");
  EXPECT_EQ(j["remote_wakeup"], 1);
  EXPECT_EQ(j["self_powered"], 0);
}

TEST_F(CliTest, ReadJsonProgramsBackToTheSameImage) {
  int chip = AddDual("AB12", "Dual bridge");
  ASSERT_EQ(Run({"eeprom", "program", "0", "--manufacturer", "Acme", "--description", "Twin",
                 "--serial-number", "TW000001", "--iso-in-b", "1", "--a-config-bit3", "1"})
                .code,
            0);
  std::vector<uint16_t> image(64);
  for (unsigned i = 0; i < 64; ++i) image[i] = Word(chip, i);
  const std::string saved = Run({"eeprom", "read", "0", "--json"}).out;
  const std::string path = temp_path("roundtrip.json");
  std::ofstream(path) << saved;

  ASSERT_EQ(Run({"eeprom", "erase", "0"}).code, 0);
  EXPECT_EQ(Word(chip, 1), 0xFFFF);
  Result p = Run({"eeprom", "program", "0", "--from", path});
  ASSERT_EQ(p.code, 0) << p.err;
  for (unsigned i = 0; i < 64; ++i) EXPECT_EQ(Word(chip, i), image[i]) << "word " << i;
  EXPECT_EQ(json::parse(Run({"eeprom", "read", "0", "--json"}).out), json::parse(saved));
  std::remove(path.c_str());
}

TEST_F(CliTest, OptionsOverrideTheJsonFileAndBadInputProgramsNothing) {
  int chip = AddSingle("CD34", "Single bridge");
  const std::string path = temp_path("base.json");
  std::ofstream(path) << R"({"manufacturer": "FromFile", "max_power": "0x64", "dual_image": 0})";
  ASSERT_EQ(Run({"eeprom", "program", "0", "--from", path, "--max-power", "200"}).code, 0);
  json j = json::parse(Run({"eeprom", "read", "0", "--json"}).out);
  EXPECT_EQ(j["manufacturer"], "FromFile");
  EXPECT_EQ(j["max_power"], 200);

  vexa_sim_eeprom_fill(chip, 0xFFFF);
  std::ofstream(path) << R"({"manufaturer": "typo"})";
  Result typo = Run({"eeprom", "program", "0", "--from", path});
  EXPECT_EQ(typo.code, 1);
  EXPECT_NE(typo.err.find("unknown EEPROM field 'manufaturer'"), std::string::npos) << typo.err;
  Result range = Run({"eeprom", "program", "0", "--vendor-id", "0x10000"});
  EXPECT_EQ(range.code, 1);
  EXPECT_NE(range.err.find("vendor_id"), std::string::npos);
  EXPECT_EQ(Run({"eeprom", "program", "0", "--from", "/nonexistent/x.json"}).code, 1);
  EXPECT_EQ(Word(chip, 1), 0xFFFF);  // nothing was programmed by the failures
  std::remove(path.c_str());
}

TEST_F(CliTest, EraseBlanksTheEepromAndReadThenNamesTheBlankStatus) {
  int chip = AddSingle("CD34", "Single bridge");
  // Without a serial number one is generated, with the default prefix.
  Result p = Run({"eeprom", "program", "0"});
  ASSERT_EQ(p.code, 0) << p.err;
  EXPECT_NE(p.out.find("serial number VX"), std::string::npos) << p.out;
  ASSERT_NE(Word(chip, 1), 0xFFFF);
  Result e = Run({"eeprom", "erase", "0"});
  ASSERT_EQ(e.code, 0) << e.err;
  for (unsigned i = 0; i < 64; ++i) EXPECT_EQ(Word(chip, i), 0xFFFF) << i;
  ExpectFailure(Run({"eeprom", "read", "0"}), "KX_ERR_EE_BLANK (15)");
}

TEST_F(CliTest, DumpWritesTheFirst64WordsLowByteFirst) {
  int chip = AddChip([] {
    vexa_sim_chip_config c{};
    c.serial = "BIG1";
    c.product = "Big";
    c.interfaces = 2;
    c.eeprom_words = 128;
    return c;
  }());
  for (unsigned i = 0; i < 128; ++i) vexa_sim_eeprom_set(chip, i, static_cast<uint16_t>(0x1100 * (i % 8) + i));
  const std::string path = temp_path("dump.bin");
  Result r = Run({"eeprom", "dump", "0", path});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string bytes = read_file(path);
  ASSERT_EQ(bytes.size(), 128u);
  for (unsigned i = 0; i < 64; ++i) {
    const uint16_t w = static_cast<uint16_t>(0x1100 * (i % 8) + i);
    EXPECT_EQ(static_cast<uint8_t>(bytes[2 * i]), w & 0xFF) << i;
    EXPECT_EQ(static_cast<uint8_t>(bytes[2 * i + 1]), w >> 8) << i;
  }
  std::remove(path.c_str());
  EXPECT_EQ(Run({"eeprom", "dump", "0", "/nonexistent/dir/dump.bin"}).code, 1);
}

// ---- user area -------------------------------------------------------------

TEST_F(CliTest, UserAreaSizeWriteAndReadRoundTrip) {
  AddSingle("CD34", "Single bridge");
  ASSERT_EQ(Run({"eeprom", "program", "0", "--serial-number", "AB123456"}).code, 0);
  Result size = Run({"ua", "size", "0"});
  ASSERT_EQ(size.code, 0) << size.err;
  const int bytes = std::stoi(size.out);
  ASSERT_GT(bytes, 10);

  Result w = Run({"ua", "write", "0"}, "user data");
  ASSERT_EQ(w.code, 0) << w.err;
  Result r = Run({"ua", "read", "0"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "user data" + std::string(bytes - 9, '\0'));

  const std::string path = temp_path("ua.bin");
  std::ofstream(path, std::ios::binary) << "from file";
  ASSERT_EQ(Run({"ua", "write", "0", path}).code, 0);
  ASSERT_EQ(Run({"ua", "read", "0", "-o", path}).code, 0);
  EXPECT_EQ(read_file(path).substr(0, 9), "from file");
  EXPECT_EQ(read_file(path).size(), static_cast<size_t>(bytes));
  std::remove(path.c_str());
}

TEST_F(CliTest, UserAreaWriteThatDoesNotFitFailsAndLeavesTheArea) {
  AddSingle("CD34", "Single bridge");
  ASSERT_EQ(Run({"eeprom", "program", "0", "--serial-number", "AB123456"}).code, 0);
  const int bytes = std::stoi(Run({"ua", "size", "0"}).out);
  Result r = Run({"ua", "write", "0"}, std::string(bytes + 1, 'z'));
  ExpectFailure(r, "KX_ERR_EE_WRITE (12)");
  EXPECT_EQ(Run({"ua", "read", "0"}).out, std::string(bytes, '\0'));
}

// ---- terminal --------------------------------------------------------------

TEST_F(CliTest, TermSendsKeysToTheChipShowsItsBytesAndQuitsOnCtrlBracket) {
  int chip = AddSingle("CD34", "Single bridge");
  int keys[2], screen[2];
  ASSERT_EQ(pipe(keys), 0);
  ASSERT_EQ(pipe(screen), 0);
  std::istringstream unused_in;
  std::ostringstream unused_out, err;
  Context ctx{unused_in, unused_out, err, keys[0], screen[1], false};
  int code = -1;
  std::thread term([&]() { code = vexa_tool::run_vexa({"vexa", "term", "0"}, ctx); });

  // The chip's bytes reach the screen while the terminal runs.
  vexa_sim_queue_rx(chip, 0, "from chip", 9);
  std::string shown;
  char buffer[64];
  while (shown.size() < 9) {
    ssize_t n = read(screen[0], buffer, sizeof buffer);
    ASSERT_GT(n, 0);
    shown.append(buffer, static_cast<size_t>(n));
  }
  EXPECT_EQ(shown, "from chip");

  // Keys before the quit key go out; the quit key and what follows do not.
  ASSERT_EQ(write(keys[1], "typed\x1dignored", 13), 13);
  term.join();
  EXPECT_EQ(code, 0) << err.str();
  EXPECT_EQ(TakeTx(chip, 0), "typed");
  EXPECT_NE(err.str().find("Ctrl-]"), std::string::npos);
  for (int fd : {keys[0], keys[1], screen[0], screen[1]}) close(fd);
}

TEST_F(CliTest, TermEndsAtTheEndOfInput) {
  int chip = AddSingle("CD34", "Single bridge");
  int keys[2], screen[2];
  ASSERT_EQ(pipe(keys), 0);
  ASSERT_EQ(pipe(screen), 0);
  ASSERT_EQ(write(keys[1], "bye", 3), 3);
  close(keys[1]);
  std::istringstream unused_in;
  std::ostringstream unused_out, err;
  Context ctx{unused_in, unused_out, err, keys[0], screen[1], false};
  EXPECT_EQ(vexa_tool::run_vexa({"vexa", "term", "0", "--baud", "9600"}, ctx), 0) << err.str();
  EXPECT_EQ(TakeTx(chip, 0), "bye");
  EXPECT_EQ(State(chip, 0).divisor, 0x4138);
  for (int fd : {keys[0], screen[0], screen[1]}) close(fd);
}

// ---- help --------------------------------------------------------------------

TEST_F(CliTest, EveryCommandHasHelpAndUsageErrorsExitWithTwo) {
  const std::vector<std::vector<std::string>> commands = {
      {}, {"list"}, {"info"}, {"eeprom"}, {"eeprom", "read"}, {"eeprom", "program"},
      {"eeprom", "erase"}, {"eeprom", "dump"}, {"ua"}, {"ua", "size"}, {"ua", "read"},
      {"ua", "write"}, {"send"}, {"recv"}, {"loopback"}, {"term"}};
  for (std::vector<std::string> args : commands) {
    args.push_back("--help");
    Result r = Run(args);
    EXPECT_EQ(r.code, 0) << args[0];
    EXPECT_NE(r.out.find("Usage"), std::string::npos) << args[0];
  }
  EXPECT_NE(Run({"eeprom", "program", "--help"}).out.find("--b-config-bit4"), std::string::npos);
  EXPECT_EQ(Run({}).code, 2);
  EXPECT_EQ(Run({"frobnicate"}).code, 2);
  EXPECT_EQ(Run({"info"}).code, 2);  // DEVICE is required
  EXPECT_TRUE(Log().empty());
}

}  // namespace
