#include "norvex/display/render.hpp"

#include <cmark-gfm-core-extensions.h>
#include <cmark-gfm.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>

#include "norvex/common/escape.hpp"
#include "norvex/host/host.hpp"

namespace norvex {
namespace {

struct ParserDeleter {
  void operator()(cmark_parser* p) const { cmark_parser_free(p); }
};
struct NodeDeleter {
  void operator()(cmark_node* n) const { cmark_node_free(n); }
};

std::string lower_ascii(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string text_of(const json& value) {
  return value.is_string() ? value.get<std::string>() : dump_json(value);
}

// Replaces `node` by a text node holding `literal`.
void replace_with_text(cmark_node* node, const std::string& literal) {
  cmark_node* text = cmark_node_new(CMARK_NODE_TEXT);
  cmark_node_set_literal(text, literal.c_str());
  cmark_node_replace(node, text);
  cmark_node_free(node);
}

// Moves the children of `node` in its place and removes it (a link keeps its words).
void unwrap(cmark_node* node) {
  while (cmark_node* child = cmark_node_first_child(node)) cmark_node_insert_before(node, child);
  cmark_node_free(node);
}

// Text content of a subtree (an image's alt text).
std::string plain_text(cmark_node* node) {
  std::string out;
  cmark_iter* it = cmark_iter_new(node);
  cmark_event_type ev;
  while ((ev = cmark_iter_next(it)) != CMARK_EVENT_DONE) {
    cmark_node* n = cmark_iter_get_node(it);
    if (ev == CMARK_EVENT_ENTER && cmark_node_get_type(n) == CMARK_NODE_TEXT) {
      if (const char* lit = cmark_node_get_literal(n)) out += lit;
    }
  }
  cmark_iter_free(it);
  return out;
}

bool is_line_break_tag(const std::string& html) {
  std::string t = lower_ascii(html);
  t.erase(std::remove_if(t.begin(), t.end(), [](unsigned char c) { return std::isspace(c); }),
          t.end());
  return t == "<br>" || t == "<br/>";
}

// Makes the tree harmless: raw HTML becomes visible text (a bare <br> stays a line break,
// models use it inside table cells), unsafe links keep only their words, unsafe images
// only their alt text.
void sanitise(cmark_node* root) {
  std::vector<cmark_node*> html_blocks, html_inlines, links, images;
  cmark_iter* it = cmark_iter_new(root);
  cmark_event_type ev;
  while ((ev = cmark_iter_next(it)) != CMARK_EVENT_DONE) {
    if (ev != CMARK_EVENT_ENTER) continue;
    cmark_node* n = cmark_iter_get_node(it);
    switch (cmark_node_get_type(n)) {
      case CMARK_NODE_HTML_BLOCK:
        html_blocks.push_back(n);
        break;
      case CMARK_NODE_HTML_INLINE:
        html_inlines.push_back(n);
        break;
      case CMARK_NODE_LINK:
        links.push_back(n);
        break;
      case CMARK_NODE_IMAGE:
        images.push_back(n);
        break;
      default:
        break;
    }
  }
  cmark_iter_free(it);
  for (cmark_node* n : html_blocks) {
    const char* lit = cmark_node_get_literal(n);
    cmark_node* para = cmark_node_new(CMARK_NODE_PARAGRAPH);
    std::string text = lit ? lit : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    cmark_node* t = cmark_node_new(CMARK_NODE_TEXT);
    cmark_node_set_literal(t, text.c_str());
    cmark_node_append_child(para, t);
    cmark_node_replace(n, para);
    cmark_node_free(n);
  }
  for (cmark_node* n : html_inlines) {
    const char* lit = cmark_node_get_literal(n);
    std::string text = lit ? lit : "";
    if (is_line_break_tag(text)) {
      cmark_node_replace(n, cmark_node_new(CMARK_NODE_LINEBREAK));
      cmark_node_free(n);
    } else {
      replace_with_text(n, text);
    }
  }
  // Links before images: an image's description may hold a link, and replacing the image
  // frees its whole subtree, so no collected link may be visited after that.
  for (cmark_node* n : links) {
    const char* url = cmark_node_get_url(n);
    if (!is_safe_link_url(url ? url : "", false)) unwrap(n);
  }
  // Innermost first: an image description may itself hold an image.
  for (auto rit = images.rbegin(); rit != images.rend(); ++rit) {
    cmark_node* n = *rit;
    const char* url = cmark_node_get_url(n);
    if (!is_safe_link_url(url ? url : "", true)) replace_with_text(n, plain_text(n));
  }
}

std::string box(const std::string& title_html, const std::string& body_html,
                const std::string& accent) {
  return "<div class=\"norvex-box\" style=\"border-left:4px solid " + accent +
         ";background:#fafbfc;padding:0.6em 1em;margin:0.6em 0;\">" + title_html + body_html +
         "</div>";
}

void value_to_html(const json& v, std::string& out);

void mapping_rows(const json& obj, std::string& out) {
  for (auto it = obj.begin(); it != obj.end(); ++it) {
    if (it.key() == "__class__") continue;
    out += "<tr><td style=\"font-family:monospace;vertical-align:top\">" + html_escape(it.key()) +
           "</td><td>";
    value_to_html(it.value(), out);
    out += "</td></tr>";
  }
}

void value_to_html(const json& v, std::string& out) {
  if (v.is_object()) {
    // A configuration record is a tagged object: show its class, then its fields.
    auto cls = v.find("__class__");
    if (cls != v.end() && cls->is_string()) {
      out += "<div><i>" + html_escape(cls->get<std::string>()) + "</i></div>";
    }
    out += "<table style=\"border-collapse:collapse\">";
    mapping_rows(v, out);
    out += "</table>";
    return;
  }
  out += "<code>" + html_escape(dump_json(v)) + "</code>";
}

}  // namespace

bool is_safe_link_url(const std::string& raw, bool for_image) {
  // Browsers skip leading blanks and control characters and ignore tabs and line breaks
  // anywhere in a scheme, so "java\tscript:" must be read as javascript:.
  std::string url;
  for (unsigned char c : raw) {
    if (c == '\t' || c == '\n' || c == '\r') continue;
    if (url.empty() && c <= 0x20) continue;
    url += static_cast<char>(c);
  }
  size_t colon = url.find(':');
  size_t stop = url.find_first_of("/?#");
  if (colon == std::string::npos || (stop != std::string::npos && stop < colon)) return true;
  std::string scheme = lower_ascii(url.substr(0, colon));
  if (scheme == "http" || scheme == "https") return true;
  if (!for_image) return scheme == "mailto";
  if (scheme != "data") return false;
  std::string rest = lower_ascii(url.substr(colon + 1, 16));
  for (const char* ok : {"image/png", "image/jpeg", "image/gif", "image/webp"}) {
    std::string k = ok;
    if (rest.compare(0, k.size(), k) == 0 && rest.size() > k.size() &&
        (rest[k.size()] == ';' || rest[k.size()] == ','))
      return true;
  }
  return false;
}

std::string markdown_to_safe_html(const std::string& markdown) {
  static std::once_flag registered;
  std::call_once(registered, [] { cmark_gfm_core_extensions_ensure_registered(); });
  // CMARK_OPT_UNSAFE is never set: cmark's own safe mode stays on behind our sanitiser.
  const int options = CMARK_OPT_DEFAULT | CMARK_OPT_SAFE;
  std::unique_ptr<cmark_parser, ParserDeleter> parser(cmark_parser_new(options));
  for (const char* name : {"table", "strikethrough", "autolink", "tagfilter"}) {
    if (cmark_syntax_extension* ext = cmark_find_syntax_extension(name))
      cmark_parser_attach_syntax_extension(parser.get(), ext);
  }
  cmark_parser_feed(parser.get(), markdown.data(), markdown.size());
  std::unique_ptr<cmark_node, NodeDeleter> doc(cmark_parser_finish(parser.get()));
  if (!doc) return "<p>" + html_escape(markdown) + "</p>";
  sanitise(doc.get());
  char* html =
      cmark_render_html(doc.get(), options, cmark_parser_get_syntax_extensions(parser.get()));
  std::string out = html ? html : "";
  free(html);
  return out;
}

void render_vantu_info(NotebookHost& host, const json& info_answer, const std::string& lang) {
  const std::string title = lang == "ko" ? "📘 데이터셋 정보" : "📘 Dataset information";
  host.display_html(box("<h3 style=\"margin:0.2em 0\">" + html_escape(title) + "</h3>",
                        markdown_to_safe_html(text_of(info_answer)), "#3b7dd8"));
}

void render_vantu_explanation(NotebookHost& host, const json& explanation_text) {
  host.display_html(box("<h3 style=\"margin:0.2em 0\">🧬 NORVEX explanation</h3>",
                        markdown_to_safe_html(text_of(explanation_text)), "#2e9e6b"));
}

void display_analysis_parameters(NotebookHost& host, const json& tool_name, const json& args) {
  std::string body = "<table style=\"border-collapse:collapse\">";
  if (args.is_object()) {
    mapping_rows(args, body);
  } else {
    body += "<tr><td>";
    value_to_html(args, body);
    body += "</td></tr>";
  }
  body += "</table>";
  host.display_html(box("<h4 style=\"margin:0.2em 0\">⚙️ Parameters of <code>" +
                            html_escape(text_of(tool_name)) + "</code></h4>",
                        body, "#8a6d3b"));
}

void show_user_warning_big(NotebookHost& host, const json& text, bool use_html) {
  const std::string msg = text.is_null() ? "No matching previous result was found." : text_of(text);
  if (!use_html) {
    host.print("⚠️ WARNING: " + msg);
    return;
  }
  host.display_html(
      "<div class=\"norvex-warning\" style=\"border:2px solid #d9534f;background:#fff4f4;"
      "color:#a12622;font-size:1.2em;font-weight:bold;padding:0.8em 1em;margin:0.6em 0;\">"
      "⚠️ " +
      html_escape(msg) + "</div>");
}

}  // namespace norvex
