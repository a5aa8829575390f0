"""Memory of adopting a live AnnData: builds a million-cell AnnData in memory (sparse X,
categorical obs, a UMAP embedding, the uns a pipeline leaves), then measures the process's
resident memory before and after the assistant's dataset adopts it, and after computing
the data context. The target: adoption adds less than 5% (X and obs are not copied).

    PYTHONPATH=build/python /usr/bin/python3 bench/python_adopt_bench.py [--cells N] [--genes G]
"""
import argparse
import gc
import time

import anndata
import numpy as np
import pandas as pd
import scipy.sparse as sp


def rss_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def build(cells, genes, per_cell, seed=0):
    rng = np.random.default_rng(seed)
    indptr = np.arange(0, (cells + 1) * per_cell, per_cell, dtype=np.int64)
    indices = np.sort(rng.integers(0, genes, size=(cells, per_cell), dtype=np.int32),
                      axis=1).reshape(-1)
    data = rng.gamma(1.5, 1.0, size=cells * per_cell).astype(np.float32)
    X = sp.csr_matrix((data, indices, indptr), shape=(cells, genes))
    X.sum_duplicates()
    types = ["CD8 T cell", "CD4 T cell", "B cell", "NK cell", "Macrophage", "Tumor"]
    obs = pd.DataFrame({
        "condition": pd.Categorical(rng.choice(["Primary", "Metastasis", "Normal"], cells)),
        "celltype_major": pd.Categorical(rng.choice(types, cells)),
        "celltype_minor": pd.Categorical(rng.choice(types, cells)),
        "celltype_subset": pd.Categorical(rng.choice(types, cells)),
        "sample": pd.Categorical(rng.choice([f"S{i}" for i in range(12)], cells)),
    }, index=[f"cell{i:07d}" for i in range(cells)])
    var = pd.DataFrame(index=[f"GENE{j}" for j in range(genes)])
    ad = anndata.AnnData(X=X, obs=obs, var=var)
    ad.obsm["X_umap"] = rng.normal(size=(cells, 2)).astype(np.float32)
    ad.uns["usr_param"] = {"species": "human", "tissue": "lung", "tumor_id": False}
    ad.uns["analysis_parameters"] = {"CCI_DEG_BASE": "condition", "DEG_REF_GROUP": "Normal"}
    return ad


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cells", type=int, default=1_000_000)
    ap.add_argument("--genes", type=int, default=20000)
    ap.add_argument("--per-cell", type=int, default=200, help="stored values per cell")
    a = ap.parse_args()

    from norvex import _engine
    from norvex._convert import adopt

    ad = build(a.cells, a.genes, a.per_cell)
    gc.collect()
    before = rss_bytes()
    t0 = time.perf_counter()
    ds = adopt(ad)
    t_adopt = time.perf_counter() - t0
    gc.collect()
    after = rss_bytes()
    t0 = time.perf_counter()
    _engine.get_data_context(ds)
    t_ctx = time.perf_counter() - t0
    gc.collect()
    after_ctx = rss_bytes()
    mb = 1 << 20
    print(f"cells {ad.n_obs}, genes {ad.n_vars}, stored values {ad.X.nnz}")
    print(f"resident before adoption   {before / mb:9.1f} MB")
    print(f"after adoption             {after / mb:9.1f} MB  (+{(after - before) / before:.2%}, "
          f"{t_adopt:.2f} s)")
    print(f"after the data context     {after_ctx / mb:9.1f} MB  "
          f"(+{(after_ctx - before) / before:.2%}, {t_ctx:.2f} s)")
    print("target: adoption adds < 5%:", "met" if after - before < 0.05 * before else "NOT met")


if __name__ == "__main__":
    main()
