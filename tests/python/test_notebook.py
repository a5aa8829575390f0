"""A real notebook run headless with nbclient: the assistant over the demo dataset answers
against the stub service; the executed notebook holds the status lines, the figure, the
tables with their download links, and the reproduction cell placed by set_next_input,
which then runs and draws the figure."""
import json
import os
import shutil

import nbformat
import pytest

nbclient = pytest.importorskip("nbclient")

from stub_service import router_record  # noqa: E402


def _cell_text(cell):
    parts = []
    for out in cell.get("outputs", []):
        if out.get("output_type") == "stream":
            parts.append(out.get("text", ""))
        for mime, value in out.get("data", {}).items():
            parts.append(f"[{mime}]")
            if mime in ("text/html", "text/plain"):
                parts.append(value if isinstance(value, str) else "".join(value))
    return "".join(parts)


def run_notebook(nb, cwd):
    """Executes cell by cell in one kernel; a cell's set_next_input places a new cell below
    it, as the notebook front end does, and that cell runs next."""
    client = nbclient.NotebookClient(nb, timeout=300, kernel_name="python3",
                                     resources={"metadata": {"path": str(cwd)}})
    placed = {}

    def on_executed(cell, cell_index, execute_reply):
        for p in execute_reply.get("content", {}).get("payload", []):
            if p.get("source") == "set_next_input":
                placed[cell_index] = p["text"]

    client.on_cell_executed = on_executed
    with client.setup_kernel():
        i = 0
        while i < len(nb.cells):
            client.execute_cell(nb.cells[i], i)
            if i in placed:
                nb.cells.insert(i + 1, nbformat.v4.new_code_cell(placed.pop(i)))
            i += 1
    return nb


def test_notebook_session(demo_path, stub, tmp_path):
    stub.answer(router_record({"plot": True, "table_summary": True, "code": True,
                               "args": True, "explain_data": True},
                              selected_tool="plot_celltype_population",
                              plot_type_to_draw="population_stackedbar"))
    stub.answer({"compute_cfg": {"group_by": "condition"}})
    stub.answer("## Cell-type proportions\n\nTumour samples hold **more T cells**.")

    nb = nbformat.v4.new_notebook()
    nb.cells = [
        nbformat.v4.new_markdown_cell("# norvex in a notebook"),
        nbformat.v4.new_code_cell(
            "import anndata\n"
            "from norvex.norvex_main import norvex\n"
            f"adata = anndata.read_h5ad({demo_path!r})\n"
            "adata_t = adata\n"
            f"nv = norvex('sk-test-key', 'gpt-5', adata, base_url={stub.base_url!r})"),
        nbformat.v4.new_code_cell(
            "result = nv.ask('Cell-type proportions per condition, with the code')"),
    ]
    run_notebook(nb, tmp_path)
    out_path = tmp_path / "session.ipynb"
    nbformat.write(nb, out_path)
    keep = os.environ.get("NORVEX_NOTEBOOK_OUT")
    if keep:
        shutil.copy(out_path, keep)

    ask_cell = nb.cells[2]
    text = _cell_text(ask_cell)
    assert "✅ Analyzing query .. done (" in text
    assert "🛠️ Generating plots .. done (" in text
    assert "[image/png]" in text or "data:image/png;base64," in text
    assert ".xlsx" in text and "download" in text.lower()
    assert "more T cells" in text
    assert "sk-test-key" not in json.dumps([c.get("outputs", []) for c in nb.cells])

    assert len(nb.cells) == 4, [c.source[:40] for c in nb.cells]
    repro = nb.cells[3]
    assert "norvex.functions_and_maps.plot_celltype_population(" in repro.source
    assert not [o for o in repro.outputs if o.get("output_type") == "error"], repro.outputs
    figures = [o for o in repro.outputs if "image/png" in o.get("data", {})
               or "data:image/png" in str(o.get("data", {}).get("text/html", ""))]
    assert len(figures) == 1, repro.outputs  # the figure, once
