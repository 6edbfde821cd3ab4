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
    int pipes[3][2];
    for (auto &p : pipes)
      if (pipe(p) != 0) std::abort();
    pid_ = fork();
    if (pid_ == 0) {
      for (int k = 0; k < 3; ++k) dup2(pipes[k][k == 0 ? 0 : 1], k);
      for (auto &p : pipes) {
        close(p[0]);
        close(p[1]);
      }
      for (const auto &kv : env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
      for (const auto &name : unset) unsetenv(name.c_str());
      std::vector<char *> argv;
      for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
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
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (int fd : fds_)
      if (fd >= 0) close(fd);
  }

  void Write(const std::string &data) { ASSERT_EQ(write(fds_[0], data.data(), data.size()), (ssize_t)data.size()); }
  // Reads fd until `want` appears in what was read or 10 s pass.
  static bool ReadUntil(int fd, std::string &buffer, const std::string &want) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (buffer.find(want) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollfd p{fd, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return false;
      char chunk[256];
      ssize_t n = read(fd, chunk, sizeof chunk);
      if (n <= 0) return false;
      buffer.append(chunk, static_cast<size_t>(n));
    }
    return true;
  }
  // Closes its input, collects all output and returns the exit status.
  int Finish(std::string *out = nullptr, std::string *err = nullptr) {
    close(fds_[0]);
    fds_[0] = -1;
    std::string *into[3] = {nullptr, out, err};
    for (int k = 1; k < 3; ++k) {
      char chunk[4096];
      ssize_t n;
      while ((n = read(fds_[k], chunk, sizeof chunk)) > 0)
        if (into[k]) into[k]->append(chunk, static_cast<size_t>(n));
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  int out_fd() const { return fds_[1]; }
  int err_fd() const { return fds_[2]; }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int fds_[3] = {-1, -1, -1};
};

const std::string kSim = VEXA_SIM_LAUNCHER_PATH;
const std::string kVexa = VEXA_TOOL_PATH;
const std::string kExamples = VEXA_EXAMPLES_DIR;

struct Outcome {
  int code;
  std::string out, err;
};

// Runs vexa-sim with the arguments to its end.
Outcome RunSim(std::vector<std::string> args, const std::map<std::string, std::string> &env = {},
               const std::vector<std::string> &unset = {}) {
  args.insert(args.begin(), kSim);
  Child child(args, env, unset);
  Outcome result;
  result.code = child.Finish(&result.out, &result.err);
  return result;
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
  // Without chips: the inherited description, or else one default chip.
  EXPECT_NE(RunSim({"--", kVexa, "list"}, {{"VEXA_SIM_CHIPS", "r2,serial=ENV1"}}).out.find("ENV1"), std::string::npos);
  EXPECT_NE(RunSim({"--", kVexa, "list"}, {}, {"VEXA_SIM_CHIPS"}).out.find("VS000001"), std::string::npos);
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
      {{"--chip", "triple,serial=X", "--", "/bin/true"}, 2, "invalid --chip 'triple,serial=X'"},
      {{"--chip", "r4"}, 2, ""},
      {{"--frobnicate", "--", "/bin/true"}, 2, ""},
      {{"--", "/nonexistent/program"}, 127, "cannot run /nonexistent/program"},
      // The tool's own failure keeps its status and its one line.
      {{"--chip", "r4,serial=CD34", "--", kVexa, "info", "serial:NOPE"}, 1,
       "vexa: cannot open serial:NOPE: KX_ERR_NOT_FOUND (2): no channel with that index, "
       "serial number or description\n"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.args[0] + " " + row.args[1]);
    Outcome r = RunSim(row.args);
    EXPECT_EQ(r.code, row.code);
    EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
    EXPECT_TRUE(row.code != 1 || r.err == row.err) << "more than the one line: " << r.err;
  }
}

TEST(VexaSim, ToolAndExamplesTalkToALoopbackChipThroughTheWholeStack) {
  Outcome r = RunSim({"--chip", "r4,serial=LB1,loopback=1", "--", kVexa, "loopback", "serial:LB1", "--bytes",
                      "50000", "--baud", "115200"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("50000 bytes sent, 50000 received, 0 errors, 0 missing"), std::string::npos) << r.out;

  r = RunSim({"--chip", "r4,serial=EX1,loopback=1", "--chip", "r4,serial=EX2", "--", kExamples + "/serial_echo",
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
  // Opened as a terminal program would, in raw mode.
  int terminal = open(name.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0) << name;
  termios t;
  tcgetattr(terminal, &t);
  cfmakeraw(&t);
  tcsetattr(terminal, TCSANOW, &t);

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
