// Every real .h5ad file in the shared data folder must read the way anndata reads it.
#include <gtest/gtest.h>

#include "norvex/common/json.hpp"
#include "norvex/dataset/anndata.hpp"
#include "support/test_support.hpp"

namespace norvex {
namespace {

namespace fs = std::filesystem;
using testing::run_oracle_python;
using testing::shared_data_dir;
using testing::shell_quote;

// What anndata reads: names, every column as text (the same text rules as ours), its
// distinct values, UMAP coordinates and the expression of a few genes.
const char* kOracle = R"PY(
import sys, json, warnings
warnings.simplefilter("ignore")
import anndata, numpy as np, pandas as pd, scipy.sparse as sp

def text(v, dtype):
    if v is None or (not isinstance(v, str) and pd.isna(v)):
        return "nan"
    if isinstance(v, (bool, np.bool_)):
        return "True" if v else "False"
    if isinstance(v, (int, np.integer)):
        return str(int(v))
    if isinstance(v, (float, np.floating)):
        return str(np.float32(v)) if dtype == np.float32 else repr(float(v))
    return str(v)

def column(s):
    dtype = s.cat.categories.dtype if hasattr(s, "cat") else s.dtype
    return {"values": [text(v, dtype) for v in s.tolist()],
            "unique": [text(v, dtype) for v in pd.unique(s).tolist()]}

def describe(path):
  a = anndata.read_h5ad(path)
  out = {"n_obs": a.n_obs, "n_vars": a.n_vars,
       "obs_names": [str(x) for x in a.obs_names], "var_names": [str(x) for x in a.var_names],
         "obs": {c: column(a.obs[c]) for c in a.obs.columns},
         "var": {c: column(a.var[c]) for c in a.var.columns},
         "obs_columns": list(a.obs.columns), "var_columns": list(a.var.columns),
         "obsm": {k: list(v.shape) for k, v in a.obsm.items()},
         "uns": sorted(a.uns.keys())}
  if "X_umap" in a.obsm:
      out["umap"] = np.asarray(a.obsm["X_umap"], dtype=float).ravel().tolist()
  if a.X is not None and a.n_vars >= 3:
      genes = [a.var_names[0], a.var_names[a.n_vars // 2], a.var_names[-1]]
      idx = [a.var_names.get_loc(g) for g in genes]
      X = a.X[:, idx]
      X = X.toarray() if sp.issparse(X) else np.asarray(X)
      out["genes"] = [str(g) for g in genes]
      out["expression"] = X.T.astype(float).tolist()
  return out

print(json.dumps({p.split("/")[-1]: describe(p) for p in sys.argv[1:]}))
)PY";

json describe_ours(const AnnData& ad) {
  json out;
  out["n_obs"] = ad.n_obs();
  out["n_vars"] = ad.n_vars();
  out["obs_names"] = ad.obs.index();
  out["var_names"] = ad.var.index();
  for (auto [name, frame] : {std::pair{"obs", &ad.obs}, std::pair{"var", &ad.var}}) {
    json cols = json::object();
    for (auto& c : frame->columns()) {
      const Column& col = frame->col(c);
      json values = json::array();
      for (size_t i = 0; i < col.size(); ++i) values.push_back(col.text_at(i));
      cols[c] = {{"values", values}, {"unique", col.unique_text()}};
    }
    out[name] = cols;
    out[std::string(name) + "_columns"] = frame->columns();
  }
  json obsm = json::object();
  for (auto& k : ad.obsm_keys()) obsm[k] = ad.obsm_shape(k);
  out["obsm"] = obsm;
  return out;
}

const std::vector<std::string> kFiles = {
    "pbmc68k_reduced_legacy.h5ad", "pbmc68k_reduced_anndata08_csr.h5ad",
    "anndata_archive_v0.7.0.h5ad", "anndata_archive_v0.7.8.h5ad", "anndata_archive_v0.11.4.h5ad"};

class SharedFileTest : public ::testing::TestWithParam<std::string> {
 protected:
  // One oracle run for all files: starting anndata costs seconds.
  static const json& oracle() {
    static json cached = [] {
      std::string args;
      for (auto& f : kFiles) args += " " + shell_quote((shared_data_dir() / f).string());
      auto r = run_oracle_python(kOracle, args);
      if (r.exit_code != 0) return json{{"error", r.err}};
      return json::parse(r.out);
    }();
    return cached;
  }
};

TEST_P(SharedFileTest, ReadsLikeAnndata) {
  fs::path dir = shared_data_dir();
  if (dir.empty()) GTEST_SKIP() << "../shared/data is absent: real .h5ad files not available";
  if (!testing::oracle_python_available()) GTEST_SKIP() << "Debian's Python with anndata is absent";
  fs::path file = dir / GetParam();
  ASSERT_TRUE(fs::exists(file)) << file;

  ASSERT_FALSE(oracle().contains("error")) << oracle()["error"];
  const json& want = oracle().at(GetParam());

  auto ad = AnnData::read_h5ad(file);
  json got = describe_ours(*ad);
  EXPECT_EQ(got["n_obs"], want["n_obs"]);
  EXPECT_EQ(got["n_vars"], want["n_vars"]);
  EXPECT_EQ(got["obs_names"], want["obs_names"]);
  EXPECT_EQ(got["var_names"], want["var_names"]);
  EXPECT_EQ(got["obs_columns"], want["obs_columns"]);
  EXPECT_EQ(got["var_columns"], want["var_columns"]);
  for (auto frame : {"obs", "var"}) {
    for (auto& [c, col] : want[frame].items()) {
      ASSERT_TRUE(got[frame].contains(c)) << frame << " column " << c;
      EXPECT_EQ(got[frame][c]["values"], col["values"]) << frame << " column " << c;
      EXPECT_EQ(got[frame][c]["unique"], col["unique"]) << frame << " column " << c;
    }
  }
  EXPECT_EQ(got["obsm"], want["obsm"]);
  std::vector<std::string> uns = ad->uns.keys();
  std::sort(uns.begin(), uns.end());
  EXPECT_EQ(json(uns), want["uns"]);

  if (want.contains("umap")) {
    DenseMatrix umap = ad->obsm("X_umap");
    ASSERT_EQ(umap.values.size(), want["umap"].size());
    for (size_t i = 0; i < umap.values.size(); ++i) {
      ASSERT_EQ(umap.values[i], want["umap"][i].get<double>()) << "X_umap value " << i;
    }
  }
  if (want.contains("genes")) {
    auto expr = ad->gene_expression(want["genes"].get<std::vector<std::string>>());
    ASSERT_EQ(expr.size(), want["expression"].size());
    for (size_t g = 0; g < expr.size(); ++g) {
      for (size_t i = 0; i < expr[g].size(); ++i) {
        ASSERT_EQ(expr[g][i], want["expression"][g][i].get<double>())
            << want["genes"][g] << " cell " << i;
      }
    }
  }
  // The summary shown by `norvex inspect` works on any readable file.
  std::string summary = describe_structure(*ad);
  EXPECT_EQ(summary.rfind("AnnData object with n_obs × n_vars = " + std::to_string(ad->n_obs()) +
                              " × " + std::to_string(ad->n_vars()),
                          0),
            0u)
      << summary;
}

INSTANTIATE_TEST_SUITE_P(AllFiles, SharedFileTest, ::testing::ValuesIn(kFiles),
                         [](const auto& info) {
                           std::string n = info.param;
                           for (char& c : n)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return n;
                         });

// Reading a real file and writing it again (over itself, too) keeps what anndata reads.
TEST(SharedFileRewriteTest, RewrittenFilesReadTheSameInAnndata) {
  fs::path dir = shared_data_dir();
  if (dir.empty()) GTEST_SKIP() << "../shared/data is absent: real .h5ad files not available";
  if (!testing::oracle_python_available()) GTEST_SKIP() << "Debian's Python with anndata is absent";
  testing::TempDir tmp;
  std::string pairs;
  for (auto& name : kFiles) {
    fs::path copy = tmp / name;
    fs::copy_file(dir / name, copy);
    fs::permissions(copy, fs::perms::owner_write, fs::perm_options::add);
    auto ad = AnnData::read_h5ad(copy);
    ad->uns.set("norvex_tx", UnsNode::from_json(json{{"0", {{"query", "umap please"}}}}));
    ad->write_h5ad(copy);  // over its own source
    // Still readable through the old handle after the file was replaced.
    if (ad->has_X()) {
      EXPECT_NO_THROW(ad->for_each_row_chunk(100, [](const RowChunk&) {}));
    }
    pairs += " " + shell_quote((dir / name).string()) + " " + shell_quote(copy.string());
  }
  const char* script = R"PY(
import sys, warnings
warnings.simplefilter("ignore")
import anndata, numpy as np, pandas as pd, scipy.sparse as sp
def dense(m):
    return m.toarray() if sp.issparse(m) else np.asarray(m)
args = sys.argv[1:]
for src, dst in zip(args[::2], args[1::2]):
    a, b = anndata.read_h5ad(src), anndata.read_h5ad(dst)
    pd.testing.assert_frame_equal(a.obs, b.obs, check_index_type=False)
    pd.testing.assert_frame_equal(a.var, b.var, check_index_type=False)
    assert (a.X is None) == (b.X is None), src
    if a.X is not None:
        np.testing.assert_array_equal(dense(a.X), dense(b.X))
    assert sorted(a.obsm) == sorted(b.obsm), src
    for k in a.obsm:
        if isinstance(a.obsm[k], pd.DataFrame):
            pd.testing.assert_frame_equal(a.obsm[k], b.obsm[k])
        else:
            np.testing.assert_array_equal(dense(a.obsm[k]), dense(b.obsm[k]))
    assert sorted(a.layers) == sorted(b.layers), src
    for k in a.layers:
        np.testing.assert_array_equal(dense(a.layers[k]), dense(b.layers[k]))
    assert sorted(a.obsp) == sorted(b.obsp), src
    assert sorted(a.varm) == sorted(b.varm), src
    if a.raw is not None:
        pd.testing.assert_frame_equal(a.raw.var, b.raw.var)
        np.testing.assert_array_equal(dense(a.raw.X), dense(b.raw.X))
    assert sorted(list(a.uns) + ["norvex_tx"]) == sorted(b.uns), (src, list(b.uns))
    assert b.uns["norvex_tx"]["0"]["query"] == "umap please"
print("ok")
)PY";
  auto r = run_oracle_python(script, pairs);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "ok\n");
}

}  // namespace
}  // namespace norvex
