#pragma once
// The follow-up models' answers read once, after validation, into typed values: the
// selector's choice of an earlier transaction and the patch extractor's changes.
#include <optional>
#include <string>
#include <vector>

#include "norvex/assistant/router.hpp"
#include "norvex/common/json.hpp"

namespace norvex {

struct SelectorAnswer {
  json record;          // the answer as the model gave it
  json selected_tx_id;  // as answered: text, integer or null
  // The user_request entry when it is given and not empty.
  std::optional<json> user_request;
  bool need_new_compute = false;
  json user_warning;

  static SelectorAnswer from_record(const json& answer);
};

struct PatchAnswer {
  json record;  // the answer as the model gave it
  bool needs_rerun = false;
  struct Pathway {
    bool requested = false;
    std::optional<std::string> phrase;  // non-empty when given
    bool replace_existing_target_genes = false;
  } pathway;
  struct Genes {
    std::vector<json> add, remove;
    std::optional<json> replace_all;  // a list when given
  } genes;
  json set = json::object();  // parameters to set
  json unset = json::array();

  // TypeError naming a list field that is not a list.
  static PatchAnswer from_record(const json& answer);
};

// What a rerun planned: the tool, its arguments and the patch it came from.
struct RerunPlan {
  bool needs_rerun = false;
  json selected_tool;
  json final_args;
  json exec_args;  // present when needs_rerun
  json patch;

  // {needs_rerun, selected_tool, final_args[, exec_args], patch}.
  json to_record() const;
};

}  // namespace norvex
