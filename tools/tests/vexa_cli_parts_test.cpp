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
  const KX_STATUS codes[] = {KX_OK, KX_ERR_NOT_FOUND, KX_ERR_NOT_OPENED, KX_ERR_IO, KX_ERR_RESOURCES,
                             KX_ERR_PARAMETER, KX_ERR_BAUD_RATE, KX_ERR_WRITE, KX_ERR_EE_READ,
                             KX_ERR_EE_WRITE, KX_ERR_EE_ERASE, KX_ERR_EE_ABSENT, KX_ERR_EE_BLANK,
                             KX_ERR_ARGS, KX_ERR_UNSUPPORTED, KX_ERR_OTHER};
  std::set<std::string> names;
  for (KX_STATUS c : codes) {
    EXPECT_EQ(status_name(c).rfind("KX_", 0), 0u) << c;
    EXPECT_NE(status_meaning(c), "unknown status") << c;
    names.insert(status_name(c));
  }
  EXPECT_EQ(names.size(), sizeof codes / sizeof codes[0]);
  EXPECT_EQ(status_name(KX_ERR_EE_BLANK), "KX_ERR_EE_BLANK");
  EXPECT_EQ(describe_status(KX_ERR_IO).rfind("KX_ERR_IO (4): ", 0), 0u);
  EXPECT_EQ(status_name(8), "KX_STATUS_8");
  EXPECT_EQ(describe_status(99), "KX_STATUS_99 (99): unknown status");
}

TEST(LineOptions, FormatsParseIntoTheLibraryCodes) {
  LineFormat f = parse_format("8N1");
  EXPECT_EQ(f.word_length, KX_BITS_8);
  EXPECT_EQ(f.parity, KX_PARITY_NONE);
  EXPECT_EQ(f.stop_bits, KX_STOP_BITS_1);
  f = parse_format("7e2");
  EXPECT_EQ(f.word_length, KX_BITS_7);
  EXPECT_EQ(f.parity, KX_PARITY_EVEN);
  EXPECT_EQ(f.stop_bits, KX_STOP_BITS_2);
  EXPECT_EQ(parse_format("8O1").parity, KX_PARITY_ODD);
  EXPECT_EQ(parse_format("8M1").parity, KX_PARITY_MARK);
  EXPECT_EQ(parse_format("8S1").parity, KX_PARITY_SPACE);
  for (const char *bad : {"", "8N", "8N11", "9N1", "4N1", "8X1", "8N3", "N81"})
    EXPECT_THROW(parse_format(bad), ToolError) << bad;
}

TEST(LineOptions, FlowModesAndOnlyXonXoffCarriesCharacters) {
  EXPECT_EQ(parse_flow("none").mode, KX_FLOW_NONE);
  EXPECT_EQ(parse_flow("rts-cts").mode, KX_FLOW_RTS_CTS);
  EXPECT_EQ(parse_flow("dtr-dsr").mode, KX_FLOW_DTR_DSR);
  FlowSetting x = parse_flow("xon-xoff");
  EXPECT_EQ(x.mode, KX_FLOW_XON_XOFF);
  EXPECT_EQ(x.xon, 0x11);
  EXPECT_EQ(x.xoff, 0x13);
  EXPECT_EQ(parse_flow("rts-cts").xon, 0);
  EXPECT_THROW(parse_flow("RTS"), ToolError);
}

TEST(ChannelSpec, IndexSerialAndDescriptionForms) {
  ChannelSpec s = parse_channel_spec("12");
  EXPECT_EQ(s.kind, ChannelSpec::Kind::Index);
  EXPECT_EQ(s.index, 12);
  s = parse_channel_spec("serial:AB12 B");
  EXPECT_EQ(s.kind, ChannelSpec::Kind::Serial);
  EXPECT_EQ(s.text, "AB12 B");
  s = parse_channel_spec("desc:My: bridge");
  EXPECT_EQ(s.kind, ChannelSpec::Kind::Description);
  EXPECT_EQ(s.text, "My: bridge");
  for (const char *bad : {"", "x", "1.5", "-2", "99999999999", "serial:", "name:AB"})
    EXPECT_THROW(parse_channel_spec(bad), ToolError) << bad;
}

TEST(Progress, BarShowsShareCountsAndRate) {
  EXPECT_EQ(format_progress(0, 100, 0.0),
            "[                              ]   0%  0/100 bytes  0 B/s");
  EXPECT_EQ(format_progress(50, 100, 1.0),
            "[###############               ]  50%  50/100 bytes  50 B/s");
  EXPECT_EQ(format_progress(100, 100, 2.0).substr(0, 37), "[##############################] 100%");
  // More than the total (a late count) is shown as complete, not past it.
  EXPECT_NE(format_progress(150, 100, 1.0).find("100%  100/100"), std::string::npos);
  EXPECT_EQ(format_progress(2500000, 0, 2.0), "2500000 bytes  1.2 MB/s");
  EXPECT_EQ(format_rate(999), "999 B/s");
  EXPECT_EQ(format_rate(12500), "12.5 kB/s");
}

TEST(Progress, DrawsNothingWhenDisabledAndEndsTheLineWhenEnabled) {
  std::ostringstream quiet, shown;
  {
    Progress p(quiet, false, 10);
    p.update(5);
  }
  EXPECT_EQ(quiet.str(), "");
  {
    Progress p(shown, true, 10);
    p.update(10);
  }
  EXPECT_NE(shown.str().find("100%"), std::string::npos);
  EXPECT_EQ(shown.str().back(), '\n');
}
