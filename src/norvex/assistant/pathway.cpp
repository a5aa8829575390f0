// gene_selection_from_pathway_db: a named pathway resolved against uns['Pathways_DB'].
#include <algorithm>

#include "norvex/assistant/flow_util.hpp"
#include "norvex/assistant/flows.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/python_text.hpp"
#include "norvex/host/host.hpp"
#include "norvex/llm/usage.hpp"
#include "norvex/prompts/constants.hpp"

namespace norvex::flows {

namespace {

std::string strip_line_breaks(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

// The symbols of one pathway entry, as stored: a string array, or a JSON list.
std::vector<std::string> pathway_genes(const UnsNode& node, const std::string& name) {
  std::vector<std::string> out;
  if (node.is_array()) {
    const Array& a = node.array();
    for (size_t i = 0; i < a.size(); ++i) out.push_back(strip_line_breaks(a.text_at(i)));
    return out;
  }
  json v = node.to_json();
  if (v.is_string()) {
    // Lists that could not be stored as arrays are kept as JSON text.
    try {
      v = parse_json_text(v.get<std::string>());
    } catch (const std::exception&) {
      v = json::array({v});
    }
  }
  if (!v.is_array())
    throw TypeError("uns['Pathways_DB']['" + name + "'] is not a list of gene symbols");
  for (auto& e : v)
    if (e.is_string()) out.push_back(strip_line_breaks(e.get<std::string>()));
  return out;
}

}  // namespace

PathwaySelection gene_selection_from_pathway_db(Session& s, const json& user_query,
                                                const json& pathway_phrase, long long total) {
  if (!user_query.is_string())
    throw TypeError(std::string("user_query must be str, not ") + py_type_name(user_query));
  if (!pathway_phrase.is_string())
    throw TypeError(std::string("pathway_phrase must be str, not ") + py_type_name(pathway_phrase));
  NotebookHost& host = s.host;
  PathwaySelection out;
  detail::Stopwatch watch;
  host.print("✅ Searching for gene set .. ", false);

  const UnsDict& db = s.adata.uns.at("Pathways_DB").dict();
  const std::vector<std::string> candidates = db.keys();
  const std::string prompt =
      detail::fill_template(prompts::pathway_resolver_prompt_min(),
                            {{"user_phrase", pathway_phrase.get<std::string>()},
                             {"candidate_pathways_json", detail::json_array_one_line(candidates)}});
  JsonCallOptions call;
  call.schema = prompts::pathway_resolver_schema_min();
  call.system_message = prompt;
  call.data_context = s.data_context;
  call.max_retries = s.max_retries;
  LLMResult res = s.model.json_enforced_call(user_query.get<std::string>(), call);
  const json& spec_pw = res.content;
  if (!spec_pw.is_object() || !spec_pw.contains("selected_pathway"))
    throw key_error("selected_pathway");
  const std::string selected = py_str(spec_pw["selected_pathway"]);
  host.print("done (" + watch.seconds() + ", " + last_usage_text(res.usage) +
             "). \n🛠️ Selected PW: " + selected);
  out.pathway = selected;

  const bool clarify = spec_pw.contains("needs_clarification") &&
                       spec_pw["needs_clarification"].is_boolean() &&
                       spec_pw["needs_clarification"].get<bool>();
  if (!clarify) {
    if (std::find(candidates.begin(), candidates.end(), selected) != candidates.end()) {
      out.genes = pathway_genes(db.at(selected), selected);
      std::sort(out.genes.begin(), out.genes.end());
    } else {
      host.print("⚠️ WARNING: Pathway, " + selected + ", not in the pathways list.");
    }
  }
  out.total_usage = total + usage_total(res.usage);
  return out;
}

}  // namespace norvex::flows
