// The vexa tool and the vexa-sim launcher as a user runs them. `vexa ...` runs
// in-process against the fixture's simulated chips, so that a test can look at
// what the chip saw on the wire; other command lines run the built programs in
// a child process, the simulator handed over through the environment. Last,
// the device nodes a user cannot write, found in a fake sysfs and /dev.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "commands.h"
#include "permissions.h"
#include "sim_fixture.h"

using namespace vexa_tool;

namespace {

std::string Folder(const std::string &file) { return file.substr(0, file.rfind('/')); }

// The built programs come first on the PATH, as once installed.
const int kPath = setenv("PATH", (Folder(VEXA_TOOL_PATH) + ":" + Folder(VEXA_SIM_LAUNCHER_PATH) +
                                  ":" + VEXA_EXAMPLES_DIR + ":" + std::getenv("PATH")).c_str(), 1);

std::string Temp(const std::string &name) {
  return ::testing::TempDir() + "vexa_tool_" + std::to_string(getpid()) + "_" + name;
}

std::string ReadFile(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Words apart by blanks; "..." quotes one with blanks, or an empty one.
std::vector<std::string> Words(const std::string &line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string word; in >> std::quoted(word);) words.push_back(word);
  return words;
}

// Reads fd until n bytes came or the writers are gone.
std::string ReadFd(int fd, size_t n = std::string::npos) {
  std::string got;
  char chunk[65536];
  for (ssize_t k; got.size() < n && (k = read(fd, chunk, sizeof chunk)) > 0;) got.append(chunk, k);
  return got;
}

// A command line run by the shell, its input from a pipe, its output kept in files.
class Child {
 public:
  explicit Child(const std::string &line)
      : in_(popen((line + " >" + out_ + " 2>" + err_).c_str(), "w")) {}
  ~Child() {
    if (in_) pclose(in_);
    std::remove(out_.c_str());
    std::remove(err_.c_str());
  }
  void Write(const std::string &data) {
    ASSERT_EQ(fwrite(data.data(), 1, data.size(), in_), data.size());
    fflush(in_);
  }
  // Ends its input and returns its exit status once it is done.
  int Finish() {
    const int status = pclose(std::exchange(in_, nullptr));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string Out() const { return ReadFile(out_); }
  std::string Err() const { return ReadFile(err_); }

 private:
  const std::string out_ = Temp("out"), err_ = Temp("err");
  FILE *in_;
};

// A command line and what it does: exit status, standard error and output. As an
// expectation, pieces ("" matches anything, but a failure must then print no output).
struct Row {
  std::string line;
  int code;
  std::string err, out = "", input = "";
};

class ToolTest : public SimTest {
 protected:
  // `in_fd`/`out_fd` stand for the terminal of `vexa term`; `tty` for a
  // standard error that is a terminal (progress bars).
  static Row Run(const std::string &line, const std::string &input = "", int in_fd = -1,
                 int out_fd = -1, bool tty = false) {
    // The elements of a braced list are evaluated in order.
    if (Words(line)[0] != "vexa") {
      Child child(line);
      return {line, child.Finish(), child.Err(), child.Out()};
    }
    std::istringstream in(input);
    std::ostringstream out, err;
    Context ctx{in, out, err, in_fd, out_fd, tty};
    return {line, run_vexa(Words(line), ctx), err.str(), out.str()};
  }

  // Usage errors (exit 2) leave the bus alone; failures (exit 1) are one
  // line on standard error.
  static Row Expect(const Row &row) {
    SCOPED_TRACE(row.line);
    vexa_sim_log_clear();
    const Row r = Run(row.line, row.input);
    EXPECT_EQ(r.code, row.code) << r.err;
    EXPECT_NE(r.out.find(row.out), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
    EXPECT_TRUE(row.code == 0 || !row.out.empty() || r.out.empty()) << r.out;
    EXPECT_TRUE(row.code != 2 || Log().empty());
    EXPECT_TRUE(row.code != 1 || std::count(r.err.begin(), r.err.end(), '\n') == 1) << r.err;
    return r;
  }
};

TEST_F(ToolTest, CommandLinesExitWithTheirStatusAndPrintWhatTheUserNeeds) {
  AddDual("AB12", "Dual bridge");
  const int old = AddSingle("CD34", "Single bridge", 0x0200);
  vexa_sim_set_status(old, 0, KX_MODEM_CTS | KX_MODEM_DCD, 0);
  AddSingle("EF56", "Other bridge");
  std::vector<Row> rows = {
      {"vexa", 2, ""},
      {"vexa info", 2, "DEVICE"},
      {"vexa eeprom dumb 0", 2, "unknown command 'dumb' (commands: read, program, erase, dump)"},
      {"vexa send 0 --baud -5", 2, "--baud: -5 is out of range (expected 184 to 3090000)"},
      {"vexa send 0 --baud 300 --format 9X1", 2, "invalid --format '9X1'"},
      {"vexa send 0 --flow hardware", 2, "invalid --flow 'hardware'"},
      {"vexa recv 0 --timeout soon", 2, "--timeout: 'soon' is not a whole number"},
      {"vexa set 0 --latency 300", 2, "--latency: 300 is out of range (expected 1 to 255)"},
      {"vexa set 0 --bit-mode ff", 2, "'ff' is not MASK:MODE"},
      {"vexa --vid-pid 12:zz list", 2, "'12:zz' is not VID:PID"},
      {"vexa eeprom dump 0 x --words 100", 2, "--words"},
      {"vexa eeprom program 0 --vendor-id 0x10000", 2,
       "--vendor-id: '0x10000' is not a number from 0 to 65535"},
      {"vexa eeprom program 0 --max-power 600", 2,
       "--max-power: '600' is not a number from 0 to 500"},
      {"vexa eeprom program 0 --manufacturer-id V", 2, "must be exactly two characters"},
      {"vexa --help", 0, "", "Subcommands:\n  list "},
      {"vexa eeprom program --help", 0, "", "--b-config-bit4"},
      {"vexa info 3", 0, "",
       "\ntype:          BCD0400 (0)\nvid:pid:       0403:6001\nmodem status:  0x00 (none)\n"
       "latency timer: 16 ms\nbit mode:      0x00\n"},
      {"vexa info 2", 0, "",
       "modem status:  0x90 (CTS DCD)\nlatency timer: not supported\n"
       "bit mode:      not supported\n"},
      {"vexa info \"serial:AB12 B\"", 0, "", "serial:        AB12 B\n"},
      {"vexa info \"desc:Dual bridge B\"", 0, "", "description:   Dual bridge B\n"},
      {"vexa info 2 --json", 0, "", "\"latency_timer\": null,\n  \"modem_status\": 144,\n"},
      {"vexa info 3 --json", 0, "", "\"latency_timer\": 16,\n  \"modem_status\": 0,\n"},
      // A rate in range that no divisor of an old chip reaches (1600000 is 6 % off).
      {"vexa send 2 --baud 1600000", 1,
       "cannot set baud rate 1600000: no divisor of the chip comes within 3 % of it (the chip "
       "reaches 184 to 3000000 baud"},
      {"vexa loopback 3 --bytes 100 --timeout 50", 1, "loopback failed on 3",
       "loopback: 100 bytes sent, 0 received, 0 errors, 100 missing"},
      {"vexa eeprom dump 3 /nonexistent/dir/dump.bin", 1,
       "cannot create /nonexistent/dir/dump.bin: No such file or directory"},
      {"vexa ua write 3 /nonexistent/data.bin", 1,
       "cannot open /nonexistent/data.bin: No such file or directory"},
  };
  // Malformed channel names are refused before the bus is touched.
  for (std::string bad : {"abc", "-1", "3x", "1.5", "99999999999", "name:AB", "serial:", "desc:",
                          "\"\""})
    rows.push_back({"vexa info " + bad, 2, "invalid DEVICE"});
  for (const Row &row : rows) Expect(row);

  Open(3);  // held by "another program": listed, without its type
  Expect({"vexa list --json", 0, "",
          "    \"product_id\": 24577,\n    \"serial\": \"CD34\",\n    \"type\": \"BCD0200\",\n"
          "    \"type_code\": 1,\n    \"vendor_id\": 1027\n  },\n  {\n"
          "    \"description\": \"Other bridge\",\n    \"index\": 3,\n    \"serial\": \"EF56\",\n"
          "    \"type\": null\n  }\n]\n"});

  setenv("USB_DEVFS_PATH", "/nonexistent/usb", 1);
  Inject(Fault(VEXA_SIM_FAULT_FIND_BUSSES, -ENOENT));
  Expect({"vexa list", 1, "vexa: no USB bus found (looked in /nonexistent/usb); to try vexa "
                          "without hardware, run: vexa-sim -- vexa list\n"});
  unsetenv("USB_DEVFS_PATH");
}

TEST_F(ToolTest, SendRecvAndLoopbackApplyOnlyTheLineOptionsGivenAndCountTheBytes) {
  int chip = AddSingle("CD34", "Single bridge");
  Expect({"vexa send 0", 0, "sent 3 bytes to 0\n", "", "abc"});
  for (int request : {2, 3, 4}) EXPECT_TRUE(ControlLog(request).empty()) << request;
  EXPECT_EQ(TakeTx(chip, 0), "abc");
  // A terminal on standard error gets the progress bar; its last state ends the line.
  Row r = Run("vexa send 0 --baud 9600 --format 7E2 --flow rts-cts", "hello chip", -1, -1, true);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("\r10 bytes  "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("\nsent 10 bytes to 0\n"), std::string::npos) << r.err;
  vexa_sim_channel_state st = State(chip, 0);
  EXPECT_EQ(st.divisor, 0x4138);
  EXPECT_EQ(st.line_control, 7 | (KX_PARITY_EVEN << 8) | (KX_STOP_BITS_2 << 11));
  EXPECT_EQ(st.flow_mode, KX_FLOW_RTS_CTS);
  EXPECT_EQ(TakeTx(chip, 0), "hello chip");

  vexa_sim_queue_rx(chip, 0, "short", 5);
  Expect({"vexa recv 0 --bytes 8 --timeout 100", 1,
          "timed out: received 5 of 8 bytes from 0 (no byte for 100 ms)", "short"});
  // --timeout 0 waits for ever, here for bytes queued well after a second.
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    vexa_sim_queue_rx(chip, 0, "late", 4);
  });
  EXPECT_EQ(Expect({"vexa recv 0 --bytes 4 --timeout 0", 0, ""}).out, "late");
  late.join();
  std::string big;
  for (int i = 0; i < 10000; ++i) big += static_cast<char>('a' + i % 26);
  vexa_sim_queue_rx(chip, 0, big.data(), big.size());
  EXPECT_EQ(Expect({"vexa recv 0 --timeout 200", 0, ""}).out, big);

  vexa_sim_set_loopback(chip, 0, 1);
  Expect({"vexa loopback 0 --bytes 20000", 0, "",
          "20000 bytes sent, 20000 received, 0 errors, 0 missing"});
  // Bytes of the chip's own, queued once the purge at the start is over (the
  // first write shows it is): the pattern (i * 31 mod 256 here) is 0x55 only at 11.
  vexa_sim_set_loopback(chip, 0, 0);
  TakeTx(chip, 0);
  std::thread feeder([&] {
    vexa_sim_wait_tx(chip, 0, 5000);
    vexa_sim_queue_rx(chip, 0, std::string(64, '\x55').data(), 64);
  });
  Expect({"vexa loopback 0 --bytes 64 --timeout 2000", 1, "63 bytes differ, 0 missing",
          "64 received, 63 errors"});
  feeder.join();
}

TEST_F(ToolTest, TermSendsKeysUntilCtrlBracketAndShowsTheEchoAndTheChipsBytes) {
  vexa_sim_set_loopback(AddSingle("CD34", "Single bridge"), 0, 1);
  int keys[2], screen[2];
  ASSERT_TRUE(pipe(keys) == 0 && pipe(screen) == 0);
  // Keys before the quit key go out ("a\r" as "a\r\n"), the quit key and what
  // follows do not; the echo and the looped-back copy each show as "a\r\r\n".
  ASSERT_EQ(write(keys[1], "a\r\x1dignored", 10), 10);
  close(keys[1]);
  const Row r = Run("vexa term 0 --map --echo --idle 300", "", keys[0], screen[1]);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("press Ctrl-] to quit"), std::string::npos) << r.err;
  close(screen[1]);
  EXPECT_EQ(ReadFd(screen[0]), "a\r\r\na\r\r\n");
  close(keys[0]);
  close(screen[0]);
}

TEST_F(ToolTest, SetChangesLinesTimerAndModeAndWatchPrintsEachModemChange) {
  int chip = AddSingle("CD34", "Single bridge");
  Expect({"vexa set 0 --dtr 1 --rts 1 --latency 3 --bit-mode f0:01 --break 20 --baud 9600", 0, "",
          "set 0\n"});
  vexa_sim_channel_state st = State(chip, 0);
  EXPECT_EQ(std::make_tuple(st.dtr, st.rts, st.latency_timer, st.bit_mask, st.bit_mode, st.divisor),
            std::make_tuple(1, 1, 3, 0xF0, 0x01, 0x4138));
  // The break went on and off again: two line-control requests, the first
  // with the break bit.
  const std::vector<vexa_sim_log_entry> breaks = ControlLog(4);
  ASSERT_EQ(breaks.size(), 2u);
  EXPECT_TRUE(breaks[0].value & 0x4000);
  EXPECT_FALSE(breaks[1].value & 0x4000);
  // RTS, not given, is left as it was.
  Expect({"vexa set 0 --dtr 0", 0, "", "set 0\n"});
  EXPECT_EQ(std::make_tuple(State(chip, 0).dtr, State(chip, 0).rts), std::make_tuple(0, 1));

  vexa_sim_set_status(chip, 0, KX_MODEM_CTS, 0);
  Row watched;
  std::thread watcher([&] { watched = Run("vexa watch 0 --count 2"); });
  // Each change once the watcher has its channel open and has had time to
  // print the state before it.
  Eventually([] { return vexa_sim_open_handles() > 0; });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  vexa_sim_set_status(chip, 0, KX_MODEM_CTS | KX_MODEM_DSR, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  vexa_sim_set_status(chip, 0, KX_MODEM_DCD, 0);
  watcher.join();
  EXPECT_EQ(watched.code, 0) << watched.err;
  EXPECT_EQ(watched.out,
            "modem status 0x10 (CTS)\nmodem status 0x30 (CTS DSR)\nmodem status 0x80 (DCD)\n");
}

TEST_F(ToolTest, EepromProgramTakesOptionsOverJsonAndReadsBackTheSameAndTheUserAreaRoundTrips) {
  AddDual("AB12", "Dual bridge");
  const int chip = AddSingle("CD34", "Single bridge");
  Expect({"vexa eeprom program 0 --manufacturer Acme --description Twin --serial-number TW000001 "
          "--max-power 100 --remote-wakeup 1 --iso-in-b 1", 0, "",
          "programmed 0: serial number TW000001\n"});
  Expect({"vexa eeprom read 0", 0, "",
          "vendor_id: 0x0403\nproduct_id: 0x6010\nmanufacturer: Acme\nmanufacturer_id: TW\n"
          "description: Twin\nserial_number: TW000001\nmax_power: 100\nplug_and_play: 1\n"
          "self_powered: 0\nremote_wakeup: 1\n"});
  const std::string saved = Run("vexa eeprom read 0 --json").out, path = Temp("eeprom.json");
  EXPECT_NE(saved.find("\"iso_in_b\": 1,\n  \"iso_out\": 0,\n"), std::string::npos) << saved;
  std::ofstream(path) << saved;
  Expect({"vexa eeprom erase 0", 0, "", "erased the EEPROM of 0\n"});
  Expect({"vexa eeprom read 0", 1, "KX_ERR_EE_BLANK (15)"});
  Expect({"vexa eeprom program 0 --from " + path, 0, ""});
  EXPECT_EQ(Run("vexa eeprom read 0 --json").out, saved);

  // The user area, through standard input and files; what does not fit is refused.
  const int bytes = std::stoi(Expect({"vexa ua size 0", 0, ""}).out);
  ASSERT_GT(bytes, 10);
  Expect({"vexa ua write 0", 0, "wrote 9 of " + std::to_string(bytes) + " bytes", "", "user data"});
  EXPECT_EQ(Run("vexa ua read 0").out, "user data" + std::string(bytes - 9, '\0'));
  const std::string ua = Temp("ua.bin");
  std::ofstream(ua, std::ios::binary) << "from file";
  Expect({"vexa ua write 0 " + ua, 0, ""});
  Expect({"vexa ua read 0 -o " + ua, 0, ""});
  EXPECT_EQ(ReadFile(ua), "from file" + std::string(bytes - 9, '\0'));
  std::remove(ua.c_str());

  // Without a serial number one is generated, with the default prefix.
  Expect({"vexa eeprom program 2", 0, "", "serial number VX"});
  const std::string long_json = Temp("long.json");
  std::ofstream(path) << R"({"manufacturer": "FromFile", "max_power": "0x64", "dual_image": 0})";
  Expect({"vexa eeprom program 2 --max-power 200 --from " + path, 0, ""});
  Expect({"vexa eeprom read 2 --json", 0, "",
          "\"manufacturer\": \"FromFile\",\n  \"manufacturer_id\": \"VX\",\n  \"max_power\": 200"});

  vexa_sim_eeprom_fill(chip, 0xFFFF);
  std::ofstream(path) << R"({"manufaturer": "typo"})";
  std::ofstream(long_json) << R"({"manufacturer": ")" << std::string(20, 'm')
                           << R"(", "description": ")" << std::string(21, 'd') << R"("})";
  const Row rows[] = {
      {"vexa eeprom program 2 --from " + path, 1, "unknown EEPROM field 'manufaturer'"},
      {"vexa eeprom program 2 --from /nonexistent/x.json", 1,
       "cannot open /nonexistent/x.json: No such file or directory"},
      // 20 + 21 + a generated 8 = 49: one more than the single-channel chip holds.
      {"vexa eeprom program 2 --from " + long_json, 1,
       "manufacturer 20 + description 21 + serial number 8 (generated) = 49 characters; "
       "this chip holds at most 48"},
      {"vexa eeprom program 2 --serial-number S1234567 --manufacturer " + std::string(41, 'm'), 1,
       "serial number 8 = 49"},
  };
  for (const Row &row : rows) Expect(row);
  EXPECT_EQ(EepromWords(chip)[1], 0xFFFF);  // nothing was programmed by the failures
  std::remove(long_json.c_str());
  std::remove(path.c_str());
}

TEST_F(ToolTest, DumpWritesTheWholePartLowByteFirst) {
  // The simulator's EEPROM file holds a part as the dump must write it.
  const std::string image = Temp("part.bin"), path = Temp("dump.bin");
  for (const int words : {64, 128, 256}) {
    std::string bytes;
    for (int i = 0; i < 2 * words; ++i) bytes += static_cast<char>(i * 37 % 251);
    std::ofstream(image, std::ios::binary) << bytes;
    const std::string dump = "vexa-sim --chip " + std::string(words == 128 ? "dual" : "r4") +
                             ",eeprom=" + std::to_string(words) + ",eeprom-file=" + image +
                             " -- vexa eeprom dump 0 ";
    const std::string size = "(" + std::to_string(words) + " words) to ";
    Expect({dump + path, 0, "", size + path});
    EXPECT_EQ(ReadFile(path), bytes);
    EXPECT_EQ(Expect({dump + "-", 0, size + "standard output"}).out, bytes);
  }
  std::remove(image.c_str());
  std::remove(path.c_str());
}

TEST_F(ToolTest, SimRunsProgramsAgainstTheDescribedChipsAndKeepsTheirStatusAndMessages) {
  const std::string image = Temp("ee.bin");
  const std::string ee = "vexa-sim --chip r4,serial=PE1,eeprom-file=" + image + " -- vexa eeprom ";
  unlink(image.c_str());
  const std::string longest =
      "vexa-sim --chip \"r4,serial=A-VERY-LONG-SERIAL-NUMBER-0123,desc=Long description\" -- ";
  const std::string odd = "vexa-sim --chip r4,serial=ODD1,vid=0x1234,pid=0x5678 -- vexa ";
  const Row rows[] = {
      {"vexa-sim --chip dual,serial=AB12,desc=Twin --chip r2,serial=CD34,desc=Solo -- vexa list",
       0, "", "\n0      AB12 A  Twin A       DUAL     0403:6010\n"
       "1      AB12 B  Twin B       DUAL     0403:6010\n"
       "2      CD34    Solo         BCD0200  0403:6001\n"},
      // Without --chip: the inherited VEXA_SIM_CHIPS ("": no chip), else one default chip.
      {"env VEXA_SIM_CHIPS=r2,serial=ENV1 vexa-sim -- vexa list", 0, "", "ENV1"},
      {"env VEXA_SIM_CHIPS= vexa-sim -- vexa list", 0, "", "no channels found\n"},
      {"env VEXA_SIM_CHIPS= vexa-sim -- vexa list --json", 0, "", "[]\n"},
      {"env -u VEXA_SIM_CHIPS vexa-sim -- vexa list", 0, "", "VS000001"},
      {longest + "vexa list", 0, "", "A-VERY-LONG-SERIAL-NUMBER-0123  Long description  BCD0400"},
      {longest + "vexa info serial:A-VERY-LONG-SERIAL-NUMBER-0123", 0, "",
       "serial:        A-VERY-LONG-SERIAL-NUMBER-0123\n"},
      {odd + "--vid-pid 1234:5678 list", 0, "", "ODD1"},
      // The simulator reaches the program through the environment.
      {"env LD_LIBRARY_PATH=/opt/elsewhere vexa-sim --chip r4,serial=Q1 --chip dual --pty -- "
       "printenv VEXA_SIM_CHIPS VEXA_SIM_PTY LD_LIBRARY_PATH", 0, "",
       "r4,serial=Q1;dual\n1\n" + std::string(VEXA_SIM_DIR_PATH) + ":/opt/elsewhere\n"},
      {"vexa-sim --chip triple,serial=X -- true", 2,
       "vexa-sim: invalid --chip: 'triple,serial=X': unknown chip type 'triple' "
       "(types: single, r2, r4 or dual)\n"},
      {"vexa-sim --chip r4,eeprom=100 -- true", 2, "eeprom must be 64, 128 or 256 words"},
      {"vexa-sim --chip r4,colour=red -- true", 2, "unknown key 'colour' (keys: serial, desc,"},
      {"vexa-sim --chip r4,packet=4 -- true", 2, "packet must be a number from 8 to 1024, not '4'"},
      {"vexa-sim --chip r4,eeprom-file=/nonexistent/ee.bin -- true", 2,
       "cannot create eeprom-file /nonexistent/ee.bin: No such file or directory"},
      {"vexa-sim --chip r4", 2, "vexa-sim: no PROGRAM given\nUsage: vexa-sim"},
      {"vexa-sim --frobnicate -- true", 2, "vexa-sim: unknown option '--frobnicate'\nUsage:"},
      {"vexa-sim -- /nonexistent/program", 127, "cannot run /nonexistent/program"},
      // The tool's own failures keep their status and their one line.
      {"vexa-sim --chip r4,serial=CD34 -- vexa info serial:NOPE", 1,
       "vexa: cannot open serial:NOPE: KX_ERR_NOT_FOUND (2): no channel with that index, serial "
       "number or description\n"},
      {"vexa-sim --chip r4 -- vexa lst", 2, "vexa: unknown command 'lst' (commands: list, info,"},
      // The examples against a loopback chip through the whole stack; without
      // loopback the read times out and says so.
      {"vexa-sim --chip r4,serial=EX1,loopback=1 --chip r4,serial=EX2 -- serial_echo EX1 ping",
       0, "", "2 channel(s)\n  0: EX1\n  1: EX2\nsent 4 bytes to EX1\nreceived 4 bytes: ping\n"},
      {"vexa-sim --chip r4,serial=EX2 -- serial_echo EX2 ping", 1, "", "received 0 bytes"},
      {"vexa-sim --chip r4,loopback=1 -- event_reader 0 200 greetings", 0, "9 bytes received",
       "greetings"},
      // An EEPROM file keeps what one run programs for the next: created
      // erased, and refused at the wrong size, naming both sizes.
      {ee + "read 0", 1, "KX_ERR_EE_BLANK"},
      {ee + "program 0 --manufacturer Acme", 0, ""},
      {ee + "read 0", 0, "", "manufacturer: Acme\n"},
      {"vexa-sim --chip dual,eeprom-file=" + image + " -- true", 2,
       "holds 128 bytes; a 128-word EEPROM needs 256"},
  };
  for (const Row &row : rows) Expect(row);
  unlink(image.c_str());
}

TEST_F(ToolTest, SimPtyPerChannelShowsTheLineSettingsAndGetsEveryByteBeforeTheProgramEnds) {
  const std::string link = Temp("pty");
  Child c("vexa-sim --pty-link " + link + " --chip dual,serial=PT12 -- vexa term 1 --baud 57600 " +
          "--format 7O2 --flow xon-xoff --idle 100");
  ASSERT_TRUE(Eventually([&] { return c.Err().find("press Ctrl-]") != std::string::npos; }, 10000));
  // One pseudo-terminal per channel, named on stderr and linked; the program uses B.
  for (const char *tag : {"chip 0 channel A: /dev/", "chip 0 channel B: /dev/"})
    EXPECT_NE(c.Err().find(tag), std::string::npos) << c.Err();
  termios a{}, b{};
  const int fa = open((link + "-A").c_str(), O_RDWR | O_NOCTTY);
  const int terminal = open((link + "-B").c_str(), O_RDWR | O_NOCTTY);
  ASSERT_TRUE(tcgetattr(fa, &a) == 0 && tcgetattr(terminal, &b) == 0) << c.Err();
  close(fa);
  // Linux keeps a pty at 8 bits without parity enabled.
  EXPECT_EQ(std::make_tuple(cfgetospeed(&b), b.c_cflag & (CSTOPB | PARODD), b.c_iflag & IXON),
            std::make_tuple(speed_t{B57600}, tcflag_t{CSTOPB | PARODD}, tcflag_t{IXON}));
  EXPECT_EQ(b.c_cc[VSTART], 0x11);
  EXPECT_EQ(b.c_cc[VSTOP], 0x13);
  // Channel A was not touched.
  EXPECT_NE(cfgetospeed(&a), B57600);
  EXPECT_FALSE(a.c_cflag & CSTOPB);

  // Then read in raw mode, as a terminal program would, and slowly: the
  // program is done writing long before the terminal side starts to read,
  // and still every byte arrives, unchanged, before it ends.
  cfmakeraw(&b);
  tcsetattr(terminal, TCSANOW, &b);
  std::string data, got;
  for (int i = 0; i < 200000; ++i) data += "abcdefghijklmnopqrstuvwxy\n"[i % 26];
  c.Write(data);
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    got = ReadFd(terminal, data.size());
  });
  EXPECT_EQ(c.Finish(), 0) << c.Err();
  reader.join();
  EXPECT_TRUE(got == data) << got.size() << " of " << data.size() << " bytes";
  struct stat st;
  EXPECT_NE(lstat((link + "-B").c_str(), &st), 0) << "the link outlived the program";
  close(terminal);
}

TEST(Permissions, WriteRightsByOwnerGroupAndOthers) {
  struct stat node = {};
  node.st_gid = 46;
  node.st_mode = S_IFCHR | 0664;
  EXPECT_TRUE(may_write(node, 0, {}));
  EXPECT_FALSE(may_write(node, 1000, {}));
  EXPECT_TRUE(may_write(node, 1000, {46}));
  node.st_mode = S_IFCHR | 0646;
  EXPECT_FALSE(may_write(node, 1000, {46})) << "group bits, not others, apply to a member";
  EXPECT_TRUE(may_write(node, 1000, {7}));
  node.st_uid = 1000;
  node.st_mode = S_IFCHR | 0466;
  EXPECT_FALSE(may_write(node, 1000, {})) << "owner bits apply to the owner";
}

TEST(Permissions, OnlyBridgeChipNodesWithGoodEntriesAreReported) {
  char pattern[] = "/tmp/vexa-permissions-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string root = pattern;
  for (auto dir : {"/sys", "/dev", "/dev/001", "/sys/1-3"}) mkdir((root + dir).c_str(), 0755);
  // Devices in the fake sysfs and their nodes, owned by root:root.
  const struct {
    const char *name, *vendor, *product;
    int devnum;
    mode_t mode;
  } devices[] = {{"1-1", "0403", "6001", 5, 0664}, {"1-2", "0403", "6010", 6, 0666},
                 {"usb1", "1d6b", "0002", 1, 0664},  // a root hub: not ours to report
                 {"1-4", "zz", "6001", 7, 0600}};     // malformed; 1-3 has no attributes at all
  const bool root_owned = geteuid() == 0;
  for (const auto &d : devices) {
    const std::string folder = root + "/sys/" + d.name;
    mkdir(folder.c_str(), 0755);
    std::ofstream(folder + "/idVendor") << d.vendor << "\n";
    std::ofstream(folder + "/idProduct") << d.product << "\n";
    std::ofstream(folder + "/busnum") << 1 << "\n";
    std::ofstream(folder + "/devnum") << d.devnum << "\n";
    const std::string node = root + "/dev/001/00" + std::to_string(d.devnum);
    std::ofstream(node).put('\0');
    chmod(node.c_str(), d.mode);
    EXPECT_TRUE(!root_owned || chown(node.c_str(), 0, 0) == 0);
  }
  const auto nodes = unwritable_chip_nodes(root + "/sys", root + "/dev", 1000, {});
  if (root_owned) {
    EXPECT_EQ(nodes, std::vector<std::string>{root + "/dev/001/005 (0403:6001)"});
    EXPECT_TRUE(unwritable_chip_nodes(root + "/sys", root + "/dev", 1000, {0}).empty())
        << "a member of the owning group may write";
  }
  EXPECT_TRUE(unwritable_chip_nodes(root + "/nowhere", root + "/dev", 1000, {}).empty());
  std::system(("rm -rf " + root).c_str());
}

}  // namespace
