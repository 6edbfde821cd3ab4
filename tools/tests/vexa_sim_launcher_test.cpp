// vexa-sim as a user runs it: the built programs in child processes, the
// simulator handed over through the environment, and the pty bridge driven
// from the host side like a terminal program would.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A child with pipes on its three standard streams.
class Child {
 public:
  Child(const std::vector<std::string> &args, const std::map<std::string, std::string> &env = {},
        const std::vector<std::string> &unset = {}) {
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) std::abort();
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(err[1], 2);
      for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
      for (const auto &kv : env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
      for (const auto &name : unset) unsetenv(name.c_str());
      std::vector<char *> argv;
      for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(126);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
  }
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (int fd : {in_, out_, err_})
      if (fd >= 0) close(fd);
  }

  void Write(const std::string &data) { ASSERT_EQ(write(in_, data.data(), data.size()), (ssize_t)data.size()); }
  void CloseInput() {
    close(in_);
    in_ = -1;
  }
  // Reads fd until `want` appears in what was read or the deadline passes.
  static bool ReadUntil(int fd, std::string &buffer, const std::string &want, int timeout_ms = 10000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (buffer.find(want) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) return false;
      char chunk[256];
      ssize_t n = read(fd, chunk, sizeof chunk);
      if (n <= 0) return false;
      buffer.append(chunk, static_cast<size_t>(n));
    }
    return true;
  }
  // Collects all output and the exit status.
  int Finish(std::string *out = nullptr, std::string *err = nullptr) {
    if (in_ >= 0) CloseInput();
    std::string o, e;
    Drain(out_, o);
    Drain(err_, e);
    int status = 0;
    waitpid(pid_, &status, 0);
    reaped_ = true;
    if (out) *out += o;
    if (err) *err += e;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  int out_fd() const { return out_; }
  int err_fd() const { return err_; }

 private:
  static void Drain(int fd, std::string &into) {
    char chunk[4096];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0) into.append(chunk, static_cast<size_t>(n));
  }
  pid_t pid_ = -1;
  bool reaped_ = false;
  int in_ = -1, out_ = -1, err_ = -1;
};

const std::string kSim = VEXA_SIM_LAUNCHER_PATH;
const std::string kVexa = VEXA_TOOL_PATH;

TEST(VexaSim, RunsAnUnmodifiedProgramAgainstTheDescribedChips) {
  Child c({kSim, "--chip", "dual,serial=AB12,desc=Twin", "--chip", "r4,serial=CD34,desc=Solo", "--",
           kVexa, "list", "--json"});
  std::string out, err;
  ASSERT_EQ(c.Finish(&out, &err), 0) << err;
  nlohmann::json list = nlohmann::json::parse(out);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0]["serial"], "AB12 A");
  EXPECT_EQ(list[1]["description"], "Twin B");
  EXPECT_EQ(list[2]["serial"], "CD34");
  EXPECT_EQ(list[2]["type"], "BCD0400");
}

TEST(VexaSim, WithoutChipsItUsesTheInheritedDescriptionOrOneDefaultChip) {
  std::string out;
  Child inherited({kSim, "--", kVexa, "list"}, {{"VEXA_SIM_CHIPS", "r2,serial=ENV1"}});
  ASSERT_EQ(inherited.Finish(&out), 0);
  EXPECT_NE(out.find("ENV1"), std::string::npos) << out;

  out.clear();
  Child fresh({kSim, "--", kVexa, "list"}, {}, {"VEXA_SIM_CHIPS"});
  ASSERT_EQ(fresh.Finish(&out), 0);
  EXPECT_NE(out.find("VS000001"), std::string::npos) << out;
}

TEST(VexaSim, HandsTheSimulatorToTheProgramThroughTheEnvironment) {
  Child c({kSim, "--chip", "r4,serial=Q1", "--chip", "dual", "--pty", "--", "/bin/sh", "-c",
           "printf '%s|%s|%s' \"$VEXA_SIM_CHIPS\" \"$VEXA_SIM_PTY\" \"$LD_LIBRARY_PATH\""},
          {{"LD_LIBRARY_PATH", "/opt/elsewhere"}});
  std::string out;
  ASSERT_EQ(c.Finish(&out), 0);
  const std::string expected_path = std::string(VEXA_SIM_DIR_PATH) + ":/opt/elsewhere";
  EXPECT_EQ(out, "r4,serial=Q1;dual|1|" + expected_path);
}

TEST(VexaSim, RejectsBadChipsAndMissingProgramsWithUsageErrors) {
  std::string err;
  Child bad({kSim, "--chip", "triple,serial=X", "--", "/bin/true"});
  EXPECT_EQ(bad.Finish(nullptr, &err), 2);
  EXPECT_NE(err.find("invalid --chip 'triple,serial=X'"), std::string::npos) << err;
  Child none({kSim, "--chip", "r4"});
  EXPECT_EQ(none.Finish(), 2);
  Child unknown({kSim, "--frobnicate", "--", "/bin/true"});
  EXPECT_EQ(unknown.Finish(), 2);
  err.clear();
  Child missing({kSim, "--", "/nonexistent/program"});
  EXPECT_EQ(missing.Finish(nullptr, &err), 127);
  EXPECT_NE(err.find("cannot run /nonexistent/program"), std::string::npos);
}

TEST(VexaSim, ToolFailuresKeepTheirExitStatusAndOneLine) {
  Child c({kSim, "--chip", "r4,serial=CD34", "--", kVexa, "info", "serial:NOPE"});
  std::string out, err;
  EXPECT_EQ(c.Finish(&out, &err), 1);
  EXPECT_EQ(err, "vexa: cannot open serial:NOPE: KX_ERR_NOT_FOUND (2): no channel with that index, "
                 "serial number or description\n");
}

TEST(VexaSim, LoopbackChipEchoesThroughTheWholeStack) {
  Child c({kSim, "--chip", "r4,serial=LB1,loopback=1", "--", kVexa, "loopback", "serial:LB1",
           "--bytes", "50000", "--baud", "115200"});
  std::string out, err;
  ASSERT_EQ(c.Finish(&out, &err), 0) << err;
  EXPECT_NE(out.find("50000 bytes sent, 50000 received, 0 errors, 0 missing"), std::string::npos) << out;
}

TEST(VexaSim, ExamplesTalkToALoopbackChip) {
  const std::string dir = VEXA_EXAMPLES_DIR;
  std::string out, err;
  Child echo({kSim, "--chip", "r4,serial=EX1,loopback=1", "--chip", "r4,serial=EX2", "--",
              dir + "/serial_echo", "EX1", "ping"});
  ASSERT_EQ(echo.Finish(&out, &err), 0) << err;
  EXPECT_NE(out.find("2 channel(s)\n  0: EX1\n  1: EX2\n"), std::string::npos) << out;
  EXPECT_NE(out.find("received 4 bytes: ping"), std::string::npos) << out;

  // Without loopback nothing comes back: the read times out and says so.
  out.clear();
  Child silent({kSim, "--chip", "r4,serial=EX2", "--", dir + "/serial_echo", "EX2", "ping"});
  EXPECT_EQ(silent.Finish(&out), 1);
  EXPECT_NE(out.find("received 0 bytes"), std::string::npos) << out;

  out.clear();
  err.clear();
  Child reader({kSim, "--chip", "r4,serial=EV1,loopback=1", "--", dir + "/event_reader", "0", "200",
                "greetings"});
  ASSERT_EQ(reader.Finish(&out, &err), 0) << err;
  EXPECT_EQ(out, "greetings");
  EXPECT_NE(err.find("9 bytes received"), std::string::npos) << err;
}

// Opens a pty slave as a terminal program would, in raw mode.
int open_terminal(const std::string &name) {
  int fd = open(name.c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) return -1;
  termios t;
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
  return fd;
}

TEST(VexaSim, PtyCarriesBytesBothWaysBetweenATerminalAndTheProgram) {
  Child c({kSim, "--pty", "--chip", "dual,serial=PT12", "--", kVexa, "term", "serial:PT12 B"});
  std::string err;
  ASSERT_TRUE(Child::ReadUntil(c.err_fd(), err, "press Ctrl-]")) << err;
  // One pseudo-terminal per channel, named on stderr; the program uses B.
  const std::string tag = "chip 0 channel B: ";
  const size_t at = err.find(tag);
  ASSERT_NE(at, std::string::npos) << err;
  EXPECT_NE(err.find("chip 0 channel A: /dev/"), std::string::npos) << err;
  const std::string name = err.substr(at + tag.size(), err.find('\n', at) - at - tag.size());
  int terminal = open_terminal(name);
  ASSERT_GE(terminal, 0) << name;

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

}  // namespace
