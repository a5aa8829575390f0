"""Baseline for markers_bench: reads the dataset with anndata, then for every group runs
scipy.stats.ranksums of the group against the rest, vectorised over the genes (axis=0), in
blocks of genes so the dense copies fit in memory. Prints one JSON line."""
import json
import sys
import time

import anndata
import numpy as np
from scipy import stats


def vm_hwm_kb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


path, column, n_genes, block = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
t0 = time.perf_counter()
adata = anndata.read_h5ad(path)
groups = adata.obs[column]
codes = groups.cat.codes.to_numpy() if hasattr(groups, "cat") else None
names = [str(c) for c in groups.cat.categories]
X = adata.X[:, :n_genes] if n_genes > 0 else adata.X
n = X.shape[1]
score_sum = 0.0
top = []
for g, name in enumerate(names):
    inside = codes == g
    if not inside.any():
        continue
    z = np.empty(n)
    for lo in range(0, n, block):
        hi = min(n, lo + block)
        part = X[:, lo:hi]
        a = part[inside].toarray() if hasattr(part, "toarray") else np.asarray(part[inside])
        b = part[~inside].toarray() if hasattr(part, "toarray") else np.asarray(part[~inside])
        z[lo:hi] = stats.ranksums(a.astype(np.float64), b.astype(np.float64), axis=0).statistic
    score_sum += float(np.nansum(np.abs(z)))
    top.append(int(np.nanargmax(z)))
print(json.dumps({"seconds": time.perf_counter() - t0, "hwm_kb": vm_hwm_kb(),
                  "score_sum": score_sum, "top": top, "groups": len(top)}))
