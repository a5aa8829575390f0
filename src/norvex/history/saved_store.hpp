#pragma once
// The saved-transaction store inside the dataset, uns["norvex_tx"]: question -> transaction.
// It persists only when the dataset is written.
#include "norvex/common/json.hpp"
#include "norvex/dataset/anndata.hpp"
#include "norvex/host/host.hpp"

namespace norvex {

// Lists the saved queries ("ℹ️ INFO: saved queries", then one line per entry).
void check_saved_queries(NotebookHost& host, const AnnData& adata);

// Stores `tx` under its question (the routing record left out when `drop_router_res`).
void store_transaction(AnnData& adata, json tx, bool drop_router_res);

}  // namespace norvex
