"""Baseline for demo_open_bench: anndata.read_h5ad plus the same data description, then
the expression of five genes for all cells. Prints one JSON line with times and peaks."""
import json
import sys
import time


def vm_hwm_kb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def describe(adata):
    usr = adata.uns["usr_param"]
    s = f"AnnData: {adata.obs.shape[0]} cells × {adata.var.shape[0]} genes"
    s += "\n - obs columns: " + ", ".join(adata.obs.columns)
    s += "\n - var columns: " + ", ".join(adata.var.columns)
    s += "\n - species: " + usr["species"]
    s += "\n - tissue: " + usr["tissue"]
    conditions = [str(x) for x in adata.obs["condition"].unique().tolist()]
    s += "\n - conditions: " + ", ".join(conditions)
    for level in ("celltype_major", "celltype_minor", "celltype_subset"):
        s += f"\n - {level}: " + ", ".join(str(x) for x in adata.obs[level].unique().tolist())
    if usr["tumor_id"]:
        counts = adata.obs[adata.obs["tumor_origin_ind"] == True]["celltype_major"].value_counts()
        label = counts.index[0] if counts.index[0] != "unassigned" else "unassigned, " + counts.index[1]
        s += "\n - Tumor origin celltype: " + label
        s += "\n - ploidy_dec: Aneuploid, Diploid "
    params = adata.uns["analysis_parameters"]
    taxo, ref = str(params["CCI_DEG_BASE"]), str(params["DEG_REF_GROUP"])
    if ref in conditions:
        s += "\n - Reference condition for DEG_vs_ref, GSEA_vs_ref, and GSA_vs_ref_up: " + ref
    if "CCI" in adata.uns:
        first = list(adata.uns["CCI"].keys())[0]
        s += "\n - CCI DataFrame columns: " + ", ".join(adata.uns["CCI"][first].columns)
    for key, label in (("DEG", "DEG"), ("GSEA", "GSEA"), ("GSA_up", "GSA")):
        if key in adata.uns:
            ct = list(adata.uns[key].keys())[0]
            cc = list(adata.uns[key][ct].keys())[0]
            s += f"\n - {label} DataFrame columns: " + ", ".join(adata.uns[key][ct][cc].columns)
    s += "\n\nPrecomputed results include .. "
    rest, vs = " comparing one condition versus the rest.", " comparing one condition versus the reference condition."
    lines = [
        ("CCI", "Cell-cell interaction (CellPhoneDB) results per condition."),
        ("CCI_sample", "Cell-cell interaction (CellPhoneDB) results per sample."),
        ("DEG", f"DEG results for each {taxo}{rest}"),
        ("DEG_vs_ref", f"DEG results for each {taxo}{vs}"),
        ("GSEA", f"GSEA results for each {taxo}{rest}"),
        ("GSEA_vs_ref", f"GSEA results for each {taxo}{vs}"),
        ("GSA_up", f"GO(GSA) results for each {taxo}{rest}"),
        ("GSA_vs_ref_up", f"GO(GSA) results for each {taxo}{vs}"),
    ]
    for key, text in lines:
        if key in adata.uns:
            s += f"\n - uns['{key}']: " + text
    if usr["tumor_id"]:
        s += "\n - obs['ploidy_dec']: Ploidy inference label (Aneuploid/Diploid)."
        s += "\n - obsm['X_cnv']: CNV estimates."
    return "\n\n[DATA CONTEXT]\nAn AnnData (obtained from single-cell RNA-seq data) is given: \n" + s


def main():
    path, genes = sys.argv[1], sys.argv[2].split(",")
    import anndata  # noqa: E402  (timed separately from start-up)

    t0 = time.perf_counter()
    adata = anndata.read_h5ad(path)
    context = describe(adata)
    t1 = time.perf_counter()
    hwm_context = vm_hwm_kb()
    values = [adata[:, g].X.toarray().ravel() for g in genes]
    t2 = time.perf_counter()
    print(json.dumps({
        "open_context_s": t1 - t0,
        "context_hwm_kb": hwm_context,
        "expression_s": t2 - t1,
        "total_hwm_kb": vm_hwm_kb(),
        "expression_sum": [float(v.sum(dtype="float64")) for v in values],
        "context": context,
    }))


if __name__ == "__main__":
    main()
