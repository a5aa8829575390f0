#pragma once
// The Word report of the saved transactions, offered in the notebook as a download.
#include "norvex/dataset/anndata.hpp"
#include "norvex/host/host.hpp"

namespace norvex {

// One section per saved transaction (adata.uns["norvex_tx"], in order) that has a plot
// result: "Section N" with N the transaction's position (1-based, so skipped transactions
// leave gaps), its images and its explanation; sections start on new pages. Offers
// "norvex_report.docx" as a download on `host`, or prints
// "ℹ️ INFO: No transaction(s) found." when there is no store or it is empty.
// KeyError when a transaction with a plot result has no "explanation" entry.
void generate_norvex_report(NotebookHost& host, const AnnData& adata);

}  // namespace norvex
