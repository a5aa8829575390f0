"""Baseline for violin_compare_bench: what a researcher runs in anndata + scipy for the
violin comparison: read the dataset, take five genes (raw when present, else X) for the
cells of two cell types, and test every pair of conditions with scipy.stats.mannwhitneyu,
Benjamini-Hochberg across the figure. Prints one JSON line with time, peak memory and the
p-values."""
import itertools
import json
import sys
import time

import numpy as np
import scipy.sparse as sp
from scipy import stats


def vm_hwm_kb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def bh(p):
    p = np.asarray(p, float)
    out = np.full(p.shape, np.nan)
    ok = ~np.isnan(p)
    q = p[ok]
    n = len(q)
    order = np.argsort(q, kind="stable")
    adj = np.minimum.accumulate((q[order] * n / np.arange(1, n + 1))[::-1])[::-1]
    res = np.empty(n)
    res[order] = np.minimum(adj, 1)
    out[ok] = res
    return out


def main():
    import anndata

    path, genes, celltypes = sys.argv[1], sys.argv[2].split(","), sys.argv[3].split(",")
    t0 = time.perf_counter()
    adata = anndata.read_h5ad(path)
    src = adata.raw.to_adata() if adata.raw is not None else adata
    expr = src[:, genes].X
    expr = expr.toarray() if sp.issparse(expr) else np.asarray(expr)
    ct = adata.obs["celltype_major"].astype(str).to_numpy()
    cond = adata.obs["condition"]
    groups = [g for g in cond.cat.categories if (cond == g).any()]
    cond = cond.astype(str).to_numpy()
    pvals = []
    for gi, _ in enumerate(genes):
        for c in celltypes:
            cells = ct == c
            for a, b in itertools.combinations(groups, 2):
                x = expr[cells & (cond == a), gi]
                y = expr[cells & (cond == b), gi]
                pvals.append(float(stats.mannwhitneyu(x, y).pvalue))
    adj = bh(pvals)
    elapsed = time.perf_counter() - t0
    print(json.dumps({"seconds": elapsed, "hwm_kb": vm_hwm_kb(), "pval": pvals,
                      "pval_adj": [float(v) for v in adj]}))


main()
