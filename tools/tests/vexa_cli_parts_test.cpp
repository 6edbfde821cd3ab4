// The tool's pure helpers: status texts, line-option parsing, device names
// and the progress bar's text.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "channel.h"
#include "context.h"
#include "line_options.h"
#include "progress.h"
#include "status_names.h"

using namespace vexa_tool;

TEST(StatusNames, EveryDefinedCodeHasItsOwnNameAndUnknownCodesStayVisible) {
  std::set<std::string> names;
  for (KX_STATUS c : {KX_OK, KX_ERR_NOT_FOUND, KX_ERR_NOT_OPENED, KX_ERR_IO, KX_ERR_RESOURCES, KX_ERR_PARAMETER,
                      KX_ERR_BAUD_RATE, KX_ERR_WRITE, KX_ERR_EE_READ, KX_ERR_EE_WRITE, KX_ERR_EE_ERASE,
                      KX_ERR_EE_ABSENT, KX_ERR_EE_BLANK, KX_ERR_ARGS, KX_ERR_UNSUPPORTED, KX_ERR_OTHER}) {
    EXPECT_EQ(status_name(c).rfind("KX_", 0), 0u) << c;
    EXPECT_NE(status_meaning(c), "unknown status code") << c;
    names.insert(status_name(c));
  }
  EXPECT_EQ(names.size(), 16u);
  EXPECT_EQ(status_name(8), "KX_ERR_UNKNOWN");
  EXPECT_EQ(describe_status(99), "KX_ERR_UNKNOWN (99): unknown status code");
}

// How the options reach the chip is checked through the tool's commands;
// here the spellings, every parity letter and the refusals.
TEST(LineOptions, FormatsAndFlowModesParseOrAreRefused) {
  const struct {
    const char *text;
    int bits, parity, stop;
  } formats[] = {{"8N1", KX_BITS_8, KX_PARITY_NONE, KX_STOP_BITS_1}, {"7e2", KX_BITS_7, KX_PARITY_EVEN, KX_STOP_BITS_2},
                 {"8O1", KX_BITS_8, KX_PARITY_ODD, KX_STOP_BITS_1},  {"8M1", KX_BITS_8, KX_PARITY_MARK, KX_STOP_BITS_1},
                 {"8S1", KX_BITS_8, KX_PARITY_SPACE, KX_STOP_BITS_1}};
  for (const auto &row : formats) {
    LineFormat f = parse_format(row.text);
    EXPECT_EQ(f.word_length, row.bits) << row.text;
    EXPECT_EQ(f.parity, row.parity) << row.text;
    EXPECT_EQ(f.stop_bits, row.stop) << row.text;
  }
  for (const char *bad : {"", "8N", "8N11", "9N1", "4N1", "8X1", "8N3", "N81"})
    EXPECT_THROW(parse_format(bad), ToolError) << bad;
  EXPECT_EQ(parse_flow("none").mode, KX_FLOW_NONE);
  EXPECT_EQ(parse_flow("dtr-dsr").mode, KX_FLOW_DTR_DSR);
  EXPECT_EQ(parse_flow("rts-cts").xon, 0);  // only xon-xoff carries characters
  EXPECT_THROW(parse_flow("RTS"), ToolError);
}

TEST(ChannelSpec, IndexSerialAndDescriptionForms) {
  ChannelSpec s = parse_channel_spec("12");
  EXPECT_EQ(s.kind, ChannelSpec::Kind::Index);
  EXPECT_EQ(s.index, 12);
  s = parse_channel_spec("desc:My: bridge");
  EXPECT_EQ(s.kind, ChannelSpec::Kind::Description);
  EXPECT_EQ(s.text, "My: bridge");
  for (const char *bad : {"1.5", "-2", "99999999999", "name:AB"}) EXPECT_THROW(parse_channel_spec(bad), ToolError) << bad;
}

TEST(Progress, BarShowsShareCountsAndRateAndDrawsOnlyWhenEnabled) {
  EXPECT_EQ(format_progress(0, 100, 0.0), "[                              ]   0%  0/100 bytes  0 B/s");
  EXPECT_EQ(format_progress(50, 100, 1.0), "[###############               ]  50%  50/100 bytes  50 B/s");
  // More than the total (a late count) is shown as complete, not past it.
  EXPECT_NE(format_progress(150, 100, 1.0).find("[##############################] 100%  100/100"), std::string::npos);
  EXPECT_EQ(format_progress(2500000, 0, 2.0), "2500000 bytes  1.2 MB/s");
  EXPECT_EQ(format_rate(999), "999 B/s");
  EXPECT_EQ(format_rate(12500), "12.5 kB/s");
  std::ostringstream quiet, shown;
  Progress(quiet, false, 10).update(5);
  {
    Progress p(shown, true, 10);
    p.update(10);
  }
  EXPECT_EQ(quiet.str(), "");
  EXPECT_NE(shown.str().find("100%"), std::string::npos);
  EXPECT_EQ(shown.str().back(), '\n');
}
