// Several Word documents as one: the first document's package is the base (styles,
// settings, page setup, footer); the bodies of the others are appended with their
// images, links and list numbering renamed so nothing collides.
#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <set>

#include "norvex/common/errors.hpp"
#include "norvex/documents/documents.hpp"
#include "norvex/documents/docx_parts.hpp"
#include "norvex/documents/ooxml.hpp"

namespace norvex {

namespace {

struct Relationship {
  std::string id, type, target, mode;  // values as written (XML-escaped)
};

std::string attribute(const std::string& element, const std::string& name) {
  std::string key = " " + name + "=\"";
  size_t p = element.find(key);
  if (p == std::string::npos) return "";
  p += key.size();
  size_t e = element.find('"', p);
  return e == std::string::npos ? "" : element.substr(p, e - p);
}

// Every element starting with `open` up to its end (`close`, or "/>" for an empty one).
std::vector<std::string> elements(const std::string& xml, const std::string& open,
                                  const std::string& close) {
  std::vector<std::string> out;
  size_t p = 0;
  while ((p = xml.find(open, p)) != std::string::npos) {
    size_t tag_end = xml.find('>', p);
    if (tag_end == std::string::npos) break;
    size_t end;
    if (xml[tag_end - 1] == '/') {
      end = tag_end + 1;
    } else {
      end = xml.find(close, tag_end);
      if (end == std::string::npos) break;
      end += close.size();
    }
    out.push_back(xml.substr(p, end - p));
    p = end;
  }
  return out;
}

std::vector<Relationship> relationships(const std::string& rels_xml) {
  std::vector<Relationship> out;
  for (const auto& e : elements(rels_xml, "<Relationship ", "</Relationship>"))
    out.push_back({attribute(e, "Id"), attribute(e, "Type"), attribute(e, "Target"),
                   attribute(e, "TargetMode")});
  return out;
}

// Rewrites the value of every `marker` attribute (e.g. ` r:embed="`) through `fn`.
std::string rewrite_values(const std::string& xml, const std::string& marker,
                           const std::function<std::string(const std::string&)>& fn) {
  std::string out;
  out.reserve(xml.size());
  size_t p = 0;
  for (;;) {
    size_t m = xml.find(marker, p);
    if (m == std::string::npos) break;
    size_t v = m + marker.size();
    size_t e = xml.find('"', v);
    if (e == std::string::npos) break;
    out.append(xml, p, v - p);
    out += fn(xml.substr(v, e - v));
    p = e;
  }
  out.append(xml, p, std::string::npos);
  return out;
}

int to_int(const std::string& s) {
  try {
    return std::stoi(s);
  } catch (const std::exception&) {
    return 0;
  }
}

struct Body {
  std::string content;  // block elements
  std::string sect;     // the final section properties
};

Body split_body(const std::string& document, const std::string& which) {
  size_t open = document.find("<w:body>");
  size_t close = document.rfind("</w:body>");
  if (open == std::string::npos || close == std::string::npos || close < open)
    throw ValueError(which + " is not a Word document: its main part has no body");
  std::string inner = document.substr(open + 8, close - open - 8);
  Body b;
  size_t sect = inner.rfind("<w:sectPr");
  if (sect != std::string::npos && inner.find("</w:p>", sect) == std::string::npos &&
      inner.find("</w:tbl>", sect) == std::string::npos) {
    b.content = inner.substr(0, sect);
    b.sect = inner.substr(sect);
  } else {
    b.content = inner;
  }
  return b;
}

// Starts the body on a new page: a page-break run at the head of its first paragraph,
// or a paragraph of its own when it starts with something else.
std::string with_page_break(const std::string& content) {
  std::string br(docx::kPageBreakRun);
  if (content.starts_with("<w:p/>")) return "<w:p>" + br + "</w:p>" + content.substr(6);
  if (content.starts_with("<w:p>") || content.starts_with("<w:p ")) {
    size_t tag_end = content.find('>');
    size_t insert = tag_end + 1;
    if (content.compare(insert, 8, "<w:pPr/>") == 0) {
      insert += 8;
    } else if (content.compare(insert, 7, "<w:pPr>") == 0) {
      size_t e = content.find("</w:pPr>", insert);
      if (e != std::string::npos) insert = e + 8;
    }
    return content.substr(0, insert) + br + content.substr(insert);
  }
  return "<w:p>" + br + "</w:p>" + content;
}

class Package {
 public:
  explicit Package(std::vector<ooxml::ZipEntry> entries) : entries_(std::move(entries)) {}

  const std::string* find(const std::string& name) const {
    for (auto& e : entries_)
      if (e.name == name) return &e.data;
    return nullptr;
  }
  std::string* find(const std::string& name) {
    for (auto& e : entries_)
      if (e.name == name) return &e.data;
    return nullptr;
  }
  void put(const std::string& name, std::string data) {
    if (std::string* d = find(name))
      *d = std::move(data);
    else
      entries_.push_back({name, std::move(data)});
  }
  bool has(const std::string& name) const { return find(name) != nullptr; }
  std::vector<ooxml::ZipEntry>& entries() { return entries_; }

 private:
  std::vector<ooxml::ZipEntry> entries_;
};

Package open_package(const std::string& bytes, const std::string& which) {
  std::vector<ooxml::ZipEntry> entries;
  try {
    entries = ooxml::zip_read(bytes);
  } catch (const ValueError& e) {
    throw ValueError(which + " is not a Word document: " + e.what());
  }
  Package p(std::move(entries));
  if (!p.has("word/document.xml") || !p.has("[Content_Types].xml"))
    throw ValueError(which + " is not a Word document: it has no word/document.xml");
  return p;
}

struct Numbering {
  std::string head;  // the opening tag and anything before the first abstract numbering
  std::vector<std::string> abstracts, nums;
  int max_abstract = 0, max_num = 0;

  void add(const std::string& xml, int abstract_offset, int num_offset) {
    for (auto e : elements(xml, "<w:abstractNum ", "</w:abstractNum>")) {
      int id = to_int(attribute(e, "w:abstractNumId")) + abstract_offset;
      e = rewrite_values(e, " w:abstractNumId=\"",
                         [&](const std::string&) { return std::to_string(id); });
      max_abstract = std::max(max_abstract, id);
      abstracts.push_back(e);
    }
    for (auto e : elements(xml, "<w:num ", "</w:num>")) {
      int id = to_int(attribute(e, "w:numId")) + num_offset;
      e = rewrite_values(e, " w:numId=\"", [&](const std::string&) { return std::to_string(id); });
      e = rewrite_values(e, "<w:abstractNumId w:val=\"", [&](const std::string& v) {
        return std::to_string(to_int(v) + abstract_offset);
      });
      max_num = std::max(max_num, id);
      nums.push_back(e);
    }
  }
  std::string xml() const {
    std::string s = head;
    for (auto& a : abstracts) s += a;
    for (auto& n : nums) s += n;
    return s + "</w:numbering>";
  }
};

std::string extension_of(const std::string& target) {
  size_t dot = target.rfind('.');
  return dot == std::string::npos ? "bin" : target.substr(dot + 1);
}

// The base document, into which the other documents' bodies, images, links, lists and
// styles are merged one by one.
class Merger {
 public:
  Merger(Package base, const std::string& which_base)
      : base_(std::move(base)), which_base_(which_base) {
    merged_ = split_body(*base_.find("word/document.xml"), which_base_);
    rels_ = base_.has(kRelsName) ? *base_.find(kRelsName)
                                 : std::string(docx::kXmlDecl) +
                                       "<Relationships xmlns=\"http://schemas.openxmlformats.org/"
                                       "package/2006/relationships\"></Relationships>";
    start_numbering();
    // A copy: adding media below may move the package's entries.
    if (const std::string* s = base_.find("word/styles.xml")) styles_ = *s;
    if (styles_)
      for (auto& e : elements(*styles_, "<w:style ", "</w:style>"))
        style_ids_.insert(attribute(e, "w:styleId"));
    for (auto& e : base_.entries()) names_.insert(e.name);
  }

  void append(const Package& part, const std::string& which, bool add_page_break) {
    Body body = split_body(*part.find("word/document.xml"), which);
    std::string content = take_relationships(part, body.content);
    content = take_numbering(part, std::move(content));
    take_styles(part);
    merged_.content += add_page_break ? with_page_break(content) : content;
  }

  std::string finish() {
    // Drawing ids must be unique in the whole document.
    int drawing = 0;
    merged_.content = rewrite_values(merged_.content, "<wp:docPr id=\"",
                                     [&](const std::string&) { return std::to_string(++drawing); });
    if (styles_) base_.put("word/styles.xml", *styles_);
    std::string document = *base_.find("word/document.xml");
    size_t open = document.find("<w:body>"), close = document.rfind("</w:body>");
    base_.put("word/document.xml", document.substr(0, open + 8) + merged_.content + merged_.sect +
                                       document.substr(close));
    write_numbering();
    size_t rels_end = rels_.rfind("</Relationships>");
    if (rels_end == std::string::npos) throw ValueError(which_base_ + " has damaged relationships");
    rels_.insert(rels_end, new_rels_);
    base_.put(kRelsName, rels_);
    add_media_content_types();
    return ooxml::zip_write(base_.entries());
  }

 private:
  static constexpr const char* kRelsName = "word/_rels/document.xml.rels";

  void start_numbering() {
    had_numbering_ = base_.has("word/numbering.xml");
    if (had_numbering_) {
      const std::string& xml = *base_.find("word/numbering.xml");
      size_t first = xml.find("<w:abstractNum ");
      size_t num = xml.find("<w:num ");
      size_t cut = std::min({first, num, xml.rfind("</w:numbering>")});
      numbering_.head = xml.substr(0, cut);
      numbering_.add(xml, 0, 0);
    } else {
      numbering_.head =
          std::string(docx::kXmlDecl) + "<w:numbering xmlns:w=\"" + std::string(docx::kNsW) + "\">";
    }
  }

  std::string fresh_media_name(const std::string& ext) {
    std::string name;
    do {
      name = "word/media/image" + std::to_string(++media_counter_) + "." + ext;
    } while (names_.count(name));
    names_.insert(name);
    return name;
  }

  // Images and links get new relationship ids (and images new part names); returns the
  // part's content with its references renamed.
  std::string take_relationships(const Package& part, const std::string& content) {
    std::map<std::string, std::string> renamed;
    const std::string* part_rels = part.find(kRelsName);
    for (const auto& r : part_rels ? relationships(*part_rels) : std::vector<Relationship>{}) {
      bool image = r.type.ends_with("/image"), link = r.type.ends_with("/hyperlink");
      if (!image && !link) continue;  // styles, numbering, footers: the base's serve
      std::string id = "rIdm" + std::to_string(next_rel_++);
      std::string target = r.target;
      if (image && r.mode != "External") {
        const std::string* bytes = part.find("word/" + r.target);
        if (!bytes) continue;  // a dangling image reference; the picture is lost either way
        std::string name = fresh_media_name(extension_of(r.target));
        base_.put(name, *bytes);
        target = name.substr(5);  // relative to word/
      }
      new_rels_ += "<Relationship Id=\"" + id + "\" Type=\"" + r.type + "\" Target=\"" + target +
                   "\"" + (r.mode.empty() ? "" : " TargetMode=\"" + r.mode + "\"") + "/>";
      renamed[r.id] = id;
    }
    auto rename = [&](const std::string& v) {
      auto it = renamed.find(v);
      return it == renamed.end() ? v : it->second;
    };
    std::string out = content;
    for (const char* marker : {" r:id=\"", " r:embed=\"", " r:link=\""})
      out = rewrite_values(out, marker, rename);
    return out;
  }

  // List numbering: the part's instances follow the ones already there.
  std::string take_numbering(const Package& part, std::string content) {
    const std::string* num_xml = part.find("word/numbering.xml");
    if (!num_xml) return content;
    int a_off = numbering_.max_abstract, n_off = numbering_.max_num;
    numbering_.add(*num_xml, a_off, n_off);
    return rewrite_values(content, "<w:numId w:val=\"", [&](const std::string& v) {
      int n = to_int(v);
      return std::to_string(n == 0 ? 0 : n + n_off);
    });
  }

  // Styles the base lacks come along.
  void take_styles(const Package& part) {
    const std::string* part_styles = part.find("word/styles.xml");
    if (!part_styles || !styles_) return;
    std::string extra;
    for (auto& e : elements(*part_styles, "<w:style ", "</w:style>")) {
      std::string id = attribute(e, "w:styleId");
      if (style_ids_.insert(id).second) extra += e;
    }
    size_t end = styles_->rfind("</w:styles>");
    if (!extra.empty() && end != std::string::npos) styles_->insert(end, extra);
  }

  void write_numbering() {
    if (numbering_.nums.empty() && !had_numbering_) return;
    base_.put("word/numbering.xml", numbering_.xml());
    if (had_numbering_) return;
    new_rels_ += "<Relationship Id=\"rIdm" + std::to_string(next_rel_++) + "\" Type=\"" +
                 std::string(docx::kRelTypeBase) + "numbering\" Target=\"numbering.xml\"/>";
    std::string& types = *base_.find("[Content_Types].xml");
    size_t end = types.rfind("</Types>");
    if (end != std::string::npos)
      types.insert(end, "<Override PartName=\"/word/numbering.xml\" ContentType=\"" +
                            std::string(docx::kNumberingContentType) + "\"/>");
  }

  // Image types the base never used still need a content type.
  void add_media_content_types() {
    std::string& types = *base_.find("[Content_Types].xml");
    for (auto& e : base_.entries()) {
      if (!e.name.starts_with("word/media/")) continue;
      std::string ext = extension_of(e.name);
      if (types.find("Extension=\"" + ext + "\"") != std::string::npos) continue;
      std::string mime = ext == "png" ? "image/png" : ext == "gif" ? "image/gif" : "image/jpeg";
      types.insert(types.rfind("</Types>"),
                   "<Default Extension=\"" + ext + "\" ContentType=\"" + mime + "\"/>");
    }
  }

  Package base_;
  std::string which_base_;
  Body merged_;
  std::string rels_, new_rels_;
  int next_rel_ = 1;
  Numbering numbering_;
  bool had_numbering_ = false;
  std::optional<std::string> styles_;
  std::set<std::string> style_ids_;
  std::set<std::string> names_;  // of the base's parts, for fresh media names
  int media_counter_ = 0;
};

}  // namespace

std::string merge_docx_buffers_docxcompose(const std::vector<std::string>& buffers,
                                           bool add_page_break) {
  if (buffers.empty()) throw ValueError("there are no documents to merge");
  auto which = [&](size_t i) {
    return "document " + std::to_string(i + 1) + " of " + std::to_string(buffers.size());
  };
  Merger merger(open_package(buffers[0], which(0)), which(0));
  for (size_t i = 1; i < buffers.size(); ++i)
    merger.append(open_package(buffers[i], which(i)), which(i), add_page_break);
  return merger.finish();
}

}  // namespace norvex
