#pragma once
// The documents a researcher takes away from a session: Excel workbooks of result tables,
// Word documents of explanations (and the merged report), and the HTML download links
// that offer them in the notebook. Everything is built in memory and returned as bytes.
#include <string>
#include <string_view>
#include <vector>

#include "norvex/common/json.hpp"
#include "norvex/host/host.hpp"

namespace norvex {

// ---- Excel ----

// An .xlsx workbook with one sheet per entry of `tbl_dct` (a JSON mapping from table name to
// table), in order. A table is a tagged `Table` or a list of records (objects; the columns
// are their keys in order of first appearance). Each sheet has a bold, frozen header row
// with an autofilter, fitted column widths, numbers stored as numbers. When a table has a
// p-value column (pvals_adj, padj, FDR q-val, P-value, ...; an adjusted one is preferred
// over a raw one) its rows above `pv_cutoff` are left out; other tables are kept whole.
// Sheet names are the keys made valid for Excel (31 characters, no []:*?/\, unique); when
// any name had to change, a last sheet "Sheet names" maps each sheet to its full key.
// TypeError for a non-mapping or a value that is not a table, ValueError for an empty
// mapping or a table too large for a sheet.
std::string save_to_excel_buffer(const json& tbl_dct, double pv_cutoff = 0.1);

// The p-value column the filter of save_to_excel_buffer uses, or "" when none.
std::string find_pvalue_column(const std::vector<std::string>& columns);

// ---- Word ----

// A .docx document: `title` in the Title style, then the image(s), then the Markdown text
// rendered as Word formatting (headings as Heading 1-4, emphasis, lists with real
// numbering, links, inline code, code blocks, quotes, tables). `explanation_text` is text
// or null (no text). `img_b64` is null, one base64 image (PNG, JPEG or GIF; a data URL is
// accepted), a list of them or a mapping from caption to image; images are scaled to fit
// the page. An image that does not decode or is not an image is left out, and why is added
// to `left_out` when given (a warning for the caller to show). Raw HTML in the text is reduced to
// its text. Korean text is set in a Hangul font. TypeError when the text is neither text nor null.
std::string create_doc_with_style(const json& explanation_text, const json& img_b64,
                                  const std::string& title,
                                  std::vector<std::string>* left_out = nullptr);

// One .docx holding the given documents in order, each starting on a new page when
// `add_page_break` is set. Images, links and list numbering of every part are kept (their
// relationships and numbering ids renamed so they do not collide). Meant for documents
// made by create_doc_with_style. ValueError for an empty list or a buffer that is not a
// Word document (naming its position).
std::string merge_docx_buffers_docxcompose(const std::vector<std::string>& buffers,
                                           bool add_page_break = true);

// ---- Downloads ----

// `buffer` offered as a file: `file_name` is any text (often the user's question), made a
// safe file name; the MIME type follows its extension (.xlsx, .docx, ...). `doc_name`
// names the kind of document in the link a host shows for it.
Download document_download(std::string_view buffer, std::string_view file_name,
                           std::string_view doc_name = "document");

// HTML with a link that downloads `buffer` as a file through a data URL, for a notebook:
// the link of document_download(buffer, file_name, doc_name), its name escaped.
std::string creat_download_link(std::string_view buffer, std::string_view file_name,
                                std::string_view doc_name = "document");

// `name` as a portable file name: no path separators, control or reserved characters, no
// leading dots or trailing dots and blanks, no device names, at most `max_bytes` bytes of
// UTF-8 (cut between characters, extension kept). Korean and other letters are kept.
std::string safe_file_name(std::string_view name, size_t max_bytes = 180);

// MIME type for a file name's extension; application/octet-stream when unknown.
std::string mime_type_for(std::string_view file_name);

}  // namespace norvex
