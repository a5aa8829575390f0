// Files shaped to hurt the reader (written by anndata, then damaged with h5py): each gives
// a FileError naming the file and the object, never a crash, a hang or runaway memory.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <memory>

#include "norvex/common/errors.hpp"
#include "norvex/dataset/anndata.hpp"
#include "support/test_support.hpp"

namespace norvex {
namespace {

namespace fs = std::filesystem;

// Written once for the whole suite: anndata's own file and its damaged copies (removed
// when the test program exits).
const fs::path& hostile_dir() {
  static std::unique_ptr<testing::TempDir> tmp;
  static bool written = false;
  if (!tmp) {
    tmp = std::make_unique<testing::TempDir>();
    const char* script = R"PY(
import sys, shutil, h5py, numpy as np, pandas as pd, anndata as ad
out = sys.argv[1]
a = ad.AnnData(
    X=np.arange(12, dtype=np.float32).reshape(4, 3),
    obs=pd.DataFrame({"celltype": pd.Categorical(["T", "B", "T", "NK"])},
                     index=[f"c{i}" for i in range(4)]),
    var=pd.DataFrame(index=["g0", "g1", "g2"]))
a.uns["params"] = {"inner": {"depth": 2}}
a.write_h5ad(f"{out}/good.h5ad")
def damaged(name, fn):
    p = f"{out}/{name}.h5ad"
    shutil.copy(f"{out}/good.h5ad", p)
    with h5py.File(p, "a") as f:
        fn(f)
def deep_uns(f):
    g = f["uns/params"]
    for _ in range(20000):
        g = g.create_group("n")
        g.attrs["encoding-type"] = "dict"
        g.attrs["encoding-version"] = "0.1.0"
def cyclic_uns(f):
    f["uns/params/inner/back"] = f["uns/params"]
def code_at_boundary(f):
    f["obs/celltype/codes"][1] = 3  # three categories: 0, 1, 2
def categories(n):
    def fn(f):
        del f["obs/celltype/categories"]
        f.create_dataset("obs/celltype/categories", shape=(n,), dtype=h5py.string_dtype(),
                         chunks=(4096,))
    return fn
def huge_attribute(f):
    f["obs/celltype"].attrs["encoding-type"] = "x" * 5_000_000
for name, fn in (("deep_uns", deep_uns), ("cyclic_uns", cyclic_uns),
                 ("code_at_boundary", code_at_boundary), ("categories_2_26", categories(2**26)),
                 ("categories_2_40", categories(2**40)), ("huge_attribute", huge_attribute)):
    damaged(name, fn)
)PY";
    auto r = testing::run_oracle_python(script, testing::shell_quote(tmp->path().string()));
    written = r.exit_code == 0;
    if (!written) ADD_FAILURE() << r.err;
  }
  return tmp->path();
}

void read_everything(const fs::path& path) {
  auto ad = AnnData::read_h5ad(path);
  for (const DataFrame* df : {&ad->obs, &ad->var}) {
    df->index();
    for (auto& c : df->columns()) df->col(c);
  }
}

// The message of the FileError reading `path` (fully) raises.
std::string read_error(const fs::path& path) {
  try {
    read_everything(path);
  } catch (const FileError& e) {
    return e.what();
  } catch (const std::exception& e) {
    ADD_FAILURE() << "not a FileError: " << e.what();
    return e.what();
  }
  ADD_FAILURE() << "no error for " << path;
  return "";
}

testing::CommandResult run_norvex(const std::string& args, int timeout_seconds = 60) {
  return testing::run_command(testing::shell_quote(testing::norvex_binary().string()) + " " + args,
                              "", timeout_seconds);
}

class HostileFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::oracle_python_available()) GTEST_SKIP() << "Debian's Python with h5py is absent";
    dir = hostile_dir();
  }
  fs::path dir;
};

TEST_F(HostileFileTest, DeepOrCyclicUnsIsRefusedWithFileAndPath) {
  // Through the program as well: every command reads uns when it opens a dataset.
  for (const char* name : {"deep_uns", "cyclic_uns"}) {
    const fs::path file = dir / (std::string(name) + ".h5ad");
    auto r = run_norvex("inspect " + testing::shell_quote(file.string()));
    EXPECT_EQ(r.exit_code, 1) << name << ": " << r.err;
    EXPECT_NE(r.err.find(file.string()), std::string::npos) << name << ": " << r.err;
    EXPECT_NE(r.err.find("uns/params/"), std::string::npos) << name << ": " << r.err;
    EXPECT_LT(r.err.size(), 2000u) << name;
  }
  std::string deep = read_error(dir / "deep_uns.h5ad");
  EXPECT_NE(deep.find("nested"), std::string::npos) << deep;
  std::string cyclic = read_error(dir / "cyclic_uns.h5ad");
  EXPECT_NE(cyclic.find("uns/params/inner/back"), std::string::npos) << cyclic;
  EXPECT_NE(cyclic.find("cycle"), std::string::npos) << cyclic;
  // The intact file still reads its nested mappings.
  auto good = AnnData::read_h5ad(dir / "good.h5ad");
  EXPECT_EQ(good->uns.at("params").dict().at("inner").to_json(), json({{"depth", 2}}));
}

TEST_F(HostileFileTest, CategoricalCodeOnePastTheLastCategoryIsRejected) {
  std::string e = read_error(dir / "code_at_boundary.h5ad");
  EXPECT_NE(e.find("obs/celltype"), std::string::npos) << e;
  EXPECT_NE(e.find("categories"), std::string::npos) << e;
}

TEST_F(HostileFileTest, ImpossibleDeclaredSizesAreRefusedBeforeAllocating) {
  for (const char* name : {"categories_2_26", "categories_2_40"}) {
    const fs::path file = dir / (std::string(name) + ".h5ad");
    std::string e = read_error(file);
    EXPECT_NE(e.find(file.string()), std::string::npos) << e;
    EXPECT_NE(e.find("obs/celltype/categories"), std::string::npos) << e;
  }
}

TEST_F(HostileFileTest, HugeAttributeValuesAreCutInMessages) {
  std::string e = read_error(dir / "huge_attribute.h5ad");
  EXPECT_NE(e.find("obs/celltype"), std::string::npos) << e.substr(0, 300);
  EXPECT_NE(e.find("xxxx"), std::string::npos) << e.substr(0, 300);
  EXPECT_LT(e.size(), 2000u);
}

TEST(PathKindTest, NonRegularAndUnreadablePathsAreRefusedWithTheRealCause) {
  testing::TempDir tmp;
  // A FIFO would block the HDF5 probe forever.
  const fs::path fifo = tmp / "pipe.h5ad";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto r = run_norvex("describe " + testing::shell_quote(fifo.string()), 30);
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_NE(r.err.find("not a regular file"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(fifo.string()), std::string::npos) << r.err;
  if (r.exit_code == 1) {  // (in this process only once it cannot hang)
    std::string e = read_error(fifo);
    EXPECT_NE(e.find("not a regular file"), std::string::npos) << e;
  }

  // A file the user may not read: root reads anything, so the program runs as nobody then.
  const fs::path locked = tmp / "locked.h5ad";
  testing::write_file(locked, "not even looked at");
  fs::permissions(locked, fs::perms::none);
  std::string prefix =
      ::geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
  r = testing::run_command(prefix + testing::shell_quote(testing::norvex_binary().string()) +
                               " describe " + testing::shell_quote(locked.string()),
                           "", 60);
  // Where the build folder is not open to other users, nobody cannot even start the program.
  if (!prefix.empty() && (r.exit_code == 126 || r.exit_code == 127))
    GTEST_SKIP() << "the program cannot be started as nobody here: " << r.err;
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_NE(r.err.find("Permission denied"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("not an HDF5 file"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace norvex
