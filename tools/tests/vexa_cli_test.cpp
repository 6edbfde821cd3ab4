// The vexa commands, run in-process against simulated chips: their output,
// their exit status and what the chip saw on the wire.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
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

std::string TempPath(const std::string &name) {
  return ::testing::TempDir() + "vexa_cli_" + name + "_" + std::to_string(getpid());
}

std::string ReadFile(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

class CliTest : public SimTest {
 protected:
  // `in_fd`/`out_fd` stand for the terminal of `vexa term`; `tty` for a
  // standard error that is a terminal (progress bars).
  Result Run(std::vector<std::string> args, const std::string &input = "", int in_fd = -1, int out_fd = -1,
             bool tty = false) {
    std::istringstream in(input);
    std::ostringstream out, err;
    args.insert(args.begin(), "vexa");
    Context ctx{in, out, err, in_fd, out_fd, tty};
    const int code = vexa_tool::run_vexa(args, ctx);
    return {code, out.str(), err.str()};
  }
  json Json(const std::vector<std::string> &args) { return json::parse(Run(args).out); }

  // Success, and every expected piece somewhere in the output.
  void ExpectShows(const std::vector<std::string> &args, const std::vector<std::string> &pieces,
                   const std::string &input = "") {
    Result r = Run(args, input);
    EXPECT_EQ(r.code, 0) << r.err;
    for (const std::string &piece : pieces) EXPECT_NE(r.out.find(piece), std::string::npos) << piece << " in\n" << r.out;
  }

  // A failure is one line that names the status.
  static void ExpectFailure(const Result &r, const std::string &status_name) {
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    EXPECT_NE(r.err.find(status_name), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }

  static uint16_t Word(int chip, unsigned address) {
    uint16_t w = 0;
    vexa_sim_eeprom_get(chip, address, &w);
    return w;
  }
};

// ---- errors: usage (exit 2, nothing on the bus) and failures (exit 1, one line) --

TEST_F(CliTest, ErrorsExitWithTheirStatusAndSayWhatIsWrong) {
  int chip = AddSingle("CD34", "Single bridge");
  AddDual("AB12", "Dual bridge");
  const struct {
    std::vector<std::string> args;
    int code;
    const char *message;
  } rows[] = {
      {{}, 2, ""},
      {{"info"}, 2, "DEVICE"},
      {{"lst"}, 2, "vexa: unknown command 'lst' (commands: list, info,"},
      {{"eeprom", "dumb", "0"}, 2, "unknown command 'dumb' (commands: read, program, erase, dump)"},
      {{"send", "0", "--baud", "-5"}, 2, "--baud: -5 is out of range (expected 184 to 3090000)"},
      {{"send", "0", "--baud", "300", "--format", "9X1"}, 2, "invalid --format '9X1'"},
      {{"send", "0", "--flow", "hardware"}, 2, "invalid --flow 'hardware'"},
      {{"recv", "0", "--timeout", "soon"}, 2, "--timeout: 'soon' is not a whole number"},
      {{"set", "0", "--latency", "300"}, 2, "--latency: 300 is out of range (expected 1 to 255)"},
      {{"set", "0", "--bit-mode", "ff"}, 2, "'ff' is not MASK:MODE"},
      {{"--vid-pid", "12:zz", "list"}, 2, "'12:zz' is not VID:PID"},
      {{"eeprom", "dump", "0", "x", "--words", "100"}, 2, "--words"},
      {{"eeprom", "program", "0", "--vendor-id", "0x10000"}, 2, "--vendor-id: '0x10000' is not a number from 0 to 65535"},
      {{"eeprom", "program", "0", "--max-power", "600"}, 2, "--max-power: '600' is not a number from 0 to 500"},
      {{"eeprom", "program", "0", "--manufacturer-id", "V"}, 2, "must be exactly two characters"},
      {{"info", "serial:ZZ99"}, 1, "vexa: cannot open serial:ZZ99: KX_ERR_NOT_FOUND (2)"},
      {{"info", "serial:AB12 x"}, 1, "KX_ERR_NOT_OPENED (3)"},
  };
  vexa_sim_log_clear();
  for (const auto &row : rows) {
    Result r = Run(row.args, "abc");
    SCOPED_TRACE(row.message);
    EXPECT_EQ(r.code, row.code);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(row.message), std::string::npos) << r.err;
    EXPECT_TRUE(row.code != 1 || std::count(r.err.begin(), r.err.end(), '\n') == 1) << r.err;
    EXPECT_TRUE(row.code != 2 || Log().empty());
  }
  // Malformed channel names are refused before the bus is touched.
  for (const char *bad : {"abc", "-1", "3x", "1.5", "99999999999", "name:AB", "serial:", "desc:", ""}) {
    Result r = Run({"info", bad});
    EXPECT_EQ(r.code, 2) << bad;
    EXPECT_NE(r.err.find("invalid DEVICE"), std::string::npos) << bad << ": " << r.err;
  }
  EXPECT_EQ(State(chip, 0).divisor, 0);
  EXPECT_EQ(TakeTx(chip, 0), "");
  Open(0);  // held by "another program"
  ExpectFailure(Run({"info", "0"}), "KX_ERR_NOT_OPENED");

  setenv("USB_DEVFS_PATH", "/nonexistent/usb", 1);
  vexa_sim_fault fault{VEXA_SIM_FAULT_FIND_BUSSES, -1, -1, -1, 0, -1, -ENOENT};
  vexa_sim_add_fault(&fault);
  Result r = Run({"list"});
  unsetenv("USB_DEVFS_PATH");
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "vexa: no USB bus found (looked in /nonexistent/usb); to try vexa without hardware, run: "
                   "vexa-sim -- vexa list\n");
  ExpectShows({"--help"}, {"Usage", "list", "eeprom", "watch"});
  ExpectShows({"eeprom", "program", "--help"}, {"--b-config-bit4"});
}

// ---- list, info and naming a channel ------------------------------------------

TEST_F(CliTest, ListAndInfoShowEveryChannelAsTextAndJson) {
  EXPECT_EQ(Json({"list", "--json"}), json::array());
  ExpectShows({"list"}, {"no channels found"});
  AddDual("AB12", "Dual bridge");
  int chip = AddSingle("CD34", "Single bridge", 0x0200);
  AddSingle("EF56", "Other bridge");
  ExpectShows({"list"}, {"0 ", "AB12 A", "Dual bridge A", "DUAL", "0403:6010", "AB12 B", "CD34", "BCD0200", "0403:6001"});
  vexa_sim_set_status(chip, 0, KX_MODEM_CTS | KX_MODEM_DCD, 0);
  const struct {
    std::vector<std::string> args, pieces;
  } rows[] = {
      {{"info", "3"},
       {"serial:        EF56\n", "type:          BCD0400 (0)", "latency timer: 16 ms"}},
      {{"info", "2"}, {"modem status:  0x90 (CTS DCD)", "latency timer: not supported", "bit mode:      not supported"}},
      {{"info", "serial:AB12 B"}, {"serial:        AB12 B"}},
      {{"info", "serial:AB12"}, {"serial:        AB12 A"}},
      {{"info", "desc:Dual bridge B"}, {"description:   Dual bridge B"}},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.args[1]);
    ExpectShows(row.args, row.pieces);
  }
  const json info[] = {Json({"info", "2", "--json"}), Json({"info", "3", "--json"})};
  EXPECT_EQ(info[0]["modem_status"], 0x90);
  EXPECT_EQ(info[0]["latency_timer"], nullptr);
  EXPECT_EQ(info[1]["latency_timer"], 16);
  EXPECT_EQ(info[1]["product_id"], 0x6001);

  Open(3);  // held by "another program": listed, without its type
  json list = Json({"list", "--json"});
  ASSERT_EQ(list.size(), 4u);
  const std::tuple<int, const char *, json> fields[] = {
      {1, "index", 1},         {1, "serial", "AB12 B"},    {1, "description", "Dual bridge B"},
      {1, "type_code", KX_DEVICE_DUAL}, {2, "type", "BCD0200"}, {2, "vendor_id", 0x0403},
      {2, "product_id", 0x6001}, {3, "serial", "EF56"},    {3, "type", nullptr}};
  for (const auto &[i, key, value] : fields) EXPECT_EQ(list[i][key], value) << i << " " << key;
}

// ---- line options and data -------------------------------------------------

TEST_F(CliTest, SendAppliesOnlyTheLineOptionsGiven) {
  int chip = AddSingle("CD34", "Single bridge");
  AddSingle("OLD1", "Old bridge", 0x0200);
  ASSERT_EQ(Run({"send", "0"}, "abc").code, 0);
  for (int request : {2, 3, 4}) EXPECT_TRUE(ControlLog(request).empty()) << request;
  EXPECT_EQ(TakeTx(chip, 0), "abc");

  ExpectShows({"send", "0", "--flow", "xon-xoff"}, {}, "x");
  EXPECT_EQ(State(chip, 0).flow_mode, KX_FLOW_XON_XOFF);
  EXPECT_EQ(State(chip, 0).flow_chars, 0x1311);
  // A terminal on standard error gets the progress bar; its last state ends the line.
  Result r = Run({"send", "0", "--baud", "9600", "--format", "7E2", "--flow", "rts-cts"}, "hello chip", -1, -1, true);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("10 bytes  "), std::string::npos) << r.err;
  vexa_sim_channel_state st = State(chip, 0);
  EXPECT_EQ(st.divisor, 0x4138);
  EXPECT_EQ(st.line_control, 7 | (KX_PARITY_EVEN << 8) | (KX_STOP_BITS_2 << 11));
  EXPECT_EQ(st.flow_mode, KX_FLOW_RTS_CTS);
  EXPECT_EQ(TakeTx(chip, 0), "xhello chip");
  EXPECT_NE(r.err.find("sent 10 bytes"), std::string::npos);

  // A rate in range that no divisor of an old chip reaches (1600000 is 6 % off).
  vexa_sim_log_clear();
  r = Run({"send", "1", "--baud", "1600000"}, "abc");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("cannot set baud rate 1600000: no divisor"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("184 to 3000000"), std::string::npos) << r.err;
  EXPECT_TRUE(ControlLog(3).empty());
}

TEST_F(CliTest, RecvCopiesACountOrUntilIdleAndReportsAShortfall) {
  int chip = AddSingle("CD34", "Single bridge");
  vexa_sim_queue_rx(chip, 0, "hello world", 11);
  ExpectShows({"recv", "0", "--bytes", "11"}, {"hello world"});

  vexa_sim_queue_rx(chip, 0, "short", 5);
  Result shortfall = Run({"recv", "0", "--bytes", "8", "--timeout", "100"});
  EXPECT_EQ(shortfall.code, 1);
  EXPECT_EQ(shortfall.out, "short");
  EXPECT_NE(shortfall.err.find("timed out: received 5 of 8 bytes from 0 (no byte for 100 ms)"),
            std::string::npos) << shortfall.err;

  // --timeout 0 waits for ever, here for bytes queued well after a second.
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    vexa_sim_queue_rx(chip, 0, "late", 4);
  });
  Result patient = Run({"recv", "0", "--bytes", "4", "--timeout", "0"});
  late.join();
  EXPECT_EQ(patient.code, 0) << patient.err;
  EXPECT_EQ(patient.out, "late");

  std::string big(10000, 'x');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
  vexa_sim_queue_rx(chip, 0, big.data(), big.size());
  Result idle = Run({"recv", "0", "--timeout", "200"});
  ASSERT_EQ(idle.code, 0) << idle.err;
  EXPECT_EQ(idle.out, big);
}

TEST_F(CliTest, LoopbackCountsBytesErrorsAndMissingOnes) {
  int chip = AddSingle("CD34", "Single bridge");
  vexa_sim_set_loopback(chip, 0, 1);
  ExpectShows({"loopback", "0", "--bytes", "20000"}, {"20000 bytes sent, 20000 received, 0 errors, 0 missing"});

  vexa_sim_set_loopback(chip, 0, 0);
  Result none = Run({"loopback", "0", "--bytes", "100", "--timeout", "50"});
  EXPECT_EQ(none.code, 1);
  EXPECT_NE(none.out.find("100 bytes sent, 0 received, 0 errors, 100 missing"), std::string::npos) << none.out;
  EXPECT_NE(none.err.find("loopback failed"), std::string::npos);

  // Bytes of the chip's own, queued once the purge at the start is over (the
  // first write shows it is): wrong except where the pattern (i * 31 mod 256
  // here) happens to be 0x55.
  TakeTx(chip, 0);
  const std::string junk(64, '\x55');
  std::thread feeder([&] {
    vexa_sim_wait_tx(chip, 0, 5000);
    vexa_sim_queue_rx(chip, 0, junk.data(), junk.size());
  });
  Result r = Run({"loopback", "0", "--bytes", "64", "--timeout", "2000"});
  feeder.join();
  EXPECT_EQ(r.code, 1);
  int expected_errors = 0;
  for (int i = 0; i < 64; ++i) expected_errors += ((i * 31) & 0xFF) != 0x55;
  EXPECT_NE(r.out.find("64 received, " + std::to_string(expected_errors) + " errors"), std::string::npos) << r.out;
}

TEST_F(CliTest, TermSendsKeysShowsTheChipsBytesAndQuitsOnCtrlBracketOrEndOfInput) {
  int chip = AddSingle("CD34", "Single bridge");
  int keys[2], screen[2];
  ASSERT_TRUE(pipe(keys) == 0 && pipe(screen) == 0);
  Result r;
  std::thread running([&] { r = Run({"term", "0"}, "", keys[0], screen[1]); });
  // The chip's bytes reach the screen while the terminal runs.
  vexa_sim_queue_rx(chip, 0, "from chip", 9);
  std::string shown(9, '\0');
  for (size_t have = 0; have < 9;) {
    ssize_t n = read(screen[0], &shown[have], 9 - have);
    ASSERT_GT(n, 0);
    have += static_cast<size_t>(n);
  }
  EXPECT_EQ(shown, "from chip");
  // Keys before the quit key go out; the quit key and what follows do not.
  ASSERT_EQ(write(keys[1], "typed\x1dignored", 13), 13);
  running.join();
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(TakeTx(chip, 0), "typed");
  EXPECT_NE(r.err.find("Ctrl-]"), std::string::npos);
  close(keys[0]);
  close(keys[1]);

  // At the end of the input, after the idle time: "a\r" goes out as "a\r\n";
  // the echo and the looped-back copy each show as "a\r\r\n".
  vexa_sim_set_loopback(chip, 0, 1);
  ASSERT_EQ(pipe(keys), 0);
  ASSERT_EQ(write(keys[1], "a\r", 2), 2);
  close(keys[1]);
  r = Run({"term", "0", "--baud", "9600", "--map", "--echo", "--idle", "300"}, "", keys[0], screen[1]);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(State(chip, 0).divisor, 0x4138);
  close(keys[0]);
  close(screen[1]);
  shown.clear();
  char chunk[64];
  for (ssize_t n; (n = read(screen[0], chunk, sizeof chunk)) > 0;) shown.append(chunk, static_cast<size_t>(n));
  EXPECT_EQ(shown, "a\r\r\na\r\r\n");
  close(screen[0]);
}

TEST_F(CliTest, SetChangesLinesTimerAndModeAndWatchPrintsEachModemChange) {
  int chip = AddSingle("CD34", "Single bridge");
  ASSERT_EQ(Run({"set", "0", "--dtr", "1", "--rts", "1", "--latency", "3", "--bit-mode", "f0:01", "--break", "20",
                 "--baud", "9600"}).code, 0);
  vexa_sim_channel_state st = State(chip, 0);
  EXPECT_EQ(st.dtr, 1);
  EXPECT_EQ(st.rts, 1);
  EXPECT_EQ(st.latency_timer, 3);
  EXPECT_EQ(st.bit_mask, 0xF0);
  EXPECT_EQ(st.bit_mode, 0x01);
  EXPECT_EQ(st.divisor, 0x4138);
  // The break went on and off again: two line-control requests, the first
  // with the break bit.
  std::vector<vexa_sim_log_entry> breaks = ControlLog(4);
  ASSERT_EQ(breaks.size(), 2u);
  EXPECT_TRUE(breaks[0].value & 0x4000);
  EXPECT_FALSE(breaks[1].value & 0x4000);
  ASSERT_EQ(Run({"set", "0", "--dtr", "0"}).code, 0);
  EXPECT_EQ(State(chip, 0).dtr, 0);
  EXPECT_EQ(State(chip, 0).rts, 1);  // not given: left as it was

  vexa_sim_set_status(chip, 0, KX_MODEM_CTS, 0);
  Result watched;
  std::thread watcher([&] { watched = Run({"watch", "0", "--count", "2"}); });
  // Each change once the watcher has its channel open and has had time to
  // print the state before it.
  for (int i = 0; i < 500 && vexa_sim_open_handles() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  vexa_sim_set_status(chip, 0, KX_MODEM_CTS | KX_MODEM_DSR, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  vexa_sim_set_status(chip, 0, KX_MODEM_DCD, 0);
  watcher.join();
  EXPECT_EQ(watched.code, 0) << watched.err;
  EXPECT_EQ(watched.out,
            "modem status 0x10 (CTS)\nmodem status 0x30 (CTS DSR)\nmodem status 0x80 (DCD)\n");
}

// ---- EEPROM and user area ----------------------------------------------------

TEST_F(CliTest, ProgramFromOptionsReadShowsThemAndReadJsonProgramsBackTheSameImage) {
  int chip = AddDual("AB12", "Dual bridge");
  ExpectShows({"eeprom", "program", "0", "--vendor-id", "0x0403", "--product-id", "0x6010", "--manufacturer",
               "Acme", "--description", "Twin", "--serial-number", "TW000001", "--max-power", "100",
               "--remote-wakeup", "1", "--iso-in-b", "1", "--a-config-bit3", "1"},
              {"serial number TW000001"});
  EXPECT_EQ(Word(chip, 1), 0x0403);  // the vendor word, on the chip itself
  EXPECT_EQ(Word(chip, 2), 0x6010);
  ExpectShows({"eeprom", "read", "0"}, {"manufacturer: Acme\n", "vendor_id: 0x0403\n", "max_power: 100\n"});
  const std::string saved = Run({"eeprom", "read", "0", "--json"}).out;
  json j = json::parse(saved);
  EXPECT_EQ(j["description"], "Twin");
  EXPECT_EQ(j["serial_number"], "TW000001");
  EXPECT_EQ(j["remote_wakeup"], 1);
  EXPECT_EQ(j["self_powered"], 0);

  std::vector<uint16_t> image(64);
  for (unsigned i = 0; i < 64; ++i) image[i] = Word(chip, i);
  const std::string path = TempPath("roundtrip.json");
  std::ofstream(path) << saved;
  ASSERT_EQ(Run({"eeprom", "erase", "0"}).code, 0);
  ExpectFailure(Run({"eeprom", "read", "0"}), "KX_ERR_EE_BLANK (15)");
  ExpectShows({"eeprom", "program", "0", "--from", path}, {});
  for (unsigned i = 0; i < 64; ++i) EXPECT_EQ(Word(chip, i), image[i]) << "word " << i;
  EXPECT_EQ(Json({"eeprom", "read", "0", "--json"}), j);
  std::remove(path.c_str());
}

TEST_F(CliTest, OptionsOverrideTheJsonFileAndBadInputProgramsNothing) {
  int chip = AddSingle("CD34", "Single bridge");
  // Without a serial number one is generated, with the default prefix.
  ExpectShows({"eeprom", "program", "0"}, {"serial number VX"});
  const std::string path = TempPath("base.json");
  std::ofstream(path) << R"({"manufacturer": "FromFile", "max_power": "0x64", "dual_image": 0})";
  ASSERT_EQ(Run({"eeprom", "program", "0", "--from", path, "--max-power", "200"}).code, 0);
  json j = Json({"eeprom", "read", "0", "--json"});
  EXPECT_EQ(j["manufacturer"], "FromFile");
  EXPECT_EQ(j["max_power"], 200);

  vexa_sim_eeprom_fill(chip, 0xFFFF);
  std::ofstream(path) << R"({"manufaturer": "typo"})";
  const std::string long_json = TempPath("long.json");
  std::ofstream(long_json) << R"({"manufacturer": ")" << std::string(20, 'm') << R"(", "description": ")"
                           << std::string(21, 'd') << R"("})";
  const struct {
    std::vector<std::string> args;
    const char *message;
  } rows[] = {
      {{"--from", path}, "unknown EEPROM field 'manufaturer'"},
      {{"--from", "/nonexistent/x.json"}, "No such file or directory"},
      // 20 + 21 + a generated 8 = 49: one more than the single-channel chip holds.
      {{"--from", long_json}, "manufacturer 20 + description 21 + serial number 8 (generated) = 49 characters; this chip holds at most 48"},
      {{"--manufacturer", std::string(41, 'm'), "--serial-number", "S1234567"}, "serial number 8 = 49"},
  };
  for (const auto &row : rows) {
    std::vector<std::string> args = {"eeprom", "program", "0"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    Result r = Run(args);
    EXPECT_EQ(r.code, 1) << row.args[1];
    EXPECT_NE(r.err.find(row.message), std::string::npos) << r.err;
  }
  std::remove(long_json.c_str());
  EXPECT_EQ(Word(chip, 1), 0xFFFF);  // nothing was programmed by the failures
  std::remove(path.c_str());
}

TEST_F(CliTest, DumpWritesTheWholePartLowByteFirst) {
  const struct {
    int words;
    bool dual;
  } parts[] = {{64, false}, {128, true}, {256, false}};
  for (const auto &part : parts) {
    SCOPED_TRACE(part.words);
    vexa_sim_reset();
    int chip = part.dual ? AddDual("BIG1", "Big", 64, part.words) : AddSingle("BIG1", "Big", 0x0400, 64, part.words);
    std::string bytes;  // low byte first
    for (unsigned i = 0; i < static_cast<unsigned>(part.words); ++i) {
      const uint16_t word = static_cast<uint16_t>(0x1100 * (i % 8) + i);
      vexa_sim_eeprom_set(chip, i, word);
      bytes += {static_cast<char>(word & 0xFF), static_cast<char>(word >> 8)};
    }
    const std::string path = TempPath("dump.bin");
    ExpectShows({"eeprom", "dump", "0", path}, {std::to_string(part.words) + " words"});
    EXPECT_EQ(ReadFile(path), bytes);
    Result out = Run({"eeprom", "dump", "0", "-"});
    EXPECT_EQ(out.out, bytes);
    EXPECT_NE(out.err.find("(" + std::to_string(part.words) + " words) to standard output"), std::string::npos);
    std::remove(path.c_str());
  }
  Result r = Run({"eeprom", "dump", "0", "/nonexistent/dir/dump.bin"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("No such file or directory"), std::string::npos) << r.err;
}

TEST_F(CliTest, UserAreaRoundTripsThroughStdinAndFilesAndRefusesWhatDoesNotFit) {
  AddSingle("CD34", "Single bridge");
  ASSERT_EQ(Run({"eeprom", "program", "0", "--serial-number", "AB123456"}).code, 0);
  Result size = Run({"ua", "size", "0"});
  ASSERT_EQ(size.code, 0) << size.err;
  const int bytes = std::stoi(size.out);
  ASSERT_GT(bytes, 10);
  ExpectFailure(Run({"ua", "write", "0"}, std::string(bytes + 1, 'z')), "KX_ERR_EE_WRITE (12)");
  EXPECT_EQ(Run({"ua", "read", "0"}).out, std::string(bytes, '\0'));

  ASSERT_EQ(Run({"ua", "write", "0"}, "user data").code, 0);
  EXPECT_EQ(Run({"ua", "read", "0"}).out, "user data" + std::string(bytes - 9, '\0'));
  const std::string path = TempPath("ua.bin");
  std::ofstream(path, std::ios::binary) << "from file";
  ASSERT_EQ(Run({"ua", "write", "0", path}).code, 0);
  ASSERT_EQ(Run({"ua", "read", "0", "-o", path}).code, 0);
  EXPECT_EQ(ReadFile(path), "from file" + std::string(bytes - 9, '\0'));
  std::remove(path.c_str());
  Result missing = Run({"ua", "write", "0", "/nonexistent/data.bin"});
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(missing.err.find("cannot open /nonexistent/data.bin: No such file or directory"), std::string::npos);
}

}  // namespace
