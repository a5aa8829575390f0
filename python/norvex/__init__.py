"""norvex: a conversational single-cell RNA-seq analysis assistant for notebooks.

    from norvex.norvex_main import norvex
    nv = norvex(api_key, "gpt-5", adata)
    nv.ask("UMAP by cell type")
"""
from . import _host  # noqa: F401  (installs the notebook host)
from . import functions_and_maps  # noqa: F401  (reproduction snippets call it by this path)


# Reproduction snippets start with `import norvex`, which in a notebook rebinds the name a
# user imported the assistant class under (`from norvex.norvex_main import norvex`); the
# package stays callable as that class, so `norvex(...)` keeps creating assistants.
def _package_call(self, *args, **kwargs):
    from .norvex_main import norvex

    return norvex(*args, **kwargs)


import sys as _sys  # noqa: E402
import types as _types  # noqa: E402

_sys.modules[__name__].__class__ = type("NorvexPackage", (_types.ModuleType,),
                                        {"__call__": _package_call})
