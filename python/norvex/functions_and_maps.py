"""The tool registry: the analysis tools and their configuration record classes under
their registry names, and the maps the assistant reaches them through. Reproduction
snippets call these names as they stand:

    result = norvex.functions_and_maps.plot_umap(adata_t, plot_cfg=...UMAPPlotConfig(...))
"""
import inspect as _inspect

from . import _engine

__all__ = ["TOOL_FUNCS", "TOOL_CONFIG_MAP", "FUNCTION_DEF_REGISTRY",
           "FUNC_ARGS_SCHEMA_REGISTRY", "Config_Name_to_Class_map", "build_tool_defaults_v3"]


class _Record:
    """A configuration record: named fields with defaults, like a dataclass. The engine
    checks the field names (TypeError for an unknown one)."""

    _class_name = ""
    _fields = ()

    def __init__(self, **kwargs):
        record = _engine.make_record(self._class_name, kwargs)
        for name, _type, _default in self._fields:
            object.__setattr__(self, name, record.get(name))

    def _norvex_record(self):
        out = {"__class__": self._class_name}
        for name, _type, _default in self._fields:
            out[name] = getattr(self, name)
        return out

    def __eq__(self, other):
        return type(other) is type(self) and self._norvex_record() == other._norvex_record()

    def __repr__(self):
        args = ", ".join(f"{n}={getattr(self, n)!r}" for n, _t, _d in self._fields)
        return f"{self._class_name}({args})"


def _make_record_class(name, fields):
    params = [_inspect.Parameter(f, _inspect.Parameter.KEYWORD_ONLY, default=d)
              for f, _t, d in fields]
    cls = type(name, (_Record,), {"_class_name": name, "_fields": tuple(fields),
                                  "__module__": __name__,
                                  "__doc__": f"Configuration record {name}."})
    cls.__signature__ = _inspect.Signature(params)
    return cls


def _dataset(adata):
    from ._convert import adopt

    if isinstance(adata, str):
        return _engine.Dataset.read(adata)
    if isinstance(adata, _engine.Dataset):
        return adata
    try:
        import anndata
    except ImportError:  # pragma: no cover
        anndata = None
    if anndata is not None and isinstance(adata, anndata.AnnData):
        return adopt(adata)
    raise TypeError("adata must be an AnnData object or the path of an .h5ad file, "
                    f"not {type(adata).__name__}")


def _make_tool(name, entry):
    defaults = entry["param_defaults"]

    def tool(adata, **kwargs):
        # The engine shows the figure when show=True (and the tool's warnings always).
        return _engine.run_tool(name, _dataset(adata), kwargs)

    params = [_inspect.Parameter("adata", _inspect.Parameter.POSITIONAL_OR_KEYWORD)]
    for p in entry["param_names"]:
        params.append(_inspect.Parameter(p, _inspect.Parameter.KEYWORD_ONLY,
                                         default=defaults.get(p)))
    tool.__name__ = tool.__qualname__ = name
    tool.__module__ = __name__
    tool.__doc__ = entry["definition"] or f"The analysis tool {name}."
    tool.__signature__ = _inspect.Signature(params)
    tool._norvex_tool_name = name
    return tool


_classes = {name: _make_record_class(name, fields)
            for name, fields in _engine.record_classes().items()}
globals().update(_classes)
__all__ += sorted(_classes)

_tools = _engine.tools()
TOOL_FUNCS = {}
for _name, _tool in _tools.items():
    TOOL_FUNCS[_name] = _make_tool(_name, _tool)
globals().update(TOOL_FUNCS)
__all__ += list(TOOL_FUNCS)

TOOL_CONFIG_MAP = {}
Config_Name_to_Class_map = {}
FUNCTION_DEF_REGISTRY = {}
FUNC_ARGS_SCHEMA_REGISTRY = {}
for _name, _tool in _tools.items():
    entry = {arg: _classes[cls] for arg, cls in _tool["classes"].items()}
    if _tool["allowed_kwargs"] is not None:
        entry["__allowed_kwargs__"] = list(_tool["allowed_kwargs"])
    TOOL_CONFIG_MAP[_name] = entry
    Config_Name_to_Class_map[_name] = {cls: _classes[cls] for cls in _tool["classes"].values()}
    if _tool["definition"] is not None:
        FUNCTION_DEF_REGISTRY[_name] = _tool["definition"]
    FUNC_ARGS_SCHEMA_REGISTRY[_name] = _tool["schema"]


def _tool_names(tool_funcs):
    """The registry names of a tool mapping (the engine runs its own tools)."""
    if tool_funcs is None:
        return None
    names = []
    for key, fn in tool_funcs.items():
        name = getattr(fn, "_norvex_tool_name", None)
        if name is None or name != key:
            raise TypeError(f"tool_funcs['{key}'] must be the registry's own {key} "
                            "(norvex.functions_and_maps)")
        names.append(key)
    return names


def _config_map_names(tool_config_map):
    if tool_config_map is None:
        return None
    out = {}
    for tool, entry in tool_config_map.items():
        if not isinstance(entry, dict):
            raise TypeError(f"tool_config_map['{tool}'] must be a dict")
        names = {}
        for arg, cls in entry.items():
            if arg == "__allowed_kwargs__":
                names[arg] = list(cls)
            else:
                names[arg] = getattr(cls, "_class_name", None) or str(cls)
        out[tool] = names
    return out


def build_tool_defaults_v3(Tool_funcs, Tool_config_map):
    return _engine.build_tool_defaults_v3(_tool_names(Tool_funcs),
                                          _config_map_names(Tool_config_map))
