#include "norvex/assistant/answers.hpp"

#include "norvex/common/errors.hpp"
#include "norvex/common/python_text.hpp"

namespace norvex {
namespace {

// A list field of the patch; null counts as empty.
std::vector<json> list_field(const json& obj, const char* key) {
  const json& v = py_getitem(obj, key);
  if (v.is_null()) return {};
  if (!v.is_array())
    throw TypeError(std::string("'") + key + "' must be a list, not " + py_type_name(v));
  return std::vector<json>(v.begin(), v.end());
}

}  // namespace

SelectorAnswer SelectorAnswer::from_record(const json& answer) {
  SelectorAnswer a;
  a.record = answer;
  if (!answer.is_object()) return a;
  a.selected_tx_id = answer.value("selected_tx_id", json());
  if (auto it = answer.find("user_request"); it != answer.end() && py_truthy(*it))
    a.user_request = *it;
  a.need_new_compute = py_truthy(answer.value("need_new_compute", json(false)));
  a.user_warning = answer.value("user_warning", json());
  return a;
}

PatchAnswer PatchAnswer::from_record(const json& answer) {
  PatchAnswer p;
  p.record = answer;
  p.needs_rerun = py_truthy(py_getitem(answer, "needs_rerun"));
  if (!p.needs_rerun) return p;

  const json& pw = py_getitem(answer, "pathway_request");
  p.pathway.requested = py_truthy(py_getitem(pw, "requested"));
  const json& phrase = py_getitem(pw, "pathway_phrase");
  if (py_truthy(phrase)) p.pathway.phrase = py_str(phrase);
  p.pathway.replace_existing_target_genes =
      py_truthy(py_getitem(pw, "replace_existing_target_genes"));

  const json& gene_patch = py_getitem(answer, "gene_patch");
  if (const json& all = py_getitem(gene_patch, "replace_all"); !all.is_null())
    p.genes.replace_all = all;
  p.genes.add = list_field(gene_patch, "add");
  p.genes.remove = list_field(gene_patch, "remove");

  const json& param_patch = py_getitem(answer, "param_patch");
  if (const json& set = py_getitem(param_patch, "set"); set.is_object()) p.set = set;
  for (const json& u : list_field(param_patch, "unset")) p.unset.push_back(u);
  return p;
}

json RerunPlan::to_record() const {
  json out = json{
      {"needs_rerun", needs_rerun}, {"selected_tool", selected_tool}, {"final_args", final_args}};
  if (needs_rerun) out["exec_args"] = exec_args;
  out["patch"] = patch;
  return out;
}

}  // namespace norvex
