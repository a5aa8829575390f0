// The generated demonstration dataset as the model sees it: `norvex demo-data` then
// `norvex describe` give exactly this data context.
#include <gtest/gtest.h>

#include "support/test_support.hpp"

namespace norvex::testing {
namespace {

const char* kExpected = EXPECTED_PLACEHOLDER;

TEST(DemoDescribe, DescribeOfAGeneratedDatasetIsTheExpectedDataContext) {
  TempDir tmp;
  const std::string file = (tmp / "demo.h5ad").string();
  const std::string bin = shell_quote(norvex_binary().string());
  const CommandResult gen =
      run_command(bin + " demo-data " + shell_quote(file) + " --cells 800 --seed 3");
  ASSERT_EQ(gen.exit_code, 0) << gen.err;
  EXPECT_NE(gen.out.find("800 cells × 2000 genes"), std::string::npos) << gen.out;
  const CommandResult d = run_command(bin + " describe " + shell_quote(file));
  ASSERT_EQ(d.exit_code, 0) << d.err;
  EXPECT_EQ(d.out, std::string(kExpected) + "\n");
}

TEST(DemoDescribe, BadSizesAreRefusedWithAClearMessage) {
  TempDir tmp;
  const std::string bin = shell_quote(norvex_binary().string());
  const CommandResult r =
      run_command(bin + " demo-data " + shell_quote((tmp / "x.h5ad").string()) + " --cells 10");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("at least 500 cells, not 10"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(tmp / "x.h5ad"));
}

}  // namespace
}  // namespace norvex::testing
