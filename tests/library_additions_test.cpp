// The library's additions beside the KX_ interface: status names and texts,
// the version, and the VEXA_DEBUG trace (seen from a child process, since the
// environment is read once per process).
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "sim_fixture.h"

namespace {

TEST(StatusText, EveryCodeHasItsNameAndASentenceAndOthersAFixedText) {
#define ROW(code) {code, #code}
  const struct {
    KX_STATUS code;
    const char *name;
  } known[] = {ROW(KX_OK), ROW(KX_ERR_NOT_FOUND), ROW(KX_ERR_NOT_OPENED), ROW(KX_ERR_IO),
               ROW(KX_ERR_RESOURCES), ROW(KX_ERR_PARAMETER), ROW(KX_ERR_BAUD_RATE), ROW(KX_ERR_WRITE),
               ROW(KX_ERR_EE_READ), ROW(KX_ERR_EE_WRITE), ROW(KX_ERR_EE_ERASE), ROW(KX_ERR_EE_ABSENT),
               ROW(KX_ERR_EE_BLANK), ROW(KX_ERR_ARGS), ROW(KX_ERR_UNSUPPORTED), ROW(KX_ERR_OTHER)};
#undef ROW
  std::set<std::string> texts;
  for (const auto &row : known) {
    SCOPED_TRACE(row.name);
    EXPECT_STREQ(vexa_status_name(row.code), row.name);
    const std::string text = vexa_status_text(row.code);
    ASSERT_GT(text.size(), 3u);
    EXPECT_TRUE(std::isupper(static_cast<unsigned char>(text[0])));
    EXPECT_NE(text.back(), '.');
    texts.insert(text);
  }
  EXPECT_EQ(texts.size(), 16u) << "each code has a text of its own";

  const std::string unknown_text = vexa_status_text(99);
  for (KX_STATUS code : {1u, 8u, 9u, 19u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(code);
    EXPECT_STREQ(vexa_status_name(code), "KX_ERR_UNKNOWN");
    EXPECT_EQ(vexa_status_text(code), unknown_text);
  }
  EXPECT_EQ(texts.count(unknown_text), 0u);
}

TEST(Version, TheLibraryReportsTheVersionOfItsHeader) {
  EXPECT_STREQ(vexa_version(), VEXA_VERSION_STRING);
}

// The traced work, run in a child process (TRACE_CHILD set): a listing, a
// control request, a write and one failing call. Skipped when run directly.
class TraceChild : public SimTest {};

TEST_F(TraceChild, Work) {
  if (!std::getenv("TRACE_CHILD")) GTEST_SKIP() << "runs as the child of DebugTrace";
  const int chip = AddSingle("TR1", "Trace");
  KX_HANDLE handle = Open(0);
  ASSERT_EQ(KX_SetBaudRate(handle, 9600), KX_OK);
  uint32_t written = 0;
  ASSERT_EQ(KX_Write(handle, "hello", 5, &written), KX_OK);
  vexa_sim_wait_tx(chip, 0, 1000);
  KX_HANDLE none = nullptr;
  EXPECT_EQ(KX_Open(7, &none), KX_ERR_NOT_FOUND);
  std::fputs("child: end\n", stderr);
}

std::string RunChild(const char *debug) {
  std::string command = "TRACE_CHILD=1 ";
  command += debug ? std::string("VEXA_DEBUG=") + debug : "env -u VEXA_DEBUG";
  // Under an emulator (the 32-bit build runs in qemu) the child needs it too.
  const std::string runner = VEXA_TEST_EMULATOR;
  command += " " + runner + " " + program_invocation_name +
             " --gtest_filter=TraceChild.Work 2>&1 >/dev/null";
  std::string output;
  FILE *pipe = popen(command.c_str(), "r");
  if (!pipe) return output;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
  pclose(pipe);
  return output;
}

TEST(DebugTrace, OneLinePerRequestAndFailedCallOnlyWhenAsked) {
  const std::string traced = RunChild("1");
  ASSERT_NE(traced.find("child: end"), std::string::npos) << traced;
  for (const char *line : {
           "vexa: claim interface 0 -> 0\n",
           // the baud-rate request: 9600 baud is divisor 0x4138 on this chip
           "vexa: control out type 0x40 request 0x03 value 0x4138 index 0x0000 length 0 data [ ] -> 0\n",
           "vexa: bulk write endpoint 0x02 length 5",
           "vexa: KX_Open returned KX_ERR_NOT_FOUND (2)\n",
       })
    EXPECT_NE(traced.find(line), std::string::npos) << line << "\nin:\n" << traced;
  EXPECT_EQ(traced.find("KX_SetBaudRate returned"), std::string::npos) << "successes are not traced";

  for (const char *off : {static_cast<const char *>(nullptr), "0", "yes"}) {
    SCOPED_TRACE(off ? off : "unset");
    const std::string quiet = RunChild(off);
    ASSERT_NE(quiet.find("child: end"), std::string::npos) << quiet;
    EXPECT_EQ(quiet.find("vexa:"), std::string::npos) << quiet;
  }
}

}  // namespace
