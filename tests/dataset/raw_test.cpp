// raw beside X: names and row chunks as anndata reads them, and clear errors without raw.
#include <gtest/gtest.h>

#include <cmath>

#include "norvex/common/errors.hpp"
#include "norvex/common/json.hpp"
#include "norvex/dataset/anndata.hpp"
#include "norvex/dataset/raw.hpp"
#include "support/test_support.hpp"

namespace norvex {
namespace {

TEST(Raw, NamesAndValuesMatchAnndata) {
  const auto dir = testing::shared_data_dir();
  if (dir.empty()) GTEST_SKIP() << "../shared/data is absent";
  if (!testing::oracle_python_available()) GTEST_SKIP() << "no oracle Python";
  const auto path = dir / "pbmc68k_reduced_anndata08_csr.h5ad";
  auto adata = AnnData::read_h5ad(path);
  ASSERT_TRUE(has_raw(*adata));
  const auto names = raw_var_names(*adata);
  const MatrixInfo info = raw_info(*adata);
  EXPECT_EQ(info.n_rows, adata->n_obs());
  EXPECT_EQ(info.n_cols, names.size());
  // Per-gene sums and stored counts from small chunks: every value reached once.
  std::vector<double> sums(names.size(), 0.0);
  size_t rows = 0;
  for_each_raw_row_chunk(*adata, 97, [&](const RowChunk& ch) {
    rows += ch.rows.n_rows;
    for (size_t p = 0; p < ch.rows.data.size(); ++p)
      sums[static_cast<size_t>(ch.rows.indices[p])] += ch.rows.data[p];
  });
  EXPECT_EQ(rows, adata->n_obs());
  const auto r = testing::run_oracle_python(R"(
import json, sys
import anndata, numpy as np
a = anndata.read_h5ad(sys.argv[1])
print(json.dumps({"names": list(map(str, a.raw.var_names)),
                  "sums": np.asarray(a.raw.X.sum(axis=0), dtype=float).ravel().tolist()}))
)",
                                            testing::shell_quote(path.string()));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const json expected = json::parse(r.out);
  EXPECT_EQ(json(names), expected["names"]);
  for (size_t k = 0; k < sums.size(); ++k)
    EXPECT_NEAR(sums[k], expected["sums"][k].get<double>(),
                1e-4 * std::max(1.0, std::fabs(sums[k])))
        << names[k];
}

TEST(Raw, DatasetWithoutRawSaysSo) {
  AnnData in_memory;
  EXPECT_FALSE(has_raw(in_memory));
  try {
    raw_var_names(in_memory);
    FAIL();
  } catch (const KeyError& e) {
    EXPECT_NE(std::string(e.what()).find("no raw"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace norvex
