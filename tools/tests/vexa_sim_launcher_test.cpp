// vexa-sim and the vexa tool as a user runs them: the built programs in child
// processes, the simulator handed over through the environment, and the pty
// bridge driven from the host side like a terminal program would.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

const std::string kSim = VEXA_SIM_LAUNCHER_PATH;
const std::string kVexa = VEXA_TOOL_PATH;
const std::string kExamples = VEXA_EXAMPLES_DIR;

// vexa-sim ARGS... in a child with pipes on its three standard streams.
class Child {
 public:
  explicit Child(std::vector<std::string> args, const std::map<std::string, std::string> &env = {},
                 bool unset_chips = false) {
    args.insert(args.begin(), kSim);
    int pipes[3][2];
    for (auto &p : pipes)
      if (pipe(p) != 0) std::abort();
    pid_ = fork();
    if (pid_ == 0) {
      for (int k = 0; k < 3; ++k) dup2(pipes[k][k == 0 ? 0 : 1], k);
      for (auto &p : pipes) close(p[0]), close(p[1]);
      for (const auto &kv : env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
      if (unset_chips) unsetenv("VEXA_SIM_CHIPS");
      std::vector<char *> argv;
      for (std::string &a : args) argv.push_back(&a[0]);
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(126);
    }
    for (int k = 0; k < 3; ++k) {
      close(pipes[k][k == 0 ? 0 : 1]);
      fds_[k] = pipes[k][k == 0 ? 1 : 0];  // our ends: stdin's writer, the readers of the others
    }
  }
  ~Child() {
    if (!reaped_) kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
    for (int fd : fds_)
      if (fd >= 0) close(fd);
  }

  void Write(const std::string &data) { ASSERT_EQ(write(fds_[0], data.data(), data.size()), (ssize_t)data.size()); }
  void CloseInput() { close(std::exchange(fds_[0], -1)); }
  // Closes its input, collects all output and returns the exit status.
  int Finish(std::string *out = nullptr, std::string *err = nullptr) {
    CloseInput();
    std::string ignored;
    std::thread err_reader([&] { ReadUntil(fds_[2], err ? *err : ignored, "", 120); });
    ReadUntil(fds_[1], out ? *out : ignored, "", 120);
    err_reader.join();
    int status = 0;
    waitpid(pid_, &status, 0);
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  int out_fd() const { return fds_[1]; }
  int err_fd() const { return fds_[2]; }

  // Reads fd until `want` appears (an empty `want`: until the end) or the
  // seconds pass; true when it appeared.
  static bool ReadUntil(int fd, std::string &buffer, const std::string &want, int seconds = 10) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (want.empty() || buffer.find(want) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now()).count();
      pollfd p{fd, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return false;
      char chunk[65536];
      ssize_t n = read(fd, chunk, sizeof chunk);
      if (n <= 0) return want.empty();
      buffer.append(chunk, static_cast<size_t>(n));
    }
    return true;
  }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int fds_[3] = {-1, -1, -1};
};

struct Outcome {
  int code;
  std::string out, err;
};

Outcome RunSim(const std::vector<std::string> &args, const std::map<std::string, std::string> &env = {},
               bool unset_chips = false) {
  Outcome result;
  result.code = Child(args, env, unset_chips).Finish(&result.out, &result.err);
  return result;
}

// Opens a pty by name, in raw mode as a terminal program would.
int OpenRaw(const std::string &name) {
  int fd = open(name.c_str(), O_RDWR | O_NOCTTY);
  termios t;
  if (fd >= 0 && tcgetattr(fd, &t) == 0) cfmakeraw(&t), tcsetattr(fd, TCSANOW, &t);
  return fd;
}

TEST(VexaSim, RunsAnUnmodifiedProgramAgainstTheDescribedChips) {
  Outcome r = RunSim({"--chip", "dual,serial=AB12,desc=Twin", "--chip", "r4,serial=CD34,desc=Solo", "--", kVexa,
                      "list", "--json"});
  ASSERT_EQ(r.code, 0) << r.err;
  nlohmann::json list = nlohmann::json::parse(r.out);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0]["serial"], "AB12 A");
  EXPECT_EQ(list[1]["description"], "Twin B");
  EXPECT_EQ(list[2]["serial"], "CD34");
  EXPECT_EQ(list[2]["type"], "BCD0400");
  // Without chips: the inherited description (empty: a bus without chips),
  // or else one default chip.
  EXPECT_NE(RunSim({"--", kVexa, "list"}, {{"VEXA_SIM_CHIPS", "r2,serial=ENV1"}}).out.find("ENV1"), std::string::npos);
  EXPECT_EQ(RunSim({"--", kVexa, "list"}, {{"VEXA_SIM_CHIPS", ""}}).out, "no channels found\n");
  EXPECT_NE(RunSim({"--", kVexa, "list"}, {}, true).out.find("VS000001"), std::string::npos);

  const std::string longest = "r4,serial=A-VERY-LONG-SERIAL-NUMBER-0123,desc=Long description here";
  const std::string other = "r4,serial=ODD1,vid=0x1234,pid=0x5678";
  const struct {
    std::string chip;
    std::vector<std::string> args;
    std::string out;
  } rows[] = {
      {longest, {"list"}, "A-VERY-LONG-SERIAL-NUMBER-0123  Long description here  BCD0400"},
      {longest, {"info", "serial:A-VERY-LONG-SERIAL-NUMBER-0123"}, "serial:        A-VERY-LONG-SERIAL-NUMBER-0123\n"},
      {other, {"list"}, "no channels found"},
      {other, {"--vid-pid", "1234:5678", "list"}, "ODD1"},
  };
  for (const auto &row : rows) {
    std::vector<std::string> args = {"--chip", row.chip, "--", kVexa};
    args.insert(args.end(), row.args.begin(), row.args.end());
    r = RunSim(args);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find(row.out), std::string::npos) << r.out;
  }
}

TEST(VexaSim, HandsTheSimulatorToTheProgramThroughTheEnvironment) {
  Outcome r = RunSim({"--chip", "r4,serial=Q1", "--chip", "dual", "--pty", "--", "/bin/sh", "-c",
                      "printf '%s|%s|%s' \"$VEXA_SIM_CHIPS\" \"$VEXA_SIM_PTY\" \"$LD_LIBRARY_PATH\""},
                     {{"LD_LIBRARY_PATH", "/opt/elsewhere"}});
  ASSERT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "r4,serial=Q1;dual|1|" + std::string(VEXA_SIM_DIR_PATH) + ":/opt/elsewhere");
}

TEST(VexaSim, ExitStatusesAndMessagesOfTheLauncherAndTheProgram) {
  const struct {
    std::vector<std::string> args;
    int code;
    std::string err;  // a piece of stderr
  } rows[] = {
      {{"--chip", "triple,serial=X", "--", "/bin/true"}, 2,
       "invalid --chip: 'triple,serial=X': unknown chip type 'triple' (types: single, r2, r4 or dual)"},
      {{"--chip", "r4,eeprom=100", "--", "/bin/true"}, 2, "eeprom must be 64, 128 or 256 words"},
      {{"--chip", "r4,colour=red", "--", "/bin/true"}, 2, "unknown key 'colour' (keys: serial, desc,"},
      {{"--chip", "r4,packet=4", "--", "/bin/true"}, 2, "packet must be a number from 8 to 1024, not '4'"},
      {{"--chip", "r4,eeprom-file=/nonexistent/ee.bin", "--", "/bin/true"}, 2,
       "cannot create eeprom-file /nonexistent/ee.bin: No such file or directory"},
      {{"--chip", "r4"}, 2, ""},
      {{"--frobnicate", "--", "/bin/true"}, 2, ""},
      {{"--", "/nonexistent/program"}, 127, "cannot run /nonexistent/program"},
      // The tool's own failures keep their status and their one line.
      {{"--chip", "r4,serial=CD34", "--", kVexa, "info", "serial:NOPE"}, 1,
       "vexa: cannot open serial:NOPE: KX_ERR_NOT_FOUND (2): no channel with that index, "
       "serial number or description\n"},
      {{"--chip", "r4", "--", kVexa, "lst"}, 2, "vexa: unknown command 'lst'"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.args[0] + " " + row.args[1]);
    Outcome r = RunSim(row.args);
    EXPECT_EQ(r.code, row.code);
    EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
    EXPECT_TRUE(row.code != 1 || r.err == row.err) << "more than the one line: " << r.err;
    EXPECT_TRUE(row.code != 1 || r.out.empty()) << r.out;
  }
}

TEST(VexaSim, ExamplesTalkToALoopbackChipThroughTheWholeStack) {
  Outcome r = RunSim({"--chip", "r4,serial=EX1,loopback=1", "--chip", "r4,serial=EX2", "--", kExamples + "/serial_echo",
              "EX1", "ping"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("2 channel(s)\n  0: EX1\n  1: EX2\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("received 4 bytes: ping"), std::string::npos) << r.out;
  // Without loopback nothing comes back: the read times out and says so.
  r = RunSim({"--chip", "r4,serial=EX2", "--", kExamples + "/serial_echo", "EX2", "ping"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("received 0 bytes"), std::string::npos) << r.out;

  r = RunSim({"--chip", "r4,serial=EV1,loopback=1", "--", kExamples + "/event_reader", "0", "200", "greetings"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "greetings");
  EXPECT_NE(r.err.find("9 bytes received"), std::string::npos) << r.err;
}

TEST(VexaSim, EepromFileKeepsWhatOneRunProgramsForTheNext) {
  const std::string image = ::testing::TempDir() + "vexa_sim_ee_" + std::to_string(getpid()) + ".bin";
  unlink(image.c_str());
  const std::string chip = "r4,serial=PE1,eeprom-file=" + image;
  Outcome r = RunSim({"--chip", chip, "--", kVexa, "eeprom", "read", "0"});
  EXPECT_EQ(r.code, 1);  // created erased
  EXPECT_NE(r.err.find("KX_ERR_EE_BLANK"), std::string::npos) << r.err;
  ASSERT_EQ(RunSim({"--chip", chip, "--", kVexa, "eeprom", "program", "0", "--manufacturer", "Acme"}).code, 0);
  r = RunSim({"--chip", chip, "--", kVexa, "eeprom", "read", "0"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("manufacturer: Acme\n"), std::string::npos) << r.out;
  // An image of the wrong size is refused, naming both sizes.
  r = RunSim({"--chip", "dual,eeprom-file=" + image, "--", "/bin/true"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("holds 128 bytes; a 128-word EEPROM needs 256"), std::string::npos) << r.err;
  unlink(image.c_str());
}

TEST(VexaSim, PtyCarriesBytesBothWaysAndShowsTheLineSettingsPerChannel) {
  const std::string link = ::testing::TempDir() + "vexa_sim_line_" + std::to_string(getpid());
  Child c({"--pty", "--pty-link", link, "--chip", "dual,serial=PT12", "--", kVexa, "term", "serial:PT12 B",
           "--baud", "57600", "--format", "7O2", "--flow", "xon-xoff"});
  std::string err;
  ASSERT_TRUE(Child::ReadUntil(c.err_fd(), err, "press Ctrl-]")) << err;
  // One pseudo-terminal per channel, named on stderr and linked; the program uses B.
  for (const char *tag : {"chip 0 channel A: /dev/", "chip 0 channel B: /dev/"})
    EXPECT_NE(err.find(tag), std::string::npos) << err;
  termios a{}, b{};
  int fa = open((link + "-A").c_str(), O_RDWR | O_NOCTTY), terminal = open((link + "-B").c_str(), O_RDWR | O_NOCTTY);
  ASSERT_TRUE(fa >= 0 && terminal >= 0 && tcgetattr(fa, &a) == 0 && tcgetattr(terminal, &b) == 0) << err;
  EXPECT_EQ(cfgetospeed(&b), B57600);
  EXPECT_TRUE(b.c_cflag & CSTOPB);
  EXPECT_TRUE(b.c_cflag & PARODD);  // Linux keeps a pty at 8 bits without parity enabled
  EXPECT_TRUE(b.c_iflag & IXON);
  EXPECT_EQ(b.c_cc[VSTART], 0x11);
  EXPECT_EQ(b.c_cc[VSTOP], 0x13);
  // Channel A was not touched.
  EXPECT_NE(cfgetospeed(&a), B57600);
  EXPECT_FALSE(a.c_cflag & CSTOPB);
  close(fa);
  // Then used as a terminal program would, in raw mode.
  cfmakeraw(&b);
  tcsetattr(terminal, TCSANOW, &b);

  // Typed on the pty: arrives through bulk IN and the program shows it.
  ASSERT_EQ(write(terminal, "to program", 10), 10);
  std::string shown;
  EXPECT_TRUE(Child::ReadUntil(c.out_fd(), shown, "to program")) << shown;
  // Written by the program: comes out of the pty.
  c.Write("to terminal");
  std::string seen;
  EXPECT_TRUE(Child::ReadUntil(terminal, seen, "to terminal")) << seen;

  c.Write("\x1d");
  EXPECT_EQ(c.Finish(), 0);
  close(terminal);
}

TEST(VexaSim, PtyGetsEveryByteBeforeTheProgramEndsAndItsLinkGoesWithIt) {
  const std::string link = ::testing::TempDir() + "vexa_sim_pty_" + std::to_string(getpid());
  std::string data(200000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + (i >> 9));
  Child c({"--pty-link", link, "--chip", "r4", "--", kVexa, "send", "0"});
  std::string err;
  ASSERT_TRUE(Child::ReadUntil(c.err_fd(), err, "linked as " + link)) << err;
  int terminal = OpenRaw(link);
  ASSERT_GE(terminal, 0) << err;
  c.Write(data);
  c.CloseInput();
  // A slow reader: the program is done writing long before the terminal
  // side starts to read, and still every byte arrives.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::string got;
  EXPECT_TRUE(Child::ReadUntil(terminal, got, data)) << got.size() << " of " << data.size() << " bytes";
  EXPECT_EQ(c.Finish(nullptr, &err), 0) << err;
  EXPECT_TRUE(got == data);
  struct stat st;
  EXPECT_NE(lstat(link.c_str(), &st), 0) << "the link outlived the program";
  close(terminal);
}

}  // namespace
