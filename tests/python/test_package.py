"""The Python package over a live AnnData and over a path, against the stub service."""
import base64
import io
import os
import re
import subprocess
import threading
import zipfile
import _thread

import anndata
import numpy as np
import pandas as pd
import pytest
import scipy.sparse as sp

from conftest import NORVEX_BINARY
from stub_service import router_record

from norvex import _engine
from norvex._host import NotebookHost
from norvex.norvex_main import norvex
import norvex.norvex_main as main
from norvex.functions_and_maps import (TOOL_CONFIG_MAP, TOOL_FUNCS, UMAPPlotConfig,
                                       plot_umap)


def umap_request(save=False):
    flags = {"plot": True, "table_summary": True, "args": True, "code": True,
             "explain_data": True, "save": save}
    return router_record(flags, selected_tool="plot_umap", plot_type_to_draw="umap")


def script_umap(stub, save=False):
    stub.answer(umap_request(save))
    stub.answer({"plot_cfg": {"color_by": "celltype_minor"}})
    stub.answer("## Findings\nClear clusters.")


# ---- the module surface ----
def test_surface_constants_and_registry_names():
    for name in ("ROUTER_PROMPT", "ROUTER_SCHEMA", "PATCH_PROMPT", "PATCH_SCHEMA",
                 "PREV_TX_SELECTION_SCHEMA_DICT", "EXTRA_CONTEXT_FOR_TARGET_GENES"):
        assert hasattr(main, name), name
    out = subprocess.run([NORVEX_BINARY, "constants", "ROUTER_PROMPT"], capture_output=True,
                         check=True).stdout.decode()
    assert main.ROUTER_PROMPT == out
    assert main.ROUTER_SCHEMA["type"] == "object"
    assert callable(plot_umap) and set(TOOL_FUNCS) >= {"plot_umap"}
    assert TOOL_CONFIG_MAP["plot_umap"]["plot_cfg"] is UMAPPlotConfig
    assert main._detect_base64_type("iVBORw0KGgo=") == "png"
    assert main._deep_merge({"a": {"b": 1, "c": 2}}, {"a": {"b": 3}}) == {"a": {"b": 3, "c": 2}}
    assert main._shorten("a   b", 140) == "a b"
    assert main.pick_keys({"x": 1, "y": 2}, ["y", "z"]) == {"y": 2}
    import norvex as package  # what a reproduction snippet's `import norvex` binds
    assert isinstance(package("sk-x"), norvex)
    full, exec_args = main._materialize_tool_args(
        "plot_umap", {"plot_cfg": {"color_by": "condition"}},
        main.functions_and_maps.build_tool_defaults_v3(TOOL_FUNCS, TOOL_CONFIG_MAP),
        TOOL_CONFIG_MAP)
    assert full["plot_cfg"]["color_by"] == "condition"
    assert exec_args["plot_cfg"]["__class__"] == "UMAPPlotConfig"
    kept = main._filter_kwargs_for_fn(plot_umap, {"plot_cfg": None, "bogus": 1},
                                      tool_name="plot_umap", Tool_config_map=TOOL_CONFIG_MAP)
    assert "bogus" not in kept


def test_errors_arrive_as_python_exceptions(demo_path, stub):
    with pytest.raises(TypeError, match="tool_defaults"):
        norvex("sk-x", "gpt-5", demo_path, tool_defaults=[])
    with pytest.raises(TypeError, match="max_retries"):
        norvex("sk-x", "gpt-5", demo_path, max_retries="2")
    with pytest.raises(OSError, match="missing.h5ad"):
        norvex("sk-x", "gpt-5", "/nonexistent/missing.h5ad")
    with pytest.raises(TypeError, match="colour"):
        UMAPPlotConfig(colour="red")
    with pytest.raises(KeyError):
        _engine.run_tool("plot_nothing", _engine.Dataset.read(demo_path), {})
    half = norvex("sk-x")  # no dataset: the error line, no exception
    with pytest.raises(AttributeError, match="adata"):
        half.write_h5ad("x.h5ad")
    nv = norvex("sk-x", "gpt-5", demo_path, base_url=stub.base_url, max_retries=0)
    stub.fail(401, "invalid key")
    # the router's failure is reported by the engine, the request ends with None, or the
    # service error reaches the caller as its own type
    try:
        assert nv.ask("UMAP please") is None
    except main.ServiceError as e:
        assert type(e).__name__ == "AuthenticationError"
        assert e.status_code == 401


# ---- adopting a live AnnData ----
def test_adoption_normalises_names_on_the_callers_object(demo_path, stub):
    adata = anndata.read_h5ad(demo_path)
    n = adata.n_obs
    adata.obs_names = pd.Index([i // 2 for i in range(n)])  # numbers, duplicated
    adata.var_names = pd.Index(["G"] * 2 + list(adata.var_names[2:]))
    nv = norvex("sk-x", "gpt-5", adata, base_url=stub.base_url)
    assert nv.adata is adata
    assert nv.file_h5ad == "norvex_processed_anndata.h5ad"
    assert all(isinstance(v, str) for v in adata.obs_names)
    assert adata.obs_names.is_unique and adata.var_names.is_unique
    assert list(adata.obs_names[:3]) == ["0", "0-1", "1"]
    assert list(adata.var_names[:2]) == ["G", "G-1"]


def test_fresh_request_save_and_write_keep_the_saved_store(demo_path, stub, tmp_path, capsys):
    adata = anndata.read_h5ad(demo_path)
    nv = norvex("sk-x", "gpt-5", adata, base_url=stub.base_url)
    script_umap(stub, save=True)
    result = nv.ask("UMAP by cell type, and save it")
    out = capsys.readouterr().out
    assert "✅ Analyzing query .. done (" in out
    assert "🛠️ Generating plots .. done (" in out
    assert result["plot_func"] == "plot_umap"
    assert "norvex.functions_and_maps.plot_umap(" in result["plot_code"]
    assert len(nv.t_hist) == 1
    assert "norvex_tx" in adata.uns  # the store lands in the caller's uns

    # a follow-up: the same plot again, with its code, reused from the history
    stub.answer(router_record({"recurrent_query": True, "plot": True, "code": True},
                              reference_plot_type="umap"))
    flags = dict.fromkeys(["rerun_with_changes", "render_plot", "render_table", "render_code",
                           "render_args", "explain", "explain_more_detail", "save"], False)
    flags.update(render_plot=True, render_code=True)
    stub.answer({"user_request": flags, "selected_tx_id": "0", "confidence": 0.9,
                 "need_new_compute": False, "user_warning": ""})
    again = nv.ask("Show that UMAP again with its code")
    out = capsys.readouterr().out
    assert "✅ Looking up previous requests .. done (" in out
    assert again["plot_code"] == result["plot_code"]
    assert len(nv.t_hist) == 1  # the reused transaction replaced, not added

    path = tmp_path / "saved.h5ad"
    nv.write_h5ad(str(path))
    back = anndata.read_h5ad(path)
    assert "norvex_tx" in back.uns
    _assert_same_uns(back.uns["norvex_tx"], adata.uns["norvex_tx"])

    # the same object written by anndata itself keeps it too
    path2 = tmp_path / "by_anndata.h5ad"
    adata.write_h5ad(path2)
    _assert_same_uns(anndata.read_h5ad(path2).uns["norvex_tx"], adata.uns["norvex_tx"])

    # the same request over the path, written by the engine's own writer: the same store
    nv2 = norvex("sk-x", "gpt-5", demo_path, base_url=stub.base_url)
    script_umap(stub, save=True)
    nv2.ask("UMAP by cell type, and save it")
    path3 = tmp_path / "by_engine.h5ad"
    nv2.write_h5ad(str(path3))
    by_engine = anndata.read_h5ad(path3).uns["norvex_tx"]
    entry = "UMAP by cell type, and save it"
    for key in by_engine[entry]:
        if key != "report":  # the Word document carries its creation time
            _assert_same_uns(by_engine[entry][key], back.uns["norvex_tx"][entry][key])

    # and the engine reads the store back: listing the saved queries names the question
    capsys.readouterr()
    nv3 = norvex("sk-x", "gpt-5", str(path2), base_url=stub.base_url)
    nv3.check_saved_queries()
    assert "UMAP by cell type, and save it" in capsys.readouterr().out


def _assert_same_uns(a, b):
    if isinstance(a, dict):
        assert isinstance(b, dict) and sorted(a) == sorted(b)  # h5py lists keys sorted
        for k in a:
            _assert_same_uns(a[k], b[k])
    elif isinstance(a, pd.DataFrame):
        pd.testing.assert_frame_equal(a, b, check_dtype=False, check_categorical=False,
                                      check_index_type=False)
    elif isinstance(a, np.ndarray):
        np.testing.assert_array_equal(a, np.asarray(b))
    elif isinstance(a, float) and np.isnan(a):  # a null kept in the store reads as NaN
        assert isinstance(b, float) and np.isnan(b)
    else:
        assert a == b


def test_path_and_object_give_the_same_answers(demo_path, stub):
    answers = []
    for adata in (demo_path, anndata.read_h5ad(demo_path)):
        nv = norvex("sk-x", "gpt-5", adata, base_url=stub.base_url)
        script_umap(stub)
        stub.answer(router_record({"plot": True, "table_summary": True},
                                  selected_tool="plot_celltype_population"))
        stub.answer({"compute_cfg": {"group_by": "condition"}})
        answers.append((nv.data_context, nv.ask("UMAP by cell type"),
                        nv.ask("Cell-type proportions per condition")))
    (ctx_a, umap_a, pop_a), (ctx_b, umap_b, pop_b) = answers
    assert ctx_a == ctx_b
    for a, b in ((umap_a, umap_b), (pop_a, pop_b)):
        assert a["plot_params"] == b["plot_params"]
        assert a["plot_code"] == b["plot_code"]
        assert a["plot_result"]["img_base64"] == b["plot_result"]["img_base64"]
        ta, tb = a["plot_result"].get("table_summaries"), b["plot_result"].get("table_summaries")
        assert type(ta) is type(tb)
        if isinstance(ta, pd.DataFrame):
            pd.testing.assert_frame_equal(ta, tb)
    # the prompts sent were the same for both
    bodies = [r["body"] for r in stub.requests]
    half = len(bodies) // 2
    assert bodies[:half] == bodies[half:]


def _small(fmt, dtype=np.float32, index_dtype=np.int32):
    rng = np.random.default_rng(1)
    dense = rng.poisson(0.7, size=(50, 12)).astype(dtype)
    if fmt == "dense":
        x = dense
    else:
        x = (sp.csr_matrix if fmt == "csr" else sp.csc_matrix)(dense)
        x.indices = x.indices.astype(index_dtype)
        x.indptr = x.indptr.astype(index_dtype)
    ad = anndata.AnnData(X=x, dtype=dtype, obs=pd.DataFrame(index=[f"c{i}" for i in range(50)]),
                         var=pd.DataFrame(index=[f"g{j}" for j in range(12)]))
    ad.obsm["X_umap"] = rng.normal(size=(50, 2))
    return ad, dense


@pytest.mark.parametrize("fmt,dtype,index_dtype", [
    ("dense", np.float32, np.int32), ("dense", np.float64, np.int32),
    ("csr", np.float32, np.int32), ("csr", np.float64, np.int64),
    ("csc", np.float32, np.int64), ("csc", np.float64, np.int32)])
def test_expression_is_read_in_place(fmt, dtype, index_dtype):
    ad, dense = _small(fmt, dtype, index_dtype)
    from norvex._convert import adopt

    ds = adopt(ad)
    got = np.array(ds.gene_expression(["g3", "g0", "g3"]))
    np.testing.assert_allclose(got, dense[:, [3, 0, 3]].T)
    # a change to the caller's matrix is seen without adopting again: nothing was copied
    if fmt == "dense":
        ad.X[7, 3] = 42
    else:
        ad.X.data[:] = 5
    expected = np.asarray(ad.X[:, 3].todense()).ravel() if sp.issparse(ad.X) else ad.X[:, 3]
    assert 42 in expected or 5 in expected
    np.testing.assert_allclose(np.array(ds.gene_expression(["g3"]))[0], expected)


def test_cell_names_of_an_adopted_object_are_its_names_when_first_needed(tmp_path):
    from norvex._convert import adopt

    ad, _ = _small("csr")
    ad.obs_names = [f"cell-{i}" for i in range(50)]
    ds = adopt(ad)
    ad.obs_names = [f"later-{i}" for i in range(50)]  # the engine keeps what it adopted
    assert ds.n_obs == 50
    path = tmp_path / "adopted.h5ad"
    ds.write_h5ad(str(path))
    assert list(anndata.read_h5ad(path).obs_names) == [f"cell-{i}" for i in range(50)]
    assert ds.obs_names() == [f"cell-{i}" for i in range(50)]
    ad.obs_names = list(range(50))  # a non-text index reads as its text
    assert adopt(ad).obs_names() == [str(i) for i in range(50)]


def test_unsupported_matrices_are_named():
    ad, _ = _small("dense")
    ad.X = ad.X.astype(np.float16)
    from norvex._convert import adopt

    with pytest.raises(TypeError, match="X has values of type float16"):
        adopt(ad)
    ad, _ = _small("csr")
    ad.X = sp.coo_matrix(ad.X)
    with pytest.raises(TypeError, match="coo"):
        adopt(ad)


def test_a_tool_called_by_its_registry_name_runs_on_either_form(demo_path, capsys):
    from_path = plot_umap(demo_path, plot_cfg=UMAPPlotConfig(color_by="celltype_minor"),
                          show=False)
    from_object = plot_umap(anndata.read_h5ad(demo_path),
                            plot_cfg=UMAPPlotConfig(color_by="celltype_minor"), show=False)
    assert from_path["img_base64"] == from_object["img_base64"]
    assert capsys.readouterr().out == ""


def test_a_tool_returns_its_svg_on_request_and_draws_at_a_chosen_dpi(demo_path):
    import struct
    import xml.etree.ElementTree as ET
    cfg = UMAPPlotConfig(color_by="celltype_minor")
    plain = plot_umap(demo_path, plot_cfg=cfg, show=False)
    assert "img_svg" not in plain
    hi = plot_umap(demo_path, plot_cfg=cfg, show=False, svg=True, dpi=300)
    png = base64.b64decode(hi["img_base64"])
    root = ET.fromstring(hi["img_svg"].encode())
    width_pt = float(root.get("width").replace("pt", ""))
    assert abs(struct.unpack(">I", png[16:20])[0] - width_pt / 72 * 300) < 1.5
    assert struct.unpack(">I", png[16:20])[0] == 2 * struct.unpack(
        ">I", base64.b64decode(plain["img_base64"])[16:20])[0]
    with pytest.raises(ValueError, match="dpi must be between 36 and 1200"):
        plot_umap(demo_path, plot_cfg=cfg, show=False, dpi=10)
    with pytest.raises(TypeError, match="svg must be a bool"):
        plot_umap(demo_path, plot_cfg=cfg, show=False, svg="yes")


def test_stop_between_model_calls_leaves_the_history(demo_path, stub):
    nv = norvex("sk-x", "gpt-5", demo_path, base_url=stub.base_url)
    script_umap(stub)
    nv.ask("UMAP by cell type")
    assert len(nv.t_hist) == 1
    # the planner's answer is slow; the stop arrives while it is awaited
    stub.answer(umap_request())
    stub.answer({"plot_cfg": {"color_by": "celltype_minor"}}, delay=1.0)
    stub.answer("## Findings\nAgain.")
    timer = threading.Timer(0.5, _thread.interrupt_main)
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        nv.ask("UMAP by cell type again")
    timer.join()
    assert len(nv.t_hist) == 1
    assert nv.t_hist.buf[0]["query"] == "UMAP by cell type"


def test_a_local_server_gets_chat_completions_without_a_key_and_usage_is_counted(demo_path, stub):
    nv = norvex(None, "qwen2.5-7b-instruct", demo_path, base_url=stub.base_url + "/v1")
    script_umap(stub)
    assert nv.ask("UMAP by cell type")["explanation"] == "## Findings\nClear clusters."
    assert [r["path"] for r in stub.requests] == ["/v1/chat/completions"] * 3
    assert all("Authorization" not in r["headers"] for r in stub.requests)
    assert stub.requests[0]["body"]["response_format"]["type"] == "json_schema"
    usage = nv.usage()
    local = usage["models"]["qwen2.5-7b-instruct"]
    assert (local["calls"], local["input_tokens"], local["output_tokens"]) == (3, 30, 15)
    assert local["estimated_cost_usd"] is None and usage["estimated_cost_usd"] is None
    # Responses on request; the usage of the object goes on across set_api_key.
    nv.set_api_key("sk-x", "gpt-5", demo_path, base_url=stub.base_url, wire="responses")
    script_umap(stub)
    nv.ask("UMAP by cell type")
    assert stub.requests[-1]["path"] == "/responses"
    usage = nv.usage()
    assert list(usage["models"]) == ["qwen2.5-7b-instruct", "gpt-5"]
    assert usage["estimated_cost_usd"] == pytest.approx(3 * (10 * 1.25 + 5 * 10.0) / 1e6)
    with pytest.raises(ValueError, match="wire must be 'auto', 'responses' or 'chat'"):
        norvex(None, "qwen2.5-7b-instruct", demo_path, base_url=stub.base_url, wire="grpc")
    with pytest.raises(TypeError, match="wire must be str"):
        norvex(None, "qwen2.5-7b-instruct", demo_path, wire=1)


SHARED = os.path.join(os.path.dirname(__file__), "..", "..", "..", "shared", "data")


@pytest.mark.parametrize("name", ["pbmc68k_reduced_anndata08_csr.h5ad",
                                  "pbmc68k_reduced_legacy.h5ad"])
def test_real_files_as_path_and_as_object_agree(name, tmp_path):
    """Files written by anndata itself (sparse and dense X, "/" in labels, the metadata a
    pipeline adds): the same context, expression and figure either way."""
    src = os.path.join(SHARED, name)
    if not os.path.exists(src):
        pytest.skip("the shared real data is not present")
    a = anndata.read_h5ad(src)
    a.uns["usr_param"] = {"species": "human", "tissue": "blood", "tumor_id": False}
    a.uns["analysis_parameters"] = {"CCI_DEG_BASE": "bulk_labels", "DEG_REF_GROUP": "none"}
    labels = a.obs["bulk_labels"].astype(str)
    for col in ("condition", "celltype_major", "celltype_minor", "celltype_subset"):
        a.obs[col] = (labels + "/" + col).astype("category")
    path = str(tmp_path / name)
    a.write_h5ad(path)
    live = anndata.read_h5ad(path)

    by_path = norvex("sk-x", "gpt-5", path, base_url="http://127.0.0.1:9")
    by_object = norvex("sk-x", "gpt-5", live, base_url="http://127.0.0.1:9")
    assert by_path.data_context == by_object.data_context
    genes = list(live.var_names[:4])
    np.testing.assert_array_equal(np.array(by_path.adata.gene_expression(genes)),
                                  np.array(by_object._engine.adata.gene_expression(genes)))
    cfg = UMAPPlotConfig(color_by="celltype_minor")
    assert plot_umap(path, plot_cfg=cfg, show=False)["img_base64"] == \
        plot_umap(live, plot_cfg=cfg, show=False)["img_base64"]


def _scaled_with_raw_and_layer(demo_path, tmp_path):
    """The shape upstream files take: a scaled X, the log values kept as raw, counts as a
    layer."""
    a = anndata.read_h5ad(demo_path)
    logx = a.X.toarray() if sp.issparse(a.X) else np.asarray(a.X)
    a.raw = a
    a.layers["counts"] = sp.csr_matrix(np.expm1(logx).astype(np.float32))
    a.X = ((logx - logx.mean(0)) / (logx.std(0) + 1e-6)).astype(np.float32)
    path = str(tmp_path / "scaled.h5ad")
    a.write_h5ad(path)
    return path, logx


def _assert_same(a, b, where="result"):
    assert type(a) is type(b), where
    if isinstance(a, pd.DataFrame):
        pd.testing.assert_frame_equal(a, b)
    elif isinstance(a, dict):
        assert list(a) == list(b), where
        for k in a:
            _assert_same(a[k], b[k], f"{where}[{k!r}]")
    elif isinstance(a, list):
        assert len(a) == len(b), where
        for i, (x, y) in enumerate(zip(a, b)):
            _assert_same(x, y, f"{where}[{i}]")
    else:
        assert a == b, where


def test_raw_and_layers_of_a_live_object_are_read_as_from_its_file(demo_path, tmp_path):
    from norvex.functions_and_maps import (GeneSelectConfig, MarkerFindConfig,
                                           plot_markers_and_expression_dot,
                                           plot_violin_for_gene_expression_with_signif_difference)
    from norvex._convert import adopt

    path, logx = _scaled_with_raw_and_layer(demo_path, tmp_path)
    live = anndata.read_h5ad(path)
    violin = plot_violin_for_gene_expression_with_signif_difference
    calls = [
        (plot_markers_and_expression_dot, {"find_cfg": MarkerFindConfig(n_top=3)}),
        (violin, {"target_genes": ["CD3E", "MS4A1"]}),
        (violin, {"target_genes": ["CD3E"], "gene_cfg": GeneSelectConfig(layer="counts")}),
        (plot_umap, {"target_genes": ["CD3E"]}),
    ]
    results = []
    for tool, kwargs in calls:
        by_path = tool(path, show=False, **kwargs)
        by_object = tool(live, show=False, **kwargs)
        _assert_same(by_path, by_object, tool.__name__)
        results.append(by_object)
    # raw (the log values) by default, not the scaled X: finite fold changes, no warning about
    # negative values, and the violin's means are the raw ones; the layer gives others.
    markers = results[0]["table_summaries"]["markers"]
    assert np.isfinite(markers["logfoldchanges"].to_numpy(dtype=float)).all()
    assert results[0].get("warnings", []) == []
    cmp_raw = results[1]["table_summaries"]["comparisons"]
    cmp_layer = results[2]["table_summaries"]["comparisons"]
    cells = live.obs["celltype_major"].astype(str).to_numpy()
    cond = live.obs["condition"].astype(str).to_numpy()
    cd3e = logx[:, list(live.var_names).index("CD3E")]
    row = cmp_raw[cmp_raw["gene"] == "CD3E"].iloc[0]
    want = cd3e[(cells == row["celltype"]) & (cond == row["group1"])].mean() \
        if row["celltype"] != "all cells" else cd3e[cond == row["group1"]].mean()
    assert np.isclose(row["mean1"], want, rtol=1e-5)
    assert not np.isclose(cmp_layer.iloc[0]["mean1"], cmp_raw.iloc[0]["mean1"])

    # The engine's own writer keeps them too.
    ds = adopt(live)
    out = str(tmp_path / "written.h5ad")
    ds.write_h5ad(out)
    back = anndata.read_h5ad(out)
    np.testing.assert_allclose(back.raw.X.toarray(), logx, rtol=1e-6)
    assert list(back.raw.var_names) == list(live.raw.var_names)
    np.testing.assert_allclose(back.layers["counts"].toarray(), live.layers["counts"].toarray())


# ---- hostile values and the key ----
def _deep(kind, levels):
    inner = {} if kind is dict else []
    top = inner
    for _ in range(levels - 1):
        nxt = {} if kind is dict else []
        if kind is dict:
            inner["x"] = nxt
        else:
            inner.append(nxt)
        inner = nxt
    return top


def _cyclic_dict():
    d = {"a": 1}
    d["self"] = {"back": d}
    return d


def _cyclic_list():
    lst = [1]
    lst.append([lst])
    return lst


@pytest.mark.parametrize("build", [_cyclic_dict, _cyclic_list, lambda: _deep(dict, 20000),
                                   lambda: _deep(list, 20000)],
                         ids=["cyclic dict", "cyclic list", "deep dict", "deep list"])
def test_cyclic_or_endless_values_are_python_errors_not_crashes(build, demo_path):
    from norvex._convert import adopt

    ad, _ = _small("csr")
    ad.uns["bad"] = build()
    with pytest.raises(ValueError, match=r"contains itself \(a cycle\)|nested more than 100"):
        adopt(ad)
    with pytest.raises(ValueError, match=r"contains itself \(a cycle\)|nested more than 100"):
        norvex("sk-x", "gpt-5", ad)
    # the same value as tool arguments
    with pytest.raises(ValueError, match=r"contains itself \(a cycle\)|nested more than 100"):
        _engine.run_tool("plot_umap", _engine.Dataset.read(demo_path), {"plot_cfg": build()})


def test_nesting_up_to_the_readers_limit_still_adopts():
    from norvex._convert import adopt

    ad, _ = _small("csr")
    ad.uns["ok"] = _deep(dict, 60)
    shared = {"v": 1}
    ad.uns["twice"] = {"a": shared, "b": shared}  # the same object twice is no cycle
    ds = adopt(ad)
    assert ds.uns_item("twice") == {"a": {"v": 1}, "b": {"v": 1}}


@pytest.mark.parametrize("layout", ["fortran", "strided"])
def test_dense_x_in_any_memory_layout_reads_the_owners_values(layout):
    from norvex._convert import adopt

    ad, dense = _small("dense")
    if layout == "fortran":
        ad.X = np.asfortranarray(dense)
    else:
        wide = np.zeros((50, 24), dtype=np.float32)
        wide[:, ::2] = dense
        ad.X = wide[:, ::2]  # a view with a stride of two values
        assert not ad.X.flags["C_CONTIGUOUS"]
    ds = adopt(ad)
    got = np.array(ds.gene_expression(["g5", "g0", "g11"]))
    np.testing.assert_array_equal(got, dense[:, [5, 0, 11]].T)


KEY = "sk-live-secret-0123456789"


def test_the_key_never_reaches_python_output_or_the_saved_store(demo_path, stub, capsys,
                                                                 monkeypatch):
    downloads = []
    shown = NotebookHost.display_html

    def display_html(self, html):
        downloads.extend(base64.b64decode(m) for m in re.findall(r"base64,([A-Za-z0-9+/=]+)", html))
        shown(self, html)

    monkeypatch.setattr(NotebookHost, "display_html", display_html)
    adata = anndata.read_h5ad(demo_path)
    nv = norvex(KEY, "gpt-5", adata, base_url=stub.base_url, max_retries=0)
    # model text echoing the key, as the notebook host prints it
    stub.answer(router_record({"info": True}, info_answer=f"Your key is {KEY}."))
    nv.ask("what is my key?")
    out = capsys.readouterr().out
    assert KEY not in out and "[redacted]" in out

    # a question and an answer quoting the key, saved into the dataset
    stub.answer(umap_request(save=True))
    stub.answer({"plot_cfg": {"color_by": "celltype_minor"}})
    stub.answer(f"## Findings\nMade with {KEY}.")
    nv.ask(f"UMAP for {KEY}, save it")
    store = adata.uns["norvex_tx"]
    assert list(store.keys()) == ["UMAP for [redacted], save it"]
    assert KEY not in repr(dict(store))

    # the Word download of that answer: the link's bytes are a readable document without it
    docs = [d for d in downloads if d.startswith(b"PK")]
    assert docs, "the answer offers its Word document"
    texts = []
    for doc in docs:
        with zipfile.ZipFile(io.BytesIO(doc)) as z:
            assert z.testzip() is None
            texts.append(b"".join(z.read(n) for n in z.namelist()))
    assert not any(KEY.encode() in t for t in texts)
    assert any(b"[redacted]" in t for t in texts)

    # the service's error body, as the caller's exception carries it
    stub.fail(401, f"Incorrect API key provided: {KEY}.")
    try:
        result = nv.ask("UMAP again")
        assert result is None
    except main.ServiceError as e:
        assert KEY not in repr(e.body) and KEY not in str(e)
    assert KEY not in capsys.readouterr().out


def test_adopted_codes_of_every_width_read_as_their_categories(tmp_path):
    # pandas stores codes as int8 up to 127 categories, int16 beyond: each is taken at its
    # own width, missing values (-1) included.
    from norvex._convert import adopt

    ad, _ = _small("csr")
    n = ad.n_obs
    few = pd.Categorical([["x", "y", None][i % 3] for i in range(n)])
    many_names = [f"type{j:03d}" for j in range(300)]
    many = pd.Categorical([many_names[(i * 37) % 300] if i % 7 else None for i in range(n)],
                          categories=many_names)
    assert few.codes.dtype == np.int8 and many.codes.dtype == np.int16
    ad.obs["few"] = few
    ad.obs["many"] = many
    ds = adopt(ad)
    # Written and read back by anndata: the categories per cell are the caller's.
    path = tmp_path / "adopted-codes.h5ad"
    ds.write_h5ad(str(path))
    back = anndata.read_h5ad(path)
    assert list(back.obs["few"].astype(object)) == list(pd.Series(few).astype(object))
    assert list(back.obs["many"].astype(object)) == list(pd.Series(many).astype(object))
