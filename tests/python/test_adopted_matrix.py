"""A live CSC matrix read in row chunks (as writing and the per-cell tools read it) gives
exactly the caller's values: rows of every chunk, empty rows, the last partial chunk."""
import anndata
import numpy as np
import pandas as pd
import scipy.sparse as sp


def test_adopted_csc_rows_are_the_callers_matrix(tmp_path):
    rng = np.random.default_rng(7)
    n, g = 9000, 13  # three row chunks of the writer, the last one partial
    dense = (rng.random((n, g)) < 0.2) * rng.integers(1, 50, size=(n, g))
    dense[4096:4200] = 0  # empty rows at a chunk's start
    x = sp.csc_matrix(dense.astype(np.float32))
    ad = anndata.AnnData(X=x, obs=pd.DataFrame(index=[f"c{i}" for i in range(n)]),
                         var=pd.DataFrame(index=[f"g{j}" for j in range(g)]))
    from norvex._convert import adopt

    ds = adopt(ad)
    path = str(tmp_path / "out.h5ad")
    ds.write_h5ad(path)
    back = anndata.read_h5ad(path)
    np.testing.assert_array_equal(back.X.toarray(), dense.astype(np.float32))
