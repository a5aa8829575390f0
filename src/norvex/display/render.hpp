#pragma once
// Renderers for model-written text and tool arguments. Everything the model writes is
// untrusted: Markdown is rendered with raw HTML shown as text and links or images whose
// address could run script (javascript:, vbscript:, data: documents, ...) reduced to their
// text.
#include <string>

#include "norvex/common/json.hpp"
#include "norvex/host/host.hpp"

namespace norvex {

// Markdown (GitHub flavour: tables, strikethrough, autolinks) to an HTML fragment that is
// safe to place in a page.
std::string markdown_to_safe_html(const std::string& markdown);

// True for an address a rendered link may point to: http, https, mailto, or one without a
// scheme (relative, #fragment). Images may also be data:image/{png,jpeg,gif,webp}.
bool is_safe_link_url(const std::string& url, bool for_image = false);

// Shows the router's information answer (Markdown) in a titled box; `lang` ("ko" or "en")
// picks the title's language. A value that is not text is shown as its JSON form.
void render_vantu_info(NotebookHost& host, const json& info_answer, const std::string& lang = "en");

// Shows an explanation written by the model (Markdown).
void render_vantu_explanation(NotebookHost& host, const json& explanation_text);

// Shows a tool's name and its full argument mapping as a table; configuration records
// appear with their class name and fields.
void display_analysis_parameters(NotebookHost& host, const json& tool_name, const json& args);

// A prominent warning: an HTML box when use_html, else a "⚠️ WARNING: " console line.
void show_user_warning_big(NotebookHost& host, const json& text, bool use_html = true);

}  // namespace norvex
