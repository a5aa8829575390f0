#include "support/real_shaped_dataset.hpp"

#include <mutex>
#include <string>

#include "support/test_support.hpp"

namespace norvex::testing {
namespace fs = std::filesystem;
namespace {

// Keeps the real expression, embedding and labels; adds the annotations the assistant
// reads and per-cell-type results the way upstream pipelines store them.
const char* kScript = R"PY(
import sys
import numpy as np
import pandas as pd
import anndata as ad

src, out = sys.argv[1], sys.argv[2]
a = ad.read_h5ad(src)
rng = np.random.default_rng(7)
labels = a.obs["bulk_labels"].astype(str)
a.obs["celltype_major"] = pd.Categorical(labels)
a.obs["celltype_minor"] = pd.Categorical("L" + a.obs["louvain"].astype(str))
a.obs["celltype_subset"] = a.obs["celltype_minor"]
a.obs["condition"] = pd.Categorical(np.where(rng.random(a.n_obs) < 0.5, "Normal", "Tumor"))
a.obs["sample"] = pd.Categorical(
    [c + "_" + str(i % 3) for i, c in enumerate(a.obs["condition"].astype(str))])
# Optional metadata (tissue notes, colours for the new columns) is left out on purpose.
a.uns["usr_param"] = {"species": "human", "tissue": "blood", "tumor_id": False}
a.uns["analysis_parameters"] = {"CCI_DEG_BASE": "celltype_major", "DEG_REF_GROUP": "Normal"}

genes = np.asarray(a.var_names)
def table(n, sign):
    idx = rng.choice(len(genes), size=n, replace=False)
    lfc = sign * rng.uniform(0.3, 3.0, size=n)
    p = np.sort(rng.uniform(1e-12, 1e-3, size=n))
    return pd.DataFrame({
        "names": genes[idx],
        # Unsigned: scores are absolute here, as many pipelines store them.
        "scores": np.sort(rng.uniform(2.0, 20.0, size=n))[::-1].astype(np.float32),
        "logfoldchanges": lfc.astype(np.float32),
        "pvals": p,
        "pvals_adj": np.minimum(p * n, 1.0),
        "Direction": np.where(lfc > 0, "Up", "Down"),
    })

deg = {}
for ct in sorted(set(labels)):
    mixed = pd.concat([table(12, 1.0), table(12, -1.0)], ignore_index=True)
    deg[ct] = {"Tumor_vs_rest": mixed, "Normal_vs_rest": table(15, -1.0)}
a.uns["DEG"] = deg
a.write_h5ad(out)
)PY";

}  // namespace

fs::path real_shaped_dataset(std::string* why) {
  static std::once_flag once;
  static fs::path path;
  static std::string reason;
  std::call_once(once, [] {
    const fs::path shared = shared_data_dir();
    if (shared.empty()) {
      reason = "the shared data folder ../shared/data is absent";
      return;
    }
    if (!oracle_python_available()) {
      reason = "Debian's python3 with anndata is not available";
      return;
    }
    static TempDir dir;
    const fs::path out = dir / "real_shaped.h5ad";
    const CommandResult r =
        run_oracle_python(kScript,
                          shell_quote((shared / "pbmc68k_reduced_anndata08_csr.h5ad").string()) +
                              " " + shell_quote(out.string()),
                          300);
    if (r.exit_code != 0) {
      reason = "writing the fixture failed: " + r.err;
      return;
    }
    path = out;
  });
  if (why) *why = reason;
  return path;
}

}  // namespace norvex::testing
