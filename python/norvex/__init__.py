"""norvex: a conversational single-cell RNA-seq analysis assistant for notebooks.

    from norvex.norvex_main import norvex
    nv = norvex(api_key, "gpt-5", adata)
    nv.ask("UMAP by cell type")
"""
from . import _host  # noqa: F401  (installs the notebook host)
from . import functions_and_maps  # noqa: F401  (reproduction snippets call it by this path)
