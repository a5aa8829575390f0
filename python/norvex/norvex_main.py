"""The assistant module: the class `norvex`, the module functions and the prompt constants.

Every behaviour is the engine's; this module converts arguments, forwards calls, and keeps
a live AnnData given to the assistant in step with what the engine changes (cell and gene
names, and the uns entries the assistant adds, such as the saved store)."""
from dataclasses import dataclass, field
from typing import Any, Optional

from . import _engine, functions_and_maps
from ._convert import adopt as _adopt

for _name, _value in _engine.constants().items():
    globals()[_name] = _value

try:
    from jsonschema import ValidationError as JSONSchemaValidationError
    from jsonschema import validate as jsonschema_validate
except Exception:  # the module works without validation support
    jsonschema_validate = None
    JSONSchemaValidationError = Exception

ServiceError = _engine.ServiceError


@dataclass
class LLMResult:
    content: Any
    usage: dict = field(default_factory=dict)
    raw: Any = None
    provider: str = ""
    model: str = ""


# ---- module functions (the engine's, under the module's names) ----
def find_tumor_origin_celltype(adata):
    return _engine.find_tumor_origin_celltype(_dataset_of(adata))


def get_data_description_str(adata):
    return _engine.get_data_description_str(_dataset_of(adata))


def get_data_context(adata):
    return _engine.get_data_context(_dataset_of(adata))


def _asdict_safe(x):
    return _engine.asdict_safe(x)


def _deep_merge(defaults: dict, patch: dict) -> dict:
    return _engine.deep_merge(defaults, patch)


def _coerce_tool_configs(tool_name: str, args: dict, Tool_config_map: dict) -> dict:
    return _engine.coerce_tool_configs(tool_name, args,
                                       functions_and_maps._config_map_names(Tool_config_map))


def _materialize_tool_args(tool_name: str, ai_args: dict, tool_defaults: dict,
                           Tool_config_map: dict):
    return _engine.materialize_tool_args(tool_name, ai_args, tool_defaults,
                                         functions_and_maps._config_map_names(Tool_config_map))


def _filter_kwargs_for_fn(fn, kwargs: dict, *, tool_name=None, Tool_config_map=None) -> dict:
    name = getattr(fn, "_norvex_tool_name", None)
    if name is None:
        raise TypeError("fn must be a tool of norvex.functions_and_maps")
    return _engine.filter_kwargs_for_fn(name, kwargs, tool_name,
                                        functions_and_maps._config_map_names(Tool_config_map))


def _detect_output_language(user_query):
    return _engine.detect_output_language(user_query)


def _drop_nones(obj):
    return _engine.drop_nones(obj)


def _extract_json_object(text):
    return _engine.extract_json_object(text)


def show_code_snippet(spec_res, key="plot_code"):
    _engine.show_code_snippet(spec_res, key)


def _ensure_required_defaults(data: dict, schema: dict) -> dict:
    return _engine.ensure_required_defaults(data, schema)


def _detect_base64_type(b64):
    return _engine.detect_base64_type(b64)


def display_base64_auto(imgs, use_html_img=True, iframe_size=(900, 500)):
    _engine.display_base64_auto(imgs, use_html_img, list(iframe_size)
                                if isinstance(iframe_size, tuple) else iframe_size)


def generate_norvex_report(adata):
    _engine.generate_norvex_report(_dataset_of(adata))


def _check_any_valid(d, keys, default=None):
    return _engine.check_any_valid(d, list(keys), default)


def _get_any(d, keys, default=None):
    return _engine.get_any(d, list(keys), default)


def _to_iso(ts):
    return _engine.to_iso(ts)


def _shorten(text, max_len=140):
    return _engine.shorten(text, max_len)


def summarize_transactions(tx_list_recent_first, *, max_items=30, max_query_len=200):
    return _engine.summarize_transactions(tx_list_recent_first, max_items, max_query_len)


def format_tx_summaries_for_llm(*, current_router_res, tx_summaries, selection_schema,
                                max_candidates=12):
    return _engine.format_tx_summaries_for_llm(current_router_res, tx_summaries,
                                               selection_schema, max_candidates)


def schema_dict_to_prompt_text(schema, *, max_len=2000):
    return _engine.schema_dict_to_prompt_text(schema, max_len)


def _drop_nones_keep_required(data, schema):
    return _engine.drop_nones_keep_required(data, schema)


def _safe_int(x):
    return _engine.safe_int(x)


def _normalize_user_request(user_req):
    return _engine.normalize_user_request(user_req)


def _get_tx_by_id(tx_list_recent_first, tx_id):
    return _engine.get_tx_by_id(tx_list_recent_first, tx_id)


def _default_user_request_for_reuse(base_tx_full):
    return _engine.default_user_request_for_reuse(base_tx_full)


def _build_patch_payload(*, base_router, base_user_query, new_user_query, selected_tool,
                         base_plot_params=None):
    return _engine.build_patch_payload(base_router, base_user_query, new_user_query,
                                       selected_tool, base_plot_params)


def pick_keys(src, keys):
    return _engine.pick_keys(src, list(keys))


def to_h5_safe(x):
    return _engine.to_h5_safe(x)


def _is_anndata(value):
    try:
        import anndata
    except ImportError:  # pragma: no cover
        return False
    return isinstance(value, anndata.AnnData)


def _dataset_of(adata):
    if isinstance(adata, _engine.Dataset):
        return adata
    if _is_anndata(adata):
        return _adopt(adata)
    if isinstance(adata, str):
        return _engine.Dataset.read(adata)
    raise TypeError(f"adata must be an AnnData object, not {type(adata).__name__}")


def _check_mapping(value, name):
    if value is not None and type(value) is not dict:
        raise TypeError(f"{name} must be a dict or None, not {type(value).__name__}")


class _History:
    """A view of the assistant's in-memory history (`buf`: most recent first)."""

    def __init__(self, engine):
        self._engine = engine

    @property
    def buf(self):
        return self._engine.history

    @property
    def max_buf_len(self):
        return self._engine.max_buf_len

    def __len__(self):
        return len(self._engine.history)


class norvex:
    """The assistant over one dataset (a path, or a live AnnData adopted without copying)."""

    def __init__(self, api_key=None, model_to_use="gpt-5", adata=None, tool_funcs: dict = None,
                 tool_defaults: dict = None, tool_config_map: dict = None,
                 max_retries: int = 1, rem_router=True, *, base_url=None, wire="auto"):
        self._live = None
        self._engine = None
        self._configure(api_key, model_to_use, adata, tool_funcs, tool_defaults,
                        tool_config_map, max_retries, rem_router, base_url, wire, create=True)

    def set_api_key(self, api_key, model_to_use="gemini-2.5-flash", adata=None,
                    tool_funcs: dict = None, tool_defaults: dict = None,
                    tool_config_map: dict = None, max_retries: int = 1, rem_router=True, *,
                    base_url=None, wire="auto"):
        self._configure(api_key, model_to_use, adata, tool_funcs, tool_defaults,
                        tool_config_map, max_retries, rem_router, base_url, wire, create=False)

    def usage(self):
        """Tokens and estimated cost of this object's model calls, per model (cost None
        where no price is known, e.g. a local model)."""
        return self._engine.usage()

    def _configure(self, api_key, model_to_use, adata, tool_funcs, tool_defaults,
                   tool_config_map, max_retries, rem_router, base_url, wire, create):
        if not isinstance(wire, str):
            raise TypeError(f"wire must be str, not {type(wire).__name__}")
        _check_mapping(tool_funcs, "tool_funcs")
        _check_mapping(tool_defaults, "tool_defaults")
        _check_mapping(tool_config_map, "tool_config_map")
        if isinstance(max_retries, bool) or not isinstance(max_retries, (int, float)):
            raise TypeError(f"max_retries must be an integer, not {type(max_retries).__name__}")
        funcs = functions_and_maps._tool_names(tool_funcs)
        config_map = functions_and_maps._config_map_names(tool_config_map)
        live = adata if _is_anndata(adata) else None
        data = _adopt(adata) if live is not None else adata
        if not isinstance(data, (str, _engine.Dataset)):
            data = None
        self.api_key = api_key
        if create:
            self._engine = _engine.Assistant(api_key, model_to_use, data, funcs, tool_defaults,
                                             config_map, max_retries, bool(rem_router), base_url,
                                             wire)
        else:
            self._engine.set_api_key(api_key, model_to_use, data, funcs, tool_defaults,
                                     config_map, max_retries, bool(rem_router), base_url, wire)
        if data is not None and self._engine.configured:
            self._live = live
            self._sync_names()
            self._sync_uns()

    # ---- keeping a live AnnData in step with the engine ----
    def _sync_names(self):
        if self._live is None:
            return
        ds = self._engine.adata
        obs, var = ds.obs_names(), ds.var_names()
        if list(map(str, self._live.obs_names)) != obs or \
                not all(isinstance(v, str) for v in self._live.obs_names):
            self._live.obs_names = obs
        if list(map(str, self._live.var_names)) != var or \
                not all(isinstance(v, str) for v in self._live.var_names):
            self._live.var_names = var

    def _sync_uns(self):
        """Writes the entries the assistant keeps in uns (the saved store, and whatever it
        added) into the caller's object, so adata.write_h5ad keeps them."""
        if self._live is None:
            return
        ds = self._engine.adata
        for key in ds.uns_keys():
            if key == "norvex_tx" or key not in self._live.uns:
                self._live.uns[key] = ds.uns_item(key)

    # ---- the fields users read ----
    @property
    def model_name(self):
        return self._engine.model_name

    @property
    def file_h5ad(self):
        return self._engine.file_h5ad

    @property
    def adata(self):
        if self._live is not None:
            return self._live
        return self._engine.adata

    @property
    def data_context(self):
        return self._engine.data_context

    @property
    def max_retries(self):
        return self._engine.max_retries

    @property
    def rem_router(self):
        return self._engine.rem_router

    @property
    def Tool_defaults(self):
        return self._engine.Tool_defaults

    @property
    def Tool_funcs(self):
        return {n: functions_and_maps.TOOL_FUNCS[n] for n in self._engine.Tool_funcs}

    @property
    def history(self):
        """The answered requests in memory, most recent first."""
        return self._engine.history

    @property
    def last_tx(self):
        return self._engine.last_tx

    @property
    def t_hist(self):
        return _History(self._engine)

    def __repr__(self):
        # The key is never shown.
        return f"<norvex model={self.model_name!r} file_h5ad={self.file_h5ad!r}>"

    # ---- requests ----
    def ask(self, user_query: str, auto_render: bool = True, verbose=False):
        try:
            return self._engine.ask(user_query, bool(auto_render), bool(verbose))
        finally:
            self._sync_uns()

    def write_h5ad(self, file_name: str):
        if not isinstance(file_name, str):
            raise TypeError(f"file_name must be str, not {type(file_name).__name__}")
        if self._live is not None:
            self._sync_uns()
            self._live.write_h5ad(file_name)  # the dataset's own writer
            return
        self._engine.write_h5ad(file_name)

    def check_saved_queries(self):
        self._engine.check_saved_queries()

    def check_saved(self):
        self._engine.check_saved()

    def save_transaction(self, spec, res_to_user, verbose: bool = False,
                         selected_tx_id: int = None):
        try:
            updated = self._engine.save_transaction(spec, res_to_user, bool(verbose),
                                                    selected_tx_id)
        finally:
            self._sync_uns()
        if isinstance(res_to_user, dict) and isinstance(updated, dict):
            res_to_user.clear()
            res_to_user.update(updated)

    # ---- display ----
    def display_table_summaries(self, plot_result, table_name: str = "table"):
        self._engine.display_table_summaries(plot_result, table_name)

    def display_explanation(self, explanation_text, img_b64=None, title: str = None):
        self._engine.display_explanation(explanation_text, img_b64, title)

    def display_plot_img_base64(self, plot_result):
        self._engine.display_plot_img_base64(plot_result)

    def show_tree_partial(self, spec):
        self._engine.show_tree_partial(spec)

    def check_router_res_validity(self, router_res: dict):
        return self._engine.check_router_res_validity(router_res)

    def check_router_res_flags(self, router_res: dict):
        return self._engine.check_router_res_flags(router_res)
