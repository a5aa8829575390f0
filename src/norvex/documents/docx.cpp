// An explanation as a Word document: the Markdown syntax tree of cmark-gfm walked into
// WordprocessingML with real styles and list numbering, packaged with libzip.
#include <cmark-gfm-core-extensions.h>
#include <cmark-gfm-extension_api.h>
#include <cmark-gfm.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <memory>

#include "norvex/common/base64.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/escape.hpp"
#include "norvex/common/text.hpp"
#include "norvex/documents/documents.hpp"
#include "norvex/documents/docx_parts.hpp"
#include "norvex/documents/ooxml.hpp"

namespace norvex {

namespace docx {

std::string content_types(const std::string& overrides) {
  return std::string(kXmlDecl) +
         "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
         "<Default Extension=\"rels\" "
         "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
         "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
         "<Default Extension=\"png\" ContentType=\"image/png\"/>"
         "<Default Extension=\"jpeg\" ContentType=\"image/jpeg\"/>"
         "<Default Extension=\"gif\" ContentType=\"image/gif\"/>" +
         overrides + "</Types>";
}

}  // namespace docx

namespace {

// A4 with 2.54 cm margins.
constexpr int kPageWidth = 11906, kPageHeight = 16838, kMargin = 1440;
constexpr int kTextWidth = kPageWidth - 2 * kMargin;  // twips
constexpr long long kEmuPerTwip = 635;
constexpr long long kMaxImageWidth = kTextWidth * kEmuPerTwip;
constexpr long long kMaxImageHeight = 7LL * 914400;  // leaves room for a caption on the page

constexpr std::string_view kLatinFont = "Calibri";
constexpr std::string_view kHangulFont = "Noto Sans CJK KR";
constexpr std::string_view kMonoFont = "Consolas";
constexpr std::string_view kMonoHangulFont = "Noto Sans Mono CJK KR";

std::string fonts(std::string_view latin, std::string_view east_asian) {
  std::string l(latin), e(east_asian);
  return "<w:rFonts w:ascii=\"" + l + "\" w:hAnsi=\"" + l + "\" w:eastAsia=\"" + e + "\" w:cs=\"" +
         l + "\"/>";
}

std::string paragraph_style(const std::string& id, const std::string& name, const std::string& ppr,
                            const std::string& rpr, const std::string& extra = "",
                            const std::string& based_on = "Normal") {
  return "<w:style w:type=\"paragraph\" w:styleId=\"" + id + "\"><w:name w:val=\"" + name + "\"/>" +
         (based_on.empty() ? "" : "<w:basedOn w:val=\"" + based_on + "\"/>") + extra +
         "<w:qFormat/>" + (ppr.empty() ? "" : "<w:pPr>" + ppr + "</w:pPr>") +
         (rpr.empty() ? "" : "<w:rPr>" + rpr + "</w:rPr>") + "</w:style>";
}

std::string heading_style(int level, int half_points, const std::string& color, int before) {
  std::string n = std::to_string(level);
  return paragraph_style("Heading" + n, "heading " + n,
                         "<w:keepNext/><w:keepLines/><w:spacing w:before=\"" +
                             std::to_string(before) + "\" w:after=\"80\"/><w:outlineLvl w:val=\"" +
                             std::to_string(level - 1) + "\"/>",
                         "<w:b/><w:bCs/><w:color w:val=\"" + color + "\"/><w:sz w:val=\"" +
                             std::to_string(half_points) + "\"/><w:szCs w:val=\"" +
                             std::to_string(half_points) + "\"/>",
                         "<w:next w:val=\"Normal\"/><w:uiPriority w:val=\"9\"/>");
}

std::string styles_xml() {
  std::string s(docx::kXmlDecl);
  s += "<w:styles xmlns:w=\"" + std::string(docx::kNsW) + "\">";
  s += "<w:docDefaults><w:rPrDefault><w:rPr>" + fonts(kLatinFont, kHangulFont) +
       "<w:sz w:val=\"22\"/><w:szCs w:val=\"22\"/>"
       "<w:lang w:val=\"en-US\" w:eastAsia=\"ko-KR\" w:bidi=\"ar-SA\"/></w:rPr></w:rPrDefault>"
       "<w:pPrDefault><w:pPr><w:spacing w:after=\"120\" w:line=\"276\" w:lineRule=\"auto\"/>"
       "</w:pPr></w:pPrDefault></w:docDefaults>";
  s += "<w:style w:type=\"paragraph\" w:default=\"1\" w:styleId=\"Normal\"><w:name "
       "w:val=\"Normal\"/><w:qFormat/></w:style>";
  s += "<w:style w:type=\"character\" w:default=\"1\" w:styleId=\"DefaultParagraphFont\">"
       "<w:name w:val=\"Default Paragraph Font\"/><w:uiPriority w:val=\"1\"/><w:semiHidden/>"
       "<w:unhideWhenUsed/></w:style>";
  s += "<w:style w:type=\"table\" w:default=\"1\" w:styleId=\"TableNormal\"><w:name "
       "w:val=\"Normal Table\"/><w:uiPriority w:val=\"99\"/><w:semiHidden/><w:unhideWhenUsed/>"
       "<w:tblPr><w:tblInd w:w=\"0\" w:type=\"dxa\"/><w:tblCellMar><w:top w:w=\"0\" "
       "w:type=\"dxa\"/><w:left w:w=\"108\" w:type=\"dxa\"/><w:bottom w:w=\"0\" w:type=\"dxa\"/>"
       "<w:right w:w=\"108\" w:type=\"dxa\"/></w:tblCellMar></w:tblPr></w:style>";
  s += "<w:style w:type=\"numbering\" w:default=\"1\" w:styleId=\"NoList\"><w:name "
       "w:val=\"No List\"/><w:uiPriority w:val=\"99\"/><w:semiHidden/><w:unhideWhenUsed/>"
       "</w:style>";
  s += paragraph_style("Title", "Title",
                       "<w:pBdr><w:bottom w:val=\"single\" w:sz=\"8\" w:space=\"4\" "
                       "w:color=\"4472C4\"/></w:pBdr><w:spacing w:after=\"240\"/>"
                       "<w:contextualSpacing/>",
                       "<w:color w:val=\"1F3864\"/><w:kern w:val=\"28\"/><w:sz w:val=\"44\"/>"
                       "<w:szCs w:val=\"44\"/>",
                       "<w:next w:val=\"Normal\"/><w:uiPriority w:val=\"10\"/>");
  s += heading_style(1, 32, "1F3864", 360);
  s += heading_style(2, 26, "2F5496", 280);
  s += heading_style(3, 24, "2F5496", 200);
  s += heading_style(4, 22, "404040", 160);
  s += paragraph_style("ListBullet", "List Bullet",
                       "<w:spacing w:after=\"60\"/><w:contextualSpacing/>", "");
  s += paragraph_style("ListNumber", "List Number",
                       "<w:spacing w:after=\"60\"/><w:contextualSpacing/>", "");
  s += paragraph_style("ListContinue", "List Continue",
                       "<w:spacing w:after=\"60\"/><w:ind w:left=\"720\"/>", "");
  s += paragraph_style("Quote", "Quote",
                       "<w:pBdr><w:left w:val=\"single\" w:sz=\"18\" w:space=\"8\" "
                       "w:color=\"BFBFBF\"/></w:pBdr><w:ind w:left=\"360\" w:right=\"360\"/>",
                       "<w:i/><w:iCs/><w:color w:val=\"595959\"/>",
                       "<w:next w:val=\"Normal\"/><w:uiPriority w:val=\"29\"/>");
  s += paragraph_style(
      "CodeBlock", "Code Block",
      "<w:shd w:val=\"clear\" w:color=\"auto\" w:fill=\"F3F3F3\"/>"
      "<w:spacing w:before=\"60\" w:after=\"160\" w:line=\"240\" "
      "w:lineRule=\"auto\"/><w:ind w:left=\"144\" w:right=\"144\"/>",
      fonts(kMonoFont, kMonoHangulFont) + "<w:sz w:val=\"18\"/><w:szCs w:val=\"18\"/>");
  s += paragraph_style("Figure", "Figure",
                       "<w:keepNext/><w:spacing w:before=\"120\" w:after=\"60\"/>"
                       "<w:jc w:val=\"center\"/>",
                       "");
  s += paragraph_style("Caption", "caption", "<w:spacing w:after=\"240\"/><w:jc w:val=\"center\"/>",
                       "<w:i/><w:iCs/><w:color w:val=\"595959\"/><w:sz w:val=\"18\"/>"
                       "<w:szCs w:val=\"18\"/>",
                       "<w:next w:val=\"Normal\"/><w:uiPriority w:val=\"35\"/>");
  s += paragraph_style("TableText", "Table Text",
                       "<w:spacing w:before=\"20\" w:after=\"20\" w:line=\"240\" "
                       "w:lineRule=\"auto\"/>",
                       "<w:sz w:val=\"20\"/><w:szCs w:val=\"20\"/>");
  s += paragraph_style("Footer", "footer",
                       "<w:tabs><w:tab w:val=\"center\" w:pos=\"4513\"/><w:tab w:val=\"right\" "
                       "w:pos=\"9026\"/></w:tabs><w:spacing w:after=\"0\"/><w:jc "
                       "w:val=\"center\"/>",
                       "<w:color w:val=\"7F7F7F\"/><w:sz w:val=\"18\"/><w:szCs w:val=\"18\"/>");
  s += "<w:style w:type=\"character\" w:styleId=\"Hyperlink\"><w:name w:val=\"Hyperlink\"/>"
       "<w:basedOn w:val=\"DefaultParagraphFont\"/><w:uiPriority w:val=\"99\"/>"
       "<w:unhideWhenUsed/><w:rPr><w:color w:val=\"0563C1\"/><w:u w:val=\"single\"/></w:rPr>"
       "</w:style>";
  s += "<w:style w:type=\"character\" w:styleId=\"CodeChar\"><w:name w:val=\"Inline Code\"/>"
       "<w:basedOn w:val=\"DefaultParagraphFont\"/><w:rPr>" +
       fonts(kMonoFont, kMonoHangulFont) +
       "<w:color w:val=\"A31515\"/><w:sz w:val=\"20\"/><w:szCs w:val=\"20\"/>"
       "<w:shd w:val=\"clear\" w:color=\"auto\" w:fill=\"F3F3F3\"/></w:rPr></w:style>";
  s += "<w:style w:type=\"table\" w:styleId=\"TableGrid\"><w:name w:val=\"Table Grid\"/>"
       "<w:basedOn w:val=\"TableNormal\"/><w:uiPriority w:val=\"39\"/><w:tblPr><w:tblBorders>"
       "<w:top w:val=\"single\" w:sz=\"4\" w:space=\"0\" w:color=\"A6A6A6\"/>"
       "<w:left w:val=\"single\" w:sz=\"4\" w:space=\"0\" w:color=\"A6A6A6\"/>"
       "<w:bottom w:val=\"single\" w:sz=\"4\" w:space=\"0\" w:color=\"A6A6A6\"/>"
       "<w:right w:val=\"single\" w:sz=\"4\" w:space=\"0\" w:color=\"A6A6A6\"/>"
       "<w:insideH w:val=\"single\" w:sz=\"4\" w:space=\"0\" w:color=\"A6A6A6\"/>"
       "<w:insideV w:val=\"single\" w:sz=\"4\" w:space=\"0\" w:color=\"A6A6A6\"/>"
       "</w:tblBorders></w:tblPr></w:style>";
  s += "</w:styles>";
  return s;
}

std::string numbering_level(int ilvl, bool bullet) {
  static const char* bullets[] = {"\xE2\x80\xA2", "\xE2\x97\xA6", "\xE2\x96\xAA"};  // • ◦ ▪
  static const char* formats[] = {"decimal", "lowerLetter", "lowerRoman"};
  std::string fmt = bullet ? "bullet" : formats[ilvl % 3];
  std::string text = bullet ? bullets[ilvl % 3] : "%" + std::to_string(ilvl + 1) + ".";
  return "<w:lvl w:ilvl=\"" + std::to_string(ilvl) + "\"><w:start w:val=\"1\"/><w:numFmt w:val=\"" +
         fmt + "\"/><w:lvlText w:val=\"" + text +
         "\"/><w:lvlJc w:val=\"left\"/><w:pPr><w:ind w:left=\"" + std::to_string(360 * (ilvl + 2)) +
         "\" w:hanging=\"360\"/></w:pPr>" +
         (bullet ? "<w:rPr>" + fonts(kLatinFont, kLatinFont) + "</w:rPr>" : "") + "</w:lvl>";
}

// Abstract numbering 1 is bullets, 2 is numbers; each list gets its own instance so its
// numbering restarts.
constexpr int kBulletAbstract = 1, kNumberAbstract = 2;

std::string abstract_numbering(int id, bool bullet) {
  std::string s = "<w:abstractNum w:abstractNumId=\"" + std::to_string(id) +
                  "\"><w:multiLevelType w:val=\"hybridMultilevel\"/>";
  for (int l = 0; l < 9; ++l) s += numbering_level(l, bullet);
  return s + "</w:abstractNum>";
}

std::string settings_xml() {
  return std::string(docx::kXmlDecl) + "<w:settings xmlns:w=\"" + std::string(docx::kNsW) +
         "\"><w:zoom w:percent=\"100\"/><w:defaultTabStop w:val=\"720\"/>"
         "<w:characterSpacingControl w:val=\"doNotCompress\"/><w:compat><w:compatSetting "
         "w:name=\"compatibilityMode\" w:uri=\"http://schemas.microsoft.com/office/word\" "
         "w:val=\"15\"/></w:compat></w:settings>";
}

std::string font_table_xml() {
  // altName lets Word on Windows fall back to its own Hangul font when Noto is missing.
  return std::string(docx::kXmlDecl) + "<w:fonts xmlns:w=\"" + std::string(docx::kNsW) +
         "\"><w:font w:name=\"Calibri\"><w:charset w:val=\"00\"/><w:family w:val=\"swiss\"/>"
         "<w:pitch w:val=\"variable\"/></w:font><w:font w:name=\"" +
         std::string(kHangulFont) +
         "\"><w:altName w:val=\"Malgun Gothic\"/><w:charset w:val=\"81\"/><w:family "
         "w:val=\"swiss\"/><w:pitch w:val=\"variable\"/></w:font><w:font w:name=\"Consolas\">"
         "<w:charset w:val=\"00\"/><w:family w:val=\"modern\"/><w:pitch w:val=\"fixed\"/>"
         "</w:font></w:fonts>";
}

std::string footer_xml() {
  return std::string(docx::kXmlDecl) + "<w:ftr" + std::string(docx::kBodyNamespaces) +
         "><w:p><w:pPr><w:pStyle w:val=\"Footer\"/></w:pPr><w:r><w:fldChar "
         "w:fldCharType=\"begin\"/></w:r><w:r><w:instrText xml:space=\"preserve\"> PAGE "
         "</w:instrText></w:r><w:r><w:fldChar w:fldCharType=\"separate\"/></w:r><w:r><w:t>1"
         "</w:t></w:r><w:r><w:fldChar w:fldCharType=\"end\"/></w:r></w:p></w:ftr>";
}

std::string now_w3c() {
  std::time_t t = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

std::string core_xml(const std::string& title) {
  std::string now = now_w3c();
  return std::string(docx::kXmlDecl) +
         "<cp:coreProperties "
         "xmlns:cp=\"http://schemas.openxmlformats.org/package/2006/metadata/core-properties\" "
         "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
         "xmlns:dcterms=\"http://purl.org/dc/terms/\" "
         "xmlns:dcmitype=\"http://purl.org/dc/dcmitype/\" "
         "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><dc:title>" +
         xml_escape(title) +
         "</dc:title><dc:creator>norvex</dc:creator><cp:lastModifiedBy>norvex</cp:lastModifiedBy>"
         "<dcterms:created xsi:type=\"dcterms:W3CDTF\">" +
         now + "</dcterms:created><dcterms:modified xsi:type=\"dcterms:W3CDTF\">" + now +
         "</dcterms:modified></cp:coreProperties>";
}

std::string app_xml() {
  return std::string(docx::kXmlDecl) +
         "<Properties xmlns=\"http://schemas.openxmlformats.org/officeDocument/2006/"
         "extended-properties\"><Application>norvex</Application></Properties>";
}

// Link targets that are safe to open from a document.
// Word refuses a document whose link targets are not valid URIs (a blank, a raw Hangul
// byte): such characters are percent-encoded, existing escapes are left alone.
std::string uri_escape(std::string_view url) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (char ch : url) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c >= 0x7F ||
        std::string_view("\"<>\\^`{|}").find(ch) != std::string_view::npos) {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

bool safe_url(std::string_view url) {
  std::string lower;
  for (char c : url.substr(0, 8))
    lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower.starts_with("http://") || lower.starts_with("https://") ||
         lower.starts_with("mailto:") || lower.starts_with("ftp://");
}

struct RunFormat {
  bool bold = false, italic = false, strike = false, code = false, underline = false;
  bool link = false;
  int vert = 0;  // 1 superscript, -1 subscript
};

struct Paragraph {
  std::string style;
  int num_id = 0, ilvl = 0;
  int indent_left = -1;  // twips, -1 for the style's own
  std::string jc;
};

Paragraph styled(std::string style) {
  Paragraph p;
  p.style = std::move(style);
  return p;
}

std::string ppr(const Paragraph& p) {
  std::string s;
  if (!p.style.empty()) s += "<w:pStyle w:val=\"" + p.style + "\"/>";
  if (p.num_id > 0)
    s += "<w:numPr><w:ilvl w:val=\"" + std::to_string(p.ilvl) + "\"/><w:numId w:val=\"" +
         std::to_string(p.num_id) + "\"/></w:numPr>";
  if (p.indent_left >= 0) s += "<w:ind w:left=\"" + std::to_string(p.indent_left) + "\"/>";
  if (!p.jc.empty()) s += "<w:jc w:val=\"" + p.jc + "\"/>";
  return s.empty() ? s : "<w:pPr>" + s + "</w:pPr>";
}

struct NodeFree {
  void operator()(cmark_node* n) const { cmark_node_free(n); }
};
struct ParserFree {
  void operator()(cmark_parser* p) const { cmark_parser_free(p); }
};

std::string type_of(cmark_node* n) {
  const char* t = cmark_node_get_type_string(n);
  return t ? t : "";
}

std::string literal(cmark_node* n) {
  const char* s = cmark_node_get_literal(n);
  return s ? s : "";
}

// The plain text of a subtree (for table column widths and alt texts).
std::string plain_text(cmark_node* n) {
  std::string out = literal(n);
  for (cmark_node* c = cmark_node_first_child(n); c; c = cmark_node_next(c)) out += plain_text(c);
  return out;
}

std::string decode_entities(const std::string& s) {
  static const std::pair<std::string_view, std::string_view> entities[] = {
      {"&amp;", "&"}, {"&lt;", "<"},   {"&gt;", ">"},  {"&quot;", "\""},
      {"&#39;", "'"}, {"&apos;", "'"}, {"&nbsp;", " "}};
  std::string out;
  for (size_t i = 0; i < s.size();) {
    bool hit = false;
    if (s[i] == '&')
      for (auto& [from, to] : entities)
        if (s.compare(i, from.size(), from) == 0) {
          out += to;
          i += from.size();
          hit = true;
          break;
        }
    if (!hit) out += s[i++];
  }
  return out;
}

// Text lines of a raw HTML block: tags removed (script/style/comments with their content),
// block-ending tags and <br> as line ends. Raw HTML has no place in a Word document, but
// the words a model put inside it do.
std::vector<std::string> html_block_lines(const std::string& html) {
  std::string text;
  size_t i = 0;
  while (i < html.size()) {
    if (html.compare(i, 4, "<!--") == 0) {
      size_t e = html.find("-->", i + 4);
      i = e == std::string::npos ? html.size() : e + 3;
      continue;
    }
    if (html[i] != '<') {
      text += html[i++];
      continue;
    }
    size_t e = html.find('>', i);
    if (e == std::string::npos) break;  // a broken tag: drop the rest of it
    std::string tag = ascii_lower(html.substr(i + 1, e - i - 1));
    std::string name;
    for (char c : tag) {
      if (std::isalnum(static_cast<unsigned char>(c)) || (c == '/' && name.empty()))
        name += c;
      else if (!name.empty())
        break;
    }
    i = e + 1;
    if (name == "script" || name == "style") {
      size_t close = ascii_lower(html).find("</" + name, i);
      i = close == std::string::npos ? html.size() : html.find('>', close) + 1;
      if (i == 0) i = html.size();
      continue;
    }
    static const std::string_view breaking[] = {"br",  "/p",  "/div", "/li", "/tr", "/h1", "/h2",
                                                "/h3", "/h4", "/h5",  "/h6", "p",   "div", "li"};
    if (std::find(std::begin(breaking), std::end(breaking), name) != std::end(breaking))
      text += '\n';
    else if (name == "td" || name == "th")
      text += ' ';
  }
  std::vector<std::string> lines;
  std::string line;
  auto flush = [&] {
    std::string collapsed;
    for (char c : decode_entities(line)) {
      bool space = c == ' ' || c == '\t' || c == '\r';
      if (space && (collapsed.empty() || collapsed.back() == ' ')) continue;
      collapsed += space ? ' ' : c;
    }
    while (!collapsed.empty() && collapsed.back() == ' ') collapsed.pop_back();
    if (!collapsed.empty()) lines.push_back(collapsed);
    line.clear();
  };
  for (char c : text) {
    if (c == '\n')
      flush();
    else
      line += c;
  }
  flush();
  return lines;
}

struct Image {
  std::string bytes;
  ooxml::ImageInfo info;
  std::string caption;
};

class DocumentWriter {
 public:
  std::string body;

  std::string add_relationship(const std::string& type, const std::string& target, bool external) {
    std::string id = "rId" + std::to_string(next_rel_++);
    rels_ += "<Relationship Id=\"" + id + "\" Type=\"" + std::string(docx::kRelTypeBase) + type +
             "\" Target=\"" + xml_escape(target) + "\"" +
             (external ? " TargetMode=\"External\"" : "") + "/>";
    return id;
  }

  void title(const std::string& text) {
    if (text.empty()) return;
    body += "<w:p>" + ppr(styled("Title")) + run(text, {}) + "</w:p>";
  }

  // Several figures get at most about half a page each, so they sit two to a page.
  void image(const Image& img, int number, bool several) {
    std::string name = "image" + std::to_string(number) + "." + img.info.extension;
    media_.push_back({"word/media/" + name, img.bytes});
    std::string rid = add_relationship("image", "media/" + name, false);
    double w = img.info.width / img.info.dpi_x * 914400.0;
    double h = img.info.height / img.info.dpi_y * 914400.0;
    double max_height = several ? kMaxImageHeight * 4.0 / 7.0 : kMaxImageHeight;
    double scale = std::min({1.0, kMaxImageWidth / w, max_height / h});
    long long cx = std::max(1LL, std::llround(w * scale));
    long long cy = std::max(1LL, std::llround(h * scale));
    std::string id = std::to_string(++drawing_id_);
    std::string ext =
        "<wp:extent cx=\"" + std::to_string(cx) + "\" cy=\"" + std::to_string(cy) + "\"/>";
    std::string descr =
        xml_escape(img.caption.empty() ? "Figure " + std::to_string(number) : img.caption);
    body += "<w:p>" + ppr(styled("Figure")) +
            "<w:r><w:drawing><wp:inline distT=\"0\" distB=\"0\" distL=\"0\" distR=\"0\">" + ext +
            "<wp:effectExtent l=\"0\" t=\"0\" r=\"0\" b=\"0\"/><wp:docPr id=\"" + id +
            "\" name=\"Picture " + id + "\" descr=\"" + descr +
            "\"/><wp:cNvGraphicFramePr><a:graphicFrameLocks noChangeAspect=\"1\"/>"
            "</wp:cNvGraphicFramePr><a:graphic><a:graphicData "
            "uri=\"http://schemas.openxmlformats.org/drawingml/2006/picture\"><pic:pic>"
            "<pic:nvPicPr><pic:cNvPr id=\"0\" name=\"" +
            name + "\"/><pic:cNvPicPr/></pic:nvPicPr><pic:blipFill><a:blip r:embed=\"" + rid +
            "\"/><a:stretch><a:fillRect/></a:stretch></pic:blipFill><pic:spPr><a:xfrm>"
            "<a:off x=\"0\" y=\"0\"/><a:ext cx=\"" +
            std::to_string(cx) + "\" cy=\"" + std::to_string(cy) +
            "\"/></a:xfrm><a:prstGeom prst=\"rect\"><a:avLst/></a:prstGeom></pic:spPr>"
            "</pic:pic></a:graphicData></a:graphic></wp:inline></w:drawing></w:r></w:p>";
  }

  void caption(const std::string& text) {
    body += "<w:p>" + ppr(styled("Caption")) + run(text, {}) + "</w:p>";
  }

  void markdown(const std::string& text) {
    cmark_gfm_core_extensions_ensure_registered();
    std::unique_ptr<cmark_parser, ParserFree> parser(
        cmark_parser_new(CMARK_OPT_DEFAULT | CMARK_OPT_VALIDATE_UTF8));
    for (const char* name : {"table", "strikethrough", "autolink", "tasklist"})
      if (cmark_syntax_extension* ext = cmark_find_syntax_extension(name))
        cmark_parser_attach_syntax_extension(parser.get(), ext);
    cmark_parser_feed(parser.get(), text.data(), text.size());
    std::unique_ptr<cmark_node, NodeFree> root(cmark_parser_finish(parser.get()));
    if (!root) throw RuntimeError("cannot parse the explanation text");
    blocks(root.get(), {});
  }

  std::vector<ooxml::ZipEntry> package(const std::string& title) {
    std::string rels_core = "<Relationship Id=\"rId1\" Type=\"" + std::string(docx::kRelTypeBase) +
                            "styles\" Target=\"styles.xml\"/>"
                            "<Relationship Id=\"rId2\" Type=\"" +
                            std::string(docx::kRelTypeBase) +
                            "numbering\" Target=\"numbering.xml\"/>"
                            "<Relationship Id=\"rId3\" Type=\"" +
                            std::string(docx::kRelTypeBase) +
                            "settings\" Target=\"settings.xml\"/>"
                            "<Relationship Id=\"rId4\" Type=\"" +
                            std::string(docx::kRelTypeBase) +
                            "fontTable\" Target=\"fontTable.xml\"/>"
                            "<Relationship Id=\"rId5\" Type=\"" +
                            std::string(docx::kRelTypeBase) + "footer\" Target=\"footer1.xml\"/>";
    std::string document =
        std::string(docx::kXmlDecl) + "<w:document" + std::string(docx::kBodyNamespaces) +
        "><w:body>" + body +
        "<w:sectPr><w:footerReference w:type=\"default\" r:id=\"rId5\"/><w:pgSz w:w=\"" +
        std::to_string(kPageWidth) + "\" w:h=\"" + std::to_string(kPageHeight) +
        "\"/><w:pgMar w:top=\"" + std::to_string(kMargin) + "\" w:right=\"" +
        std::to_string(kMargin) + "\" w:bottom=\"" + std::to_string(kMargin) + "\" w:left=\"" +
        std::to_string(kMargin) +
        "\" w:header=\"708\" w:footer=\"708\" w:gutter=\"0\"/><w:cols w:space=\"708\"/>"
        "<w:docGrid w:linePitch=\"360\"/></w:sectPr></w:body></w:document>";
    std::string numbering = std::string(docx::kXmlDecl) + "<w:numbering xmlns:w=\"" +
                            std::string(docx::kNsW) + "\">" +
                            abstract_numbering(kBulletAbstract, true) +
                            abstract_numbering(kNumberAbstract, false) + nums_ + "</w:numbering>";
    std::string base(docx::kRelTypeBase);
    std::string ct = "application/vnd.openxmlformats-officedocument.wordprocessingml.";
    std::string overrides =
        "<Override PartName=\"/word/document.xml\" ContentType=\"" +
        std::string(docx::kMainContentType) +
        "\"/>"
        "<Override PartName=\"/word/styles.xml\" ContentType=\"" +
        ct + "styles+xml\"/><Override PartName=\"/word/numbering.xml\" ContentType=\"" + ct +
        "numbering+xml\"/><Override PartName=\"/word/settings.xml\" ContentType=\"" + ct +
        "settings+xml\"/><Override PartName=\"/word/fontTable.xml\" ContentType=\"" + ct +
        "fontTable+xml\"/><Override PartName=\"/word/footer1.xml\" ContentType=\"" + ct +
        "footer+xml\"/><Override PartName=\"/docProps/core.xml\" "
        "ContentType=\"application/vnd.openxmlformats-package.core-properties+xml\"/>"
        "<Override PartName=\"/docProps/app.xml\" "
        "ContentType=\"application/vnd.openxmlformats-officedocument.extended-properties+xml\"/>";
    std::string package_rels =
        std::string(docx::kXmlDecl) +
        "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
        "<Relationship Id=\"rId1\" Type=\"" +
        base +
        "officeDocument\" Target=\"word/document.xml\"/><Relationship Id=\"rId2\" "
        "Type=\"http://schemas.openxmlformats.org/package/2006/relationships/metadata/"
        "core-properties\" Target=\"docProps/core.xml\"/><Relationship Id=\"rId3\" Type=\"" +
        base + "extended-properties\" Target=\"docProps/app.xml\"/></Relationships>";
    std::vector<ooxml::ZipEntry> parts{
        {"[Content_Types].xml", docx::content_types(overrides)},
        {"_rels/.rels", package_rels},
        {"docProps/core.xml", core_xml(title)},
        {"docProps/app.xml", app_xml()},
        {"word/document.xml", document},
        {"word/_rels/document.xml.rels",
         std::string(docx::kXmlDecl) +
             "<Relationships "
             "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">" +
             rels_core + rels_ + "</Relationships>"},
        {"word/styles.xml", styles_xml()},
        {"word/numbering.xml", numbering},
        {"word/settings.xml", settings_xml()},
        {"word/fontTable.xml", font_table_xml()},
        {"word/footer1.xml", footer_xml()},
    };
    for (auto& m : media_) parts.push_back(m);
    return parts;
  }

 private:
  struct Context {
    int depth = -1;  // list nesting, -1 outside lists
    int num_id = 0;  // numbering instance of the innermost list
    bool ordered = false;
    bool first_in_item = false;
    bool quote = false;
  };

  std::string rels_;
  int next_rel_ = 10;  // rId1..rId9 are the fixed parts
  std::vector<ooxml::ZipEntry> media_;
  std::string nums_;
  int next_num_ = 1;
  int drawing_id_ = 0;

  int new_list(bool ordered, int ilvl, int start) {
    int id = next_num_++;
    nums_ += "<w:num w:numId=\"" + std::to_string(id) + "\"><w:abstractNumId w:val=\"" +
             std::to_string(ordered ? kNumberAbstract : kBulletAbstract) + "\"/>";
    if (ordered)
      nums_ += "<w:lvlOverride w:ilvl=\"" + std::to_string(ilvl) + "\"><w:startOverride w:val=\"" +
               std::to_string(std::max(0, start)) + "\"/></w:lvlOverride>";
    nums_ += "</w:num>";
    return id;
  }

  static std::string rpr(const RunFormat& f) {
    std::string s;
    if (f.link)
      s += "<w:rStyle w:val=\"Hyperlink\"/>";
    else if (f.code)
      s += "<w:rStyle w:val=\"CodeChar\"/>";
    if (f.bold) s += "<w:b/><w:bCs/>";
    if (f.italic) s += "<w:i/><w:iCs/>";
    if (f.strike) s += "<w:strike/>";
    if (f.underline && !f.link) s += "<w:u w:val=\"single\"/>";
    if (f.vert)
      s += std::string("<w:vertAlign w:val=\"") + (f.vert > 0 ? "superscript" : "subscript") +
           "\"/>";
    return s.empty() ? s : "<w:rPr>" + s + "</w:rPr>";
  }

  // Runs for text: tabs and line ends become Word's own elements.
  static std::string run(const std::string& text, const RunFormat& f) {
    std::string out = "<w:r>" + rpr(f);
    std::string chunk;
    auto flush = [&] {
      if (!chunk.empty()) out += "<w:t xml:space=\"preserve\">" + xml_escape(chunk) + "</w:t>";
      chunk.clear();
    };
    for (char c : text) {
      if (c == '\t') {
        flush();
        out += "<w:tab/>";
      } else if (c == '\n') {
        flush();
        out += "<w:br/>";
      } else if (c != '\r') {
        chunk += c;
      }
    }
    flush();
    return out + "</w:r>";
  }

  void html_inline(const std::string& raw, RunFormat& f, std::string& out) {
    std::string tag = ascii_lower(raw);
    bool closing = tag.size() > 1 && tag[1] == '/';
    std::string name;
    for (size_t i = closing ? 2 : 1;
         i < tag.size() && std::isalnum(static_cast<unsigned char>(tag[i])); ++i)
      name += tag[i];
    bool on = !closing;
    if (name == "br")
      out += "<w:r><w:br/></w:r>";
    else if (name == "b" || name == "strong")
      f.bold = on;
    else if (name == "i" || name == "em")
      f.italic = on;
    else if (name == "u" || name == "ins")
      f.underline = on;
    else if (name == "s" || name == "del" || name == "strike")
      f.strike = on;
    else if (name == "sup")
      f.vert = on ? 1 : 0;
    else if (name == "sub")
      f.vert = on ? -1 : 0;
    // Any other tag is dropped; its text (a separate node) stays.
  }

  void inlines(cmark_node* parent, RunFormat base, std::string& out) {
    RunFormat f = base;
    for (cmark_node* n = cmark_node_first_child(parent); n; n = cmark_node_next(n)) {
      cmark_node_type t = cmark_node_get_type(n);
      std::string ts = type_of(n);
      if (t == CMARK_NODE_TEXT) {
        out += run(literal(n), f);
      } else if (t == CMARK_NODE_SOFTBREAK) {
        out += run(" ", f);
      } else if (t == CMARK_NODE_LINEBREAK) {
        out += "<w:r><w:br/></w:r>";
      } else if (t == CMARK_NODE_CODE) {
        RunFormat c = f;
        c.code = true;
        out += run(literal(n), c);
      } else if (t == CMARK_NODE_HTML_INLINE) {
        html_inline(literal(n), f, out);
      } else if (t == CMARK_NODE_EMPH) {
        RunFormat c = f;
        c.italic = true;
        inlines(n, c, out);
      } else if (t == CMARK_NODE_STRONG) {
        RunFormat c = f;
        c.bold = true;
        inlines(n, c, out);
      } else if (ts == "strikethrough") {
        RunFormat c = f;
        c.strike = true;
        inlines(n, c, out);
      } else if (t == CMARK_NODE_LINK) {
        const char* url = cmark_node_get_url(n);
        if (!f.link && url && safe_url(url)) {
          std::string rid = add_relationship("hyperlink", uri_escape(url), true);
          out += "<w:hyperlink r:id=\"" + rid + "\" w:history=\"1\">";
          RunFormat c = f;
          c.link = true;
          inlines(n, c, out);
          out += "</w:hyperlink>";
        } else {
          inlines(n, f, out);  // the words stay, the unsafe or nested target does not
        }
      } else if (t == CMARK_NODE_IMAGE) {
        // Pictures referenced by address are not fetched; their description is kept.
        std::string alt = plain_text(n);
        RunFormat c = f;
        c.italic = true;
        out += run("[" + (alt.empty() ? std::string("image") : alt) + "]", c);
      } else {
        inlines(n, f, out);
      }
    }
  }

  void paragraph(cmark_node* n, Paragraph p, RunFormat f = {}) {
    std::string runs;
    inlines(n, f, runs);
    body += "<w:p>" + ppr(p) + runs + "</w:p>";
  }

  // Style and numbering for a paragraph at this place of the tree.
  Paragraph placed(Context& ctx) {
    Paragraph p;
    if (ctx.depth >= 0) {
      if (ctx.first_in_item) {
        p.style = ctx.ordered ? "ListNumber" : "ListBullet";
        p.num_id = ctx.num_id;
        p.ilvl = std::min(ctx.depth, 8);
        ctx.first_in_item = false;
      } else {
        p.style = "ListContinue";
        p.indent_left = 360 * (std::min(ctx.depth, 8) + 2);
      }
    } else if (ctx.quote) {
      p.style = "Quote";
    }
    return p;
  }

  void blocks(cmark_node* parent, Context ctx) {
    for (cmark_node* n = cmark_node_first_child(parent); n; n = cmark_node_next(n)) block(n, ctx);
  }

  void block(cmark_node* n, Context& ctx) {
    cmark_node_type t = cmark_node_get_type(n);
    std::string ts = type_of(n);
    if (t == CMARK_NODE_PARAGRAPH) {
      paragraph(n, placed(ctx));
    } else if (t == CMARK_NODE_HEADING) {
      int level = std::clamp(cmark_node_get_heading_level(n), 1, 4);
      paragraph(n, styled("Heading" + std::to_string(level)));
      ctx.first_in_item = false;
    } else if (t == CMARK_NODE_LIST) {
      bool ordered = cmark_node_get_list_type(n) == CMARK_ORDERED_LIST;
      Context inner = ctx;
      inner.depth = ctx.depth + 1;
      inner.ordered = ordered;
      inner.num_id = new_list(ordered, std::min(inner.depth, 8), cmark_node_get_list_start(n));
      for (cmark_node* item = cmark_node_first_child(n); item; item = cmark_node_next(item)) {
        Context in_item = inner;
        in_item.first_in_item = true;
        if (ts == "list" && type_of(item) == "tasklist") {
          // A task item reads as a check box in front of its text.
          bool done = cmark_gfm_extensions_get_tasklist_item_checked(item);
          cmark_node* first = cmark_node_first_child(item);
          if (first && cmark_node_get_type(first) == CMARK_NODE_PARAGRAPH) {
            Paragraph p = placed(in_item);
            std::string runs = run(done ? "\xE2\x98\x91 " : "\xE2\x98\x90 ", {});
            inlines(first, {}, runs);
            body += "<w:p>" + ppr(p) + runs + "</w:p>";
            for (cmark_node* c = cmark_node_next(first); c; c = cmark_node_next(c))
              block(c, in_item);
            continue;
          }
        }
        for (cmark_node* c = cmark_node_first_child(item); c; c = cmark_node_next(c))
          block(c, in_item);
        if (in_item.first_in_item) {  // an empty item still shows its bullet
          body += "<w:p>" + ppr(placed(in_item)) + "</w:p>";
        }
      }
      ctx.first_in_item = false;
    } else if (t == CMARK_NODE_BLOCK_QUOTE) {
      Context inner = ctx;
      inner.quote = true;
      blocks(n, inner);
      ctx.first_in_item = false;
    } else if (t == CMARK_NODE_CODE_BLOCK) {
      std::string code = literal(n);
      while (!code.empty() && code.back() == '\n') code.pop_back();
      Paragraph p = styled("CodeBlock");
      if (ctx.depth >= 0) p.indent_left = 360 * (std::min(ctx.depth, 8) + 2);
      body += "<w:p>" + ppr(p) + run(code, {}) + "</w:p>";
      ctx.first_in_item = false;
    } else if (t == CMARK_NODE_HTML_BLOCK) {
      for (const auto& line : html_block_lines(literal(n)))
        body += "<w:p>" + ppr(placed(ctx)) + run(line, {}) + "</w:p>";
    } else if (t == CMARK_NODE_THEMATIC_BREAK) {
      body +=
          "<w:p><w:pPr><w:pBdr><w:bottom w:val=\"single\" w:sz=\"6\" w:space=\"1\" "
          "w:color=\"A6A6A6\"/></w:pBdr></w:pPr></w:p>";
    } else if (ts == "table") {
      table(n);
      ctx.first_in_item = false;
    } else {
      blocks(n, ctx);  // footnote definitions, custom blocks: their content
    }
  }

  void table(cmark_node* n) {
    std::vector<cmark_node*> rows;
    for (cmark_node* r = cmark_node_first_child(n); r; r = cmark_node_next(r)) rows.push_back(r);
    size_t ncols = cmark_gfm_extensions_get_table_columns(n);
    for (cmark_node* r : rows) {
      size_t cells = 0;
      for (cmark_node* c = cmark_node_first_child(r); c; c = cmark_node_next(c)) ++cells;
      ncols = std::max(ncols, cells);
    }
    if (rows.empty() || ncols == 0) return;
    const uint8_t* align = cmark_gfm_extensions_get_table_alignments(n);
    size_t declared = cmark_gfm_extensions_get_table_columns(n);

    // Column widths follow the longest text of each column, within reason.
    std::vector<double> weight(ncols, 3);
    for (cmark_node* r : rows) {
      size_t i = 0;
      for (cmark_node* c = cmark_node_first_child(r); c; c = cmark_node_next(c), ++i)
        weight[i] = std::max(weight[i], std::min<double>(40, ooxml::utf16_length(plain_text(c))));
    }
    double total = 0;
    for (double w : weight) total += w;
    std::vector<int> width(ncols);
    for (size_t i = 0; i < ncols; ++i) width[i] = static_cast<int>(kTextWidth * weight[i] / total);

    // A little air between the table and a list or text right above it.
    body +=
        "<w:p><w:pPr><w:spacing w:after=\"0\" w:line=\"120\" w:lineRule=\"exact\"/></w:pPr></w:p>";
    body +=
        "<w:tbl><w:tblPr><w:tblStyle w:val=\"TableGrid\"/><w:tblW w:w=\"5000\" "
        "w:type=\"pct\"/><w:tblLayout w:type=\"fixed\"/><w:tblLook w:val=\"04A0\" "
        "w:firstRow=\"1\" w:lastRow=\"0\" w:firstColumn=\"0\" w:lastColumn=\"0\" "
        "w:noHBand=\"0\" w:noVBand=\"1\"/></w:tblPr><w:tblGrid>";
    for (int w : width) body += "<w:gridCol w:w=\"" + std::to_string(w) + "\"/>";
    body += "</w:tblGrid>";
    for (cmark_node* r : rows) {
      bool header = cmark_gfm_extensions_get_table_row_is_header(r);
      body += "<w:tr>";
      if (header) body += "<w:trPr><w:tblHeader/></w:trPr>";
      cmark_node* c = cmark_node_first_child(r);
      for (size_t i = 0; i < ncols; ++i) {
        std::string jc;
        char a = align && i < declared ? static_cast<char>(align[i]) : 0;
        if (a == 'c') jc = "center";
        if (a == 'r') jc = "right";
        body += "<w:tc><w:tcPr><w:tcW w:w=\"" + std::to_string(width[i]) + "\" w:type=\"dxa\"/>";
        if (header) body += "<w:shd w:val=\"clear\" w:color=\"auto\" w:fill=\"DCE6F1\"/>";
        body += "</w:tcPr><w:p>" + ppr({"TableText", 0, 0, -1, jc});
        if (c) {
          RunFormat f;
          f.bold = header;
          std::string runs;
          inlines(c, f, runs);
          body += runs;
          c = cmark_node_next(c);
        }
        body += "</w:p></w:tc>";
      }
      body += "</w:tr>";
    }
    // Word needs a paragraph between a table and whatever follows.
    body += "</w:tbl><w:p><w:pPr><w:spacing w:after=\"0\"/></w:pPr></w:p>";
  }
};

// The images of a payload, in order; broken ones are reported and left out.
std::vector<Image> collect_images(const json& img_b64, std::vector<std::string>* left_out) {
  std::vector<std::pair<std::string, const json*>> items;
  if (img_b64.is_string()) {
    items.push_back({"", &img_b64});
  } else if (img_b64.is_array()) {
    for (auto& v : img_b64) items.push_back({"", &v});
  } else if (img_b64.is_object()) {
    for (auto it = img_b64.begin(); it != img_b64.end(); ++it) items.push_back({it.key(), &*it});
  } else if (!img_b64.is_null()) {
    throw TypeError("img_b64 must be a base64 image, a list or a mapping of them, not " +
                    std::string(img_b64.type_name()));
  }
  std::vector<Image> out;
  for (size_t i = 0; i < items.size(); ++i) {
    const json& v = *items[i].second;
    if (v.is_null()) continue;
    std::string which = items[i].first.empty() ? "Image " + std::to_string(i + 1)
                                               : "Image '" + items[i].first + "'";
    auto warn = [&](const std::string& why) {
      if (left_out) left_out->push_back(which + " was left out of the document: " + why);
    };
    if (!v.is_string()) {
      warn("it is not base64 text");
      continue;
    }
    std::string bytes;
    try {
      bytes = base64_decode(strip_data_url(v.get<std::string>()));
    } catch (const std::exception&) {
      warn("it is not valid base64");
      continue;
    }
    auto info = ooxml::probe_image(bytes);
    if (!info) {
      warn("it is not a PNG, JPEG or GIF image");
      continue;
    }
    out.push_back({std::move(bytes), *info, items[i].first});
  }
  return out;
}

}  // namespace

std::string create_doc_with_style(const json& explanation_text, const json& img_b64,
                                  const std::string& title, std::vector<std::string>* left_out) {
  if (!explanation_text.is_string() && !explanation_text.is_null())
    throw TypeError("explanation_text must be text or null, not " +
                    std::string(explanation_text.type_name()));
  std::vector<Image> images = collect_images(img_b64, left_out);

  DocumentWriter w;
  w.title(title);
  bool captions = images.size() > 1 || img_b64.is_object();
  for (size_t i = 0; i < images.size(); ++i) {
    w.image(images[i], static_cast<int>(i + 1), images.size() > 1);
    if (captions) {
      std::string text = "Figure " + std::to_string(i + 1);
      if (!images[i].caption.empty()) text += ". " + images[i].caption;
      w.caption(text);
    }
  }
  if (explanation_text.is_string()) w.markdown(explanation_text.get<std::string>());
  if (w.body.empty()) w.body = "<w:p/>";  // Word wants at least one paragraph
  return ooxml::zip_write(w.package(title));
}

}  // namespace norvex
