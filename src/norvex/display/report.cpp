#include "norvex/display/report.hpp"

#include <string>
#include <vector>

#include "norvex/common/errors.hpp"
#include "norvex/common/text.hpp"
#include "norvex/documents/documents.hpp"
#include "norvex/host/host.hpp"

namespace norvex {

void generate_norvex_report(NotebookHost& host, const AnnData& adata) {
  if (!adata.uns.contains("norvex_tx") || !adata.uns.at("norvex_tx").is_dict() ||
      adata.uns.at("norvex_tx").dict().empty()) {
    if (adata.uns.contains("norvex_tx") && !adata.uns.at("norvex_tx").is_dict() &&
        !adata.uns.at("norvex_tx").is_null())
      throw TypeError("uns['norvex_tx'] must be a mapping of saved transactions, not a " +
                      adata.uns.at("norvex_tx").kind_name());
    host.print("ℹ️ INFO: No transaction(s) found.");
    return;
  }
  const UnsDict& store = adata.uns.at("norvex_tx").dict();
  std::vector<std::string> sections;
  size_t j = 0;
  for (const auto& key : store.keys()) {
    size_t number = ++j;  // counts skipped transactions too
    json tx = store.at(key).to_json();
    if (!tx.is_object() || !tx.contains("plot_result")) continue;
    const json& plot_result = tx["plot_result"];
    json images = plot_result.is_object() && plot_result.contains("img_base64")
                      ? plot_result["img_base64"]
                      : json(nullptr);
    // A damaged entry (from another tool, or an older file) is named and passed over, as
    // the listing does: one bad entry must not block the report of the others.
    const std::string named = "⚠️ WARNING: Saved query '" + utf8_prefix(key, 80) + "' ";
    if (!tx.contains("explanation")) {
      host.print(named + "has a plot result but no explanation and is left out of the report.");
      continue;
    }
    std::vector<std::string> left_out;
    try {
      sections.push_back(create_doc_with_style(tx["explanation"], images,
                                               "Section " + std::to_string(number), &left_out));
    } catch (const Error& e) {
      host.print(named + "cannot be made into a section (" + error_type_name(e) + ": " + e.what() +
                 ") and is left out of the report.");
      continue;
    }
    for (const auto& why : left_out) host.print("⚠️ WARNING: " + why);
  }
  if (sections.empty()) {
    // Nothing to put in a document; an empty report would only mislead.
    host.print("ℹ️ INFO: No transaction(s) with a plot result found.");
    return;
  }
  std::string report = merge_docx_buffers_docxcompose(sections, true);
  host.offer_download(document_download(report, "norvex_report.docx", "report"));
}

}  // namespace norvex
