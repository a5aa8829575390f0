// An interrupted `norvex demo-data` leaves no half-written file, and temporaries left by a
// process that no longer runs are swept by the next write into the folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "support/test_support.hpp"

namespace norvex {
namespace {

namespace fs = std::filesystem;
using namespace norvex::testing;

bool has_temporary(const fs::path& dir) {
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().filename().string().find(".tmp-") != std::string::npos) return true;
  return false;
}

TEST(InterruptedWrite, TerminatedDemoDataLeavesNothingAndStaleTemporariesAreSwept) {
  TempDir dir;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const std::string out = (dir / "big.h5ad").string();
    execl(norvex_binary().c_str(), "norvex", "demo-data", out.c_str(), "--cells", "400000",
          "--genes", "2000", static_cast<char*>(nullptr));
    _exit(127);
  }
  // Wait (bounded, generously: generating the cells before the write starts takes most of a
  // minute on a loaded machine) until the writer's temporary exists, then interrupt it.
  bool seen = false;
  for (int i = 0; i < 3000 && !seen; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    seen = has_temporary(dir.path());
    int early = 0;
    if (!seen && waitpid(child, &early, WNOHANG) == child) FAIL() << "demo-data ended first";
  }
  kill(child, SIGTERM);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(seen) << "the writer never started";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  EXPECT_FALSE(has_temporary(dir.path()));
  EXPECT_FALSE(fs::exists(dir / "big.h5ad"));

  // A temporary of ours from a process that is gone (pid far above pid_max) is swept; a
  // file of someone else's naming is left alone.
  write_file(dir / ".small.h5ad.tmp-2147483000-0", "left by a crash");
  write_file(dir / ".small.h5ad.backup", "not ours");
  CommandResult r =
      run_command(shell_quote(norvex_binary().string()) + " demo-data " +
                      shell_quote((dir / "small.h5ad").string()) + " --cells 600 --genes 1400",
                  "", 300);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_FALSE(has_temporary(dir.path()));
  EXPECT_TRUE(fs::exists(dir / ".small.h5ad.backup"));
  EXPECT_TRUE(fs::exists(dir / "small.h5ad"));
}

}  // namespace
}  // namespace norvex
