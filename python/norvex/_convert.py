"""Helpers the extension calls to take pandas/NumPy/SciPy values apart and build them back.
Numbers and categorical codes go across as arrays; strings as lists."""
import numpy as np
import pandas as pd

_SUPPORTED_X = ("float32", "float64", "int32", "int64")


def _column_parts(series):
    dtype = series.dtype
    if isinstance(dtype, pd.CategoricalDtype):
        codes = np.asarray(series.cat.codes)
        cats = [str(c) for c in series.cat.categories]
        return ("category", codes, cats, bool(dtype.ordered), str(codes.dtype), None)
    if pd.api.types.is_bool_dtype(dtype):
        if isinstance(dtype, pd.BooleanDtype):
            mask = [1 if m else 0 for m in series.isna()]
            return ("bool", [bool(v) if not pd.isna(v) else False for v in series], None, False,
                    "bool", mask)
        return ("bool", [bool(v) for v in series], None, False, "bool", None)
    if pd.api.types.is_integer_dtype(dtype):
        if isinstance(dtype, pd.api.extensions.ExtensionDtype):
            mask = np.asarray(series.isna(), dtype=np.uint8).tolist()
            return ("int", series.fillna(0).to_numpy(dtype=np.int64), None, False, "int64", mask)
        return ("int", series.to_numpy(), None, False, str(dtype), None)
    if pd.api.types.is_float_dtype(dtype):
        return ("float", series.to_numpy(dtype=np.float64), None, False, str(dtype), None)
    return ("str", ["nan" if v is None or (isinstance(v, float) and np.isnan(v)) else str(v)
                    for v in series], None, False, "str", None)


def frame_parts(df):
    """(index as text, [(column name, parts)]) of a data frame."""
    return (_text_index(df.index), _columns(df))


def _columns(df):
    return [(str(name), _column_parts(df[name])) for name in df.columns]


def uns_parts(value):
    """How one uns value crosses to the engine, or None for kinds the engine does not read
    (they stay untouched in the caller's uns)."""
    if isinstance(value, pd.DataFrame):
        return ("frame", frame_parts(value))
    if isinstance(value, np.ndarray):
        if value.dtype.kind in "fiub" or value.dtype.kind in "OUS":
            flat = pd.Series(value.reshape(-1))
            if value.dtype.kind in "OUS":
                flat = flat.astype(str)
            return ("array", _column_parts(flat), list(value.shape))
        return None
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, (str, bool, int, float)):
        return ("json", value)
    if isinstance(value, (list, tuple)):
        try:
            return ("json", to_plain_deep(value))
        except TypeError:
            return None
    return None


# The file reader's limit for uns; a list holding itself is refused too.
_MAX_NESTING = 100


def to_plain_deep(value, _open=()):
    if isinstance(value, (str, bool, int, float)) or value is None:
        return value
    if isinstance(value, np.generic):
        return value.item()
    if isinstance(value, (list, tuple, dict)):
        if any(value is o for o in _open):
            raise ValueError("the value contains itself (a cycle) and cannot be converted")
        if len(_open) >= _MAX_NESTING:
            raise ValueError("the value is nested more than %d levels deep and cannot be "
                             "converted" % _MAX_NESTING)
        inner = _open + (value,)
        if isinstance(value, dict):
            return {str(k): to_plain_deep(v, inner) for k, v in value.items()}
        return [to_plain_deep(v, inner) for v in value]
    raise TypeError(type(value).__name__)


def to_plain(value):
    """Records, frames, series and arrays as plain values (tables in the engine's tagged
    form); anything else is returned as it is."""
    record = getattr(value, "_norvex_record", None)
    if callable(record):
        return record()
    if isinstance(value, pd.DataFrame):
        return {"__table__": {
            "columns": [str(c) for c in value.columns],
            "index": [str(i) for i in value.index],
            "data": [[None if pd.isna(v) else (v.item() if isinstance(v, np.generic) else v)
                      for v in value[c]] for c in value.columns]}}
    if isinstance(value, (pd.Series, pd.Index, np.ndarray)):
        return np.asarray(value).tolist()
    if isinstance(value, set):
        return sorted(value)
    return value


def table_from_parts(columns, index, data):
    return pd.DataFrame({c: d for c, d in zip(columns, data)}, index=index, columns=columns)


def array_from_parts(flat, dtype, shape):
    if dtype == "str":
        arr = np.array(flat, dtype=object)
    else:
        arr = np.array(flat, dtype=dtype)
    if not shape:
        return arr.reshape(()).item() if dtype == "str" else arr.reshape(())[()]
    return arr.reshape(shape)


def frame_from_parts(index, names, columns, index_name):
    data = {}
    for name, (values, categories, ordered, mask) in zip(names, columns):
        if categories is not None:
            data[name] = pd.Categorical.from_codes(values, categories=list(categories),
                                                   ordered=ordered)
        elif mask is not None:
            s = pd.Series(values)
            s = s.astype("Int64" if s.dtype.kind in "iu" else "boolean")
            s[np.asarray(mask, dtype=bool)] = pd.NA
            data[name] = s.to_numpy()
        else:
            data[name] = values
    df = pd.DataFrame(data, index=pd.Index(index, dtype=object), columns=list(names))
    if index_name and index_name != "_index":
        df.index.name = index_name
    return df


def matrix_spec(m, what):
    """A matrix as the engine reads it in place: ("dense", array) or ("csr"/"csc", data,
    indices, indptr, shape). TypeError naming `what` for other kinds."""
    try:
        import scipy.sparse as sp
    except ImportError:  # pragma: no cover - scipy ships with anndata
        sp = None
    if isinstance(m, np.ndarray):
        if m.ndim != 2:
            raise TypeError(f"{what} must be two-dimensional, got {m.ndim} dimensions")
        _check_dtype(m.dtype, what)
        return ("dense", m)
    if sp is not None and sp.issparse(m):
        fmt = m.format
        if fmt not in ("csr", "csc"):
            raise TypeError(f"{what} is a {fmt} sparse matrix; give CSR or CSC")
        _check_dtype(m.data.dtype, what)
        return (fmt, m.data, m.indices, m.indptr, tuple(int(s) for s in m.shape))
    raise TypeError(f"{what} must be a NumPy array or a SciPy CSR/CSC matrix, "
                    f"not {type(m).__name__}")


def _check_dtype(dtype, what):
    if str(dtype) not in _SUPPORTED_X:
        raise TypeError(f"{what} has values of type {dtype}; "
                        f"supported: {', '.join(_SUPPORTED_X)}")


def adopt(adata):
    """The engine's dataset over a live AnnData: obs/var converted (codes and categories are
    small), X, raw (its X and var), layers and obsm read in place through their buffers."""
    from . import _engine

    x = None if adata.X is None else matrix_spec(adata.X, "X")
    raw = adata.raw
    raw_x = raw_var = None
    if raw is not None:
        raw_x = matrix_spec(raw.X, "raw.X")
        raw_var = frame_parts(raw.var)
    layers = {str(key): matrix_spec(adata.layers[key], f"layers['{key}']")
              for key in adata.layers.keys()}
    obsm = {}
    for key in adata.obsm.keys():
        value = adata.obsm[key]
        if isinstance(value, pd.DataFrame):
            continue  # tables in obsm are not embeddings; the engine does not read them
        obsm[str(key)] = matrix_spec(value, f"obsm['{key}']")
    obs = (adata.obs.index, _columns(adata.obs))  # names read when first needed
    var = frame_parts(adata.var)
    return _engine.Dataset.adopt(obs, var, x, obsm, dict(adata.uns), raw_x=raw_x,
                                 raw_var=raw_var, layers=layers)


def _text_index(index):
    if index.dtype == object and all(type(v) is str for v in index):
        return index.tolist()
    return [str(v) for v in index]
