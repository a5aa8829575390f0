#include "norvex/display/result_display.hpp"

#include <functional>

#include "norvex/common/base64.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/python_text.hpp"
#include "norvex/common/table.hpp"
#include "norvex/common/text.hpp"
#include "norvex/display/base64_display.hpp"
#include "norvex/display/image_grid.hpp"
#include "norvex/display/render.hpp"
#include "norvex/display/show_tree.hpp"
#include "norvex/display/table_html.hpp"
#include "norvex/documents/documents.hpp"
#include "norvex/host/host.hpp"
#include "norvex/plotting/plot.hpp"

namespace norvex {
namespace {

// A display failure is reported and the request goes on: the artefact is lost, the
// answer is not.
void guarded(NotebookHost& host, const char* where, const std::function<void()>& body) {
  try {
    body();
  } catch (const std::exception& e) {
    host.print(std::string("❌ ERROR: ") + error_type_name(e) + " : " + e.what());
    host.print_error(std::string("Traceback (most recent call last):\n  in ") + where + "\n" +
                     error_type_name(e) + ": " + e.what());
  }
}

const json& require_mapping(const json& value, const char* name) {
  if (!value.is_object()) {
    throw AttributeError(std::string("'") + py_type_name(value) +
                         "' object has no attribute 'get' (" + name + " must be a dict)");
  }
  return value;
}

json get_or(const json& mapping, const char* key, const json& fallback = nullptr) {
  auto it = mapping.find(key);
  return it == mapping.end() ? fallback : *it;
}

}  // namespace

void display_value(NotebookHost& host, const json& value) {
  if (Table::is_table(value)) {
    host.display_table(table_to_html(Table::from_json(value)));
  } else {
    host.display_json(value);
  }
}

void show_code_snippet(NotebookHost& host, const json& spec_res, const std::string& key) {
  json code;
  if (spec_res.is_object() && spec_res.contains(key)) {
    code = spec_res[key];
  } else if (spec_res.is_string()) {
    code = spec_res;
  }
  if (code.is_null()) {
    host.print("❌ ERROR: Code snippet not available.");
    return;
  }
  host.set_next_input(py_str(code));
}

namespace {
// The SVG of each image as rendered in this process, in the images' shape; null when one of
// them has none (an image from elsewhere, or rendered long ago).
json remembered_svgs(const json& imgs) {
  json out = json::array();
  const std::vector<json> items =
      imgs.is_string() ? std::vector<json>{imgs} : std::vector<json>(imgs.begin(), imgs.end());
  for (const json& b64 : items) {
    if (!b64.is_string()) return nullptr;
    std::string svg;
    try {
      svg = plotting::remembered_svg(base64_decode(strip_data_url(b64.get<std::string>())));
    } catch (const std::exception&) {
      return nullptr;
    }
    if (svg.empty()) return nullptr;
    out.push_back(std::move(svg));
  }
  return out;
}
}  // namespace

void display_plot_img_base64(NotebookHost& host, const json& plot_result) {
  guarded(host, "display_plot_img_base64", [&] {
    const json& pr = require_mapping(plot_result, "plot_result");
    json html_b64 = get_or(pr, "html_base64");
    if (py_truthy(html_b64)) {
      display_base64_auto(host, html_b64, true, get_or(pr, "WH", json::array({800, 600})));
      return;
    }
    json imgs = get_or(pr, "img_base64");
    if (!py_truthy(imgs)) {
      host.print("⚠️ WARNING: No img_base64 found.");
      return;
    }
    int ncols = auto_ncols_from_imgs(imgs, true);
    std::string merged = merge_base64_pngs_grid_nostretch(host, imgs, ncols, 10, true);
    json svgs = remembered_svgs(imgs);
    if (!merged.empty() && !svgs.is_null()) {
      // The figure with its vector form, for hosts that keep or offer it.
      Figure figure;
      figure.png = base64_decode(merged);
      figure.svg = merge_svgs_grid_nostretch(imgs, svgs, ncols, 10);
      host.display_figure(figure);
    } else if (!merged.empty()) {
      display_img_base64(host, merged);
    } else {
      host.print("⚠️ WARNING: Image not found or none.");
    }
  });
}

void display_table_summaries(NotebookHost& host, const json& plot_result,
                             const std::string& table_name) {
  guarded(host, "display_table_summaries", [&] {
    const json& pr = require_mapping(plot_result, "plot_result");
    json summaries = get_or(pr, "table_summaries");
    json tbl_dct = json::object();
    if (Table::is_table(summaries)) {
      display_value(host, summaries);
      tbl_dct[table_name] = summaries;
    } else {
      if (!summaries.is_object()) {
        throw TypeError(std::string("table_summaries must be a table or a dict of tables, not ") +
                        py_type_name(summaries));
      }
      for (auto it = summaries.begin(); it != summaries.end(); ++it) {
        auto data = pr.find("data");
        if (data == pr.end()) throw key_error("data");
        host.print("=== Selected " + py_str(*data) + "s for " + it.key() + " ===");
        const json& entry = it.value();
        if (Table::is_table(entry)) {
          display_value(host, entry);
          tbl_dct[it.key()] = entry;
          continue;
        }
        if (!entry.is_object()) {
          throw TypeError("table_summaries['" + it.key() + "'] must be a table or a dict of " +
                          "tables, not " + py_type_name(entry));
        }
        for (auto c = entry.begin(); c != entry.end(); ++c) {
          display_value(host, c.value());
          tbl_dct[it.key() + "-" + c.key()] = c.value();
        }
      }
    }
    if (!tbl_dct.empty()) {
      std::string excel = save_to_excel_buffer(tbl_dct, 0.1);
      host.offer_download(document_download(excel, table_name + ".xlsx", "table"));
    }
  });
}

void display_explanation(NotebookHost& host, const json& explanation_text, const json& img_b64,
                         const std::optional<std::string>& title) {
  render_vantu_explanation(host, explanation_text);
  if (img_b64.is_null() || !title) return;
  std::vector<std::string> left_out;
  std::string doc = create_doc_with_style(explanation_text, img_b64, *title, &left_out);
  for (const auto& why : left_out) host.print("⚠️ WARNING: " + why);
  host.offer_download(document_download(doc, *title + ".docx"));
  host.print(" ");
}

void show_dataset_tree(NotebookHost& host, AnnData& ad, const std::string& target) {
  if (target == "not_specified") {
    host.print(show_tree(ad));
    return;
  }
  std::vector<std::string> keys;
  if (target == "deg") {
    keys = {"DEG", "DEG_vs_ref"};
  } else if (target == "go") {
    keys = {"GSA_up", "GSA_vs_ref_up"};
  } else if (target == "gsea") {
    keys = {"GSEA"};
  } else if (target == "cci") {
    keys = {"CCI", "CCI_sample"};
  }
  for (const auto& key : keys) {
    if (!ad.uns.contains(key)) continue;
    host.print(key + ":");
    host.print(show_tree(ad.uns.at(key)));
  }
}

}  // namespace norvex
