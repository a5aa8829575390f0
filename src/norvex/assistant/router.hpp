#pragma once
// The vocabulary of the router: the answer language of a question and the follow-up
// selector's request flags. The two checks on a routing record are methods of the
// assistant (check_router_res_validity, check_router_res_flags in core/norvex.hpp).
#include <optional>
#include <string>

#include "norvex/common/json.hpp"

namespace norvex {

// "en" when the question asks for English (영어 / english), else "ko" when it asks for
// Korean (한글 / 한국어 / korean) or holds a Hangul syllable, else "en". TypeError for a
// value that is not text.
std::string detect_output_language(const json& user_query);

// The follow-up selector's user_request as exactly the eight flags render_plot,
// render_table, render_code, render_args, explain, save, explain_more_detail,
// rerun_with_changes (in that order), each the truth value of the given entry; a false
// value gives all false. AttributeError for a true value that is not a mapping.
json normalize_user_request(const json& user_req);

// True when the routing record names a meaningful target (a plot type, analysis, cell type
// or tool other than "none"). TypeError for a record that is not a mapping.
bool check_router_res_validity(const json& router_res);
// True when the record's flags ask for any output (plot, table, data explanation, arguments
// or code). KeyError without "flags".
bool check_router_res_flags(const json& router_res);

// The router's twelve flags. The schema requires eight of them; the optional ones (save,
// tree, args, code) read as false when the answer leaves them out.
struct RouterFlags {
  bool info = false;
  bool plot = false;
  bool table_summary = false;
  bool explain_data = false;
  bool explain_general = false;
  bool specific_pathway = false;
  bool save = false;
  bool tree = false;
  bool args = false;
  bool code = false;
  bool reportgen = false;
  bool recurrent_query = false;
};

// A routing record read once, after validation, into what the flows branch on: every
// field, the optional flags false when left out. The record itself travels on unchanged in
// the result mapping.
struct RouterDecision {
  json record;  // the routing record as the model gave it (after validation)
  RouterFlags flags;
  std::string kind;
  std::string selected_tool = "none";  // "none" when no tool fits
  json target_celltype;                // compared with the earlier transaction's on a follow-up
  std::string target_analysis, query_item, plot_type, plot_type_to_draw, reference_plot_type;
  std::optional<std::string> pathway_phrase;
  std::optional<json> info_answer;
  std::string tree_target = "not_specified";
  json confidence;
  bool need_context = false;
  std::string reason;
  json questions = json::array();
  bool names_target = false;  // check_router_res_validity
  bool asks_output = false;   // check_router_res_flags

  // KeyError naming a missing required field, TypeError for a record or flags that are
  // not mappings.
  static RouterDecision from_record(const json& router_res);
};

// The follow-up selector's request, from its normalised form (all eight flags present).
struct FollowUpRequest {
  bool render_plot = false;
  bool render_table = false;
  bool render_code = false;
  bool render_args = false;
  bool explain = false;
  bool save = false;
  bool explain_more_detail = false;
  bool rerun_with_changes = false;

  static FollowUpRequest from_record(const json& user_request);
  // The eight flags as a mapping, in the order the selector's schema lists them.
  json to_record() const;
  // What a follow-up whose routing record names nothing asks of the newest transaction:
  // the record's own output flags.
  static FollowUpRequest from_router_flags(const RouterFlags& flags);
  bool wants_explanation() const { return explain || explain_more_detail; }
};

}  // namespace norvex
