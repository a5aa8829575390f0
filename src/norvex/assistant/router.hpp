#pragma once
// The vocabulary of the router: the answer language of a question and the follow-up
// selector's request flags. The two checks on a routing record are methods of the
// assistant (check_router_res_validity, check_router_res_flags in core/norvex.hpp).
#include <string>

#include "norvex/common/json.hpp"

namespace norvex {

// "en" when the question asks for English (영어 / english), else "ko" when it asks for
// Korean (한글 / 한국어 / korean) or holds a Hangul syllable, else "en". TypeError for a
// value that is not text.
std::string _detect_output_language(const json& user_query);

// The follow-up selector's user_request as exactly the eight flags render_plot,
// render_table, render_code, render_args, explain, save, explain_more_detail,
// rerun_with_changes (in that order), each the truth value of the given entry; a false
// value gives all false. AttributeError for a true value that is not a mapping.
json _normalize_user_request(const json& user_req);

}  // namespace norvex
