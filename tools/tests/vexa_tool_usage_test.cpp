// The built vexa tool as a user meets it: run under the built vexa-sim in a
// child process, one row per case, judged by exit status and output.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Outcome {
  int code = -1;
  std::string out, err;
};

std::string ReadAll(int fd) {
  std::string text;
  char chunk[4096];
  ssize_t n;
  while ((n = read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(n));
  return text;
}

// vexa-sim --chip CHIP -- vexa ARGS..., with `input` on standard input.
Outcome RunVexa(const std::string &chip, const std::vector<std::string> &args, const std::string &input) {
  std::vector<std::string> argv = {VEXA_SIM_LAUNCHER_PATH, "--chip", chip, "--", VEXA_TOOL_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  int in[2], out[2], err[2];
  if (pipe(in) || pipe(out) || pipe(err)) std::abort();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    std::vector<char *> raw;
    for (std::string &a : argv) raw.push_back(&a[0]);
    raw.push_back(nullptr);
    execv(raw[0], raw.data());
    _exit(126);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  std::thread feeder([&] {
    if (!input.empty() && write(in[1], input.data(), input.size()) < 0) {
      // The tool may have quit before reading; its status tells.
    }
    close(in[1]);
  });
  Outcome r;
  std::thread err_reader([&] { r.err = ReadAll(err[0]); });
  r.out = ReadAll(out[0]);
  err_reader.join();
  feeder.join();
  close(out[0]);
  close(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

const char kLong[] = "r4,serial=A-VERY-LONG-SERIAL-NUMBER-0123,desc=Long description here";

struct Row {
  const char *what;
  std::string chip;
  std::vector<std::string> args;
  std::string input;
  int code;
  std::string out, err;  // pieces that must appear
};

TEST(VexaTool, ExitStatusAndMessagesAsTheUserSeesThem) {
  const std::string r4 = "r4,serial=T1,desc=Tool test";
  const Row rows[] = {
      {"unknown command", r4, {"lst"}, "", 2, "", "vexa: unknown command 'lst' (commands: list, info,"},
      {"unknown subcommand", r4, {"eeprom", "dumb", "0"}, "", 2, "", "unknown command 'dumb' (commands: read, program, erase, dump)"},
      {"negative baud", r4, {"send", "0", "--baud", "-5"}, "", 2, "", "--baud: -5 is out of range (expected 184 to 3090000)"},
      {"baud 0", r4, {"send", "0", "--baud", "0"}, "", 2, "", "--baud: 0 is out of range"},
      {"negative count", r4, {"recv", "0", "--bytes", "-1"}, "", 2, "", "--bytes: -1 is out of range"},
      {"timeout not a number", r4, {"recv", "0", "--timeout", "soon"}, "", 2, "", "--timeout: 'soon' is not a whole number"},
      {"power", r4, {"eeprom", "program", "0", "--max-power", "600"}, "", 2, "", "--max-power: '600' is not a number from 0 to 500"},
      {"switch", r4, {"eeprom", "program", "0", "--plug-and-play", "2"}, "", 2, "", "--plug-and-play: '2' is not a number from 0 to 1"},
      {"prefix", r4, {"eeprom", "program", "0", "--manufacturer-id", "V"}, "", 2, "", "must be exactly two characters"},
      {"device", r4, {"info", "abc"}, "", 2, "", "invalid DEVICE 'abc'"},
      {"format", r4, {"send", "0", "--format", "8X1"}, "x", 2, "", "invalid --format '8X1'"},
      {"flow", r4, {"send", "0", "--flow", "hardware"}, "x", 2, "", "invalid --flow 'hardware'"},
      {"latency", r4, {"set", "0", "--latency", "300"}, "", 2, "", "--latency: 300 is out of range (expected 1 to 255)"},
      {"bit mode", r4, {"set", "0", "--bit-mode", "ff"}, "", 2, "", "'ff' is not MASK:MODE"},
      {"vid-pid", r4, {"--vid-pid", "12:zz", "list"}, "", 2, "", "'12:zz' is not VID:PID"},
      {"dump size", r4, {"eeprom", "dump", "0", "x", "--words", "100"}, "", 2, "", "--words"},
      // Failures of a valid command: exit 1, one line that says what went wrong.
      {"silent chip", r4 + ",loopback=0", {"recv", "0", "--bytes", "5", "--timeout", "100"}, "", 1, "",
       "vexa: timed out: received 0 of 5 bytes from 0 (no byte for 100 ms)"},
      {"missing file", r4, {"ua", "write", "0", "/nonexistent/data.bin"}, "", 1, "",
       "cannot open /nonexistent/data.bin: No such file or directory"},
      {"too long", r4, {"eeprom", "program", "0", "--manufacturer", std::string(30, 'm'), "--description", std::string(11, 'd')}, "", 1, "",
       "manufacturer 30 + description 11 + serial number 8 (generated) = 49 characters; this chip holds at most 48"},
      // Output.
      {"long list", kLong, {"list"}, "", 0, "A-VERY-LONG-SERIAL-NUMBER-0123  Long description here  BCD0400", ""},
      {"long info", kLong, {"info", "0"}, "", 0, "serial:        A-VERY-LONG-SERIAL-NUMBER-0123\n", ""},
      {"long info by name", kLong, {"info", "serial:A-VERY-LONG-SERIAL-NUMBER-0123"}, "", 0, "serial:        A-VERY-LONG-SERIAL-NUMBER-0123\n", ""},
      {"other identifiers unseen", "r4,serial=ODD1,vid=0x1234,pid=0x5678", {"list"}, "", 0, "no channels found", ""},
      {"other identifiers", "r4,serial=ODD1,vid=0x1234,pid=0x5678", {"--vid-pid", "1234:5678", "list"}, "", 0, "ODD1", ""},
      {"serial printed", r4, {"eeprom", "program", "0", "--serial-number", "SN000042"}, "", 0, "serial number SN000042", ""},
      {"set", r4, {"set", "0", "--dtr", "1", "--rts", "0", "--break", "5", "--latency", "2", "--bit-mode", "ff:01"}, "", 0, "set 0", ""},
      {"term from a pipe", r4 + ",loopback=1", {"term", "0", "--map", "--idle", "300"}, "hi\n", 0, "hi\r\r\n", "press Ctrl-]"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    Outcome r = RunVexa(row.chip, row.args, row.input);
    EXPECT_EQ(r.code, row.code) << r.err;
    EXPECT_NE(r.out.find(row.out), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
    if (row.code != 0) {
      EXPECT_EQ(r.out, "");
    }
  }
}

TEST(VexaTool, DumpWritesTheWholePartToStandardOutput) {
  // A programmed part (kept in a file from one run to the next), so that
  // its contents repeat only with its own size.
  const std::string image = ::testing::TempDir() + "vexa_dump_" + std::to_string(getpid()) + ".bin";
  for (const std::string words : {"64", "128", "256"}) {
    SCOPED_TRACE(words);
    unlink(image.c_str());
    const std::string chip = "dual,eeprom=" + words + ",eeprom-file=" + image;
    ASSERT_EQ(RunVexa(chip, {"eeprom", "program", "0"}, "").code, 0);
    Outcome r = RunVexa(chip, {"eeprom", "dump", "0", "-"}, "");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.size(), 2u * std::stoul(words));
    EXPECT_NE(r.err.find("(" + words + " words) to standard output"), std::string::npos) << r.err;
  }
  unlink(image.c_str());
}

TEST(VexaTool, TermEchoesAndMapsBothWays) {
  // Typed "a\r" goes out as "a\r\n"; the echo and the looped-back copy each
  // show as "a\r\r\n" on the screen.
  Outcome r = RunVexa("r4,loopback=1", {"term", "0", "--map", "--echo", "--idle", "300"}, "a\r");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "a\r\r\na\r\r\n");
  r = RunVexa("r4,loopback=1", {"term", "0", "--idle", "300"}, "a\r");
  EXPECT_EQ(r.out, "a\r");
}

}  // namespace
