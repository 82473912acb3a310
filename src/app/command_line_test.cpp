#include "app/command_line.h"

#include <gtest/gtest.h>

namespace tessaly {
namespace {

TEST(CommandLineTest, HubRunsWithoutArgumentsAndAnswersVersionHelpOrRefuses) {
  struct Row {
    std::vector<std::string> args;
    bool run;
    int status;
    std::string out_starts, err_starts;
  } rows[] = {
      {{}, true, 0, "", ""},
      {{"--version"}, false, 0, "1.2.4\n", ""},
      {{"--help"}, false, 0, "Usage: Tessaly", ""},
      {{"--bogus"}, false, 2, "", "Tessaly: unknown argument \"--bogus\""},
      {{"--version", "x"}, false, 2, "", "Tessaly: unknown argument"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args.empty() ? "(none)" : row.args[0]);
    const CommandLineAnswer a = ReadCommandLine(row.args);
    EXPECT_EQ(a.run_hub, row.run);
    EXPECT_EQ(a.exit_status, row.status);
    EXPECT_TRUE(a.out.starts_with(row.out_starts)) << a.out;
    EXPECT_TRUE(a.err.starts_with(row.err_starts)) << a.err;
  }
}

}  // namespace
}  // namespace tessaly
