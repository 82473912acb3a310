#include "app/command_line.h"

#include <gtest/gtest.h>

namespace tessaly {
namespace {

TEST(CommandLineTest, HubRunsWithoutArgumentsAndAnswersVersionHelpOrRefuses) {
  using Args = std::vector<std::string>;
  for (auto [args, run, status, out, err] :
       {std::tuple{Args{}, true, 0, "", ""}, {Args{"--version"}, false, 0, "1.2.4\n", ""},
        {Args{"--help"}, false, 0, "Usage: Tessaly", ""}, {Args{"--version", "x"}, false, 2, "", "Tessaly: unknown"}}) {
    const CommandLineAnswer a = ReadCommandLine(args);
    EXPECT_EQ(a.run_hub, run) << err;
    EXPECT_EQ(a.exit_status, status) << err;
    EXPECT_TRUE(a.out.starts_with(out) && a.err.starts_with(err)) << a.out << a.err;
  }
}

}  // namespace
}  // namespace tessaly
