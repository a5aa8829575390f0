// Result tables as an Excel workbook (libxlsxwriter writes files only, so the workbook
// goes through a private temporary file that is read back and removed).
#include <unistd.h>
#include <xlsxwriter.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "norvex/common/errors.hpp"
#include "norvex/common/table.hpp"
#include "norvex/documents/documents.hpp"
#include "norvex/documents/ooxml.hpp"

namespace norvex {

namespace {

namespace fs = std::filesystem;

constexpr size_t kMaxSheetRows = 1048575;  // below the header row
constexpr size_t kMaxSheetCols = 16384;
constexpr size_t kMaxCellText = 32767;  // UTF-16 code units

struct SheetTable {
  std::vector<std::string> headers;
  std::vector<std::vector<json>> rows;
};

std::string normalised(std::string_view name) {
  std::string out;
  for (char c : name)
    if (std::isalnum(static_cast<unsigned char>(c)))
      out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool default_index(const std::vector<std::string>& index) {
  for (size_t i = 0; i < index.size(); ++i)
    if (index[i] != std::to_string(i)) return false;
  return true;
}

SheetTable from_table(const Table& t) {
  SheetTable s;
  // A meaningful index (gene names, pathway ids) is part of the data; 0..n-1 is not.
  bool with_index = !default_index(t.index());
  if (with_index) s.headers.push_back("");
  for (auto& c : t.columns()) s.headers.push_back(c);
  s.rows.resize(t.n_rows());
  for (size_t r = 0; r < t.n_rows(); ++r) {
    if (with_index) s.rows[r].push_back(t.index()[r]);
    for (size_t c = 0; c < t.n_cols(); ++c) s.rows[r].push_back(t.at(r, c));
  }
  return s;
}

SheetTable from_records(const std::string& key, const json& records) {
  SheetTable s;
  for (auto& rec : records) {
    if (!rec.is_object())
      throw TypeError("table '" + key + "': a list table must hold records (mappings), found " +
                      std::string(rec.type_name()));
    for (auto it = rec.begin(); it != rec.end(); ++it)
      if (std::find(s.headers.begin(), s.headers.end(), it.key()) == s.headers.end())
        s.headers.push_back(it.key());
  }
  for (auto& rec : records) {
    std::vector<json> row;
    for (auto& h : s.headers) row.push_back(rec.contains(h) ? rec[h] : json(nullptr));
    s.rows.push_back(std::move(row));
  }
  return s;
}

SheetTable to_sheet_table(const std::string& key, const json& value) {
  if (Table::is_table(value)) return from_table(Table::from_json(value));
  if (value.is_array()) return from_records(key, value);
  throw TypeError("table '" + key + "' must be a table or a list of records, not " +
                  std::string(value.type_name()));
}

// The p-value of a cell, or NaN when it has none (missing or not a number).
double pvalue_of(const json& v) {
  if (v.is_number()) return v.get<double>();
  if (v.is_string()) {
    const std::string& s = v.get_ref<const std::string&>();
    char* end = nullptr;
    double d = std::strtod(s.c_str(), &end);
    if (end != s.c_str() && *end == '\0') return d;
  }
  return std::nan("");
}

// Excel sheet names: at most 31 UTF-16 units, none of []:*?/\, no apostrophe at either
// end, not "History" (reserved), unique ignoring case.
std::string base_sheet_name(const std::string& key) {
  std::string s;
  for (char c : ooxml::valid_utf8(key)) {
    unsigned char u = static_cast<unsigned char>(c);
    if (std::string_view("[]:*?/\\").find(c) != std::string_view::npos)
      s += '_';
    else if (u < 0x20 || u == 0x7F)
      s += ' ';
    else
      s += c;
  }
  auto strip = [](std::string& t) {
    while (!t.empty() && (t.front() == '\'' || t.front() == ' ')) t.erase(t.begin());
    while (!t.empty() && (t.back() == '\'' || t.back() == ' ')) t.pop_back();
  };
  strip(s);
  s = ooxml::utf16_prefix(s, 31);
  strip(s);
  if (s.empty()) s = "Sheet";
  if (normalised(s) == "history" && s.size() == 7) s += "_";
  return s;
}

std::string fold(const std::string& s) {
  std::string out = s;
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string unique_sheet_name(const std::string& base, std::set<std::string>& taken) {
  std::string name = base;
  for (int n = 2; taken.count(fold(name)); ++n) {
    std::string suffix = "~" + std::to_string(n);
    std::string stem = ooxml::utf16_prefix(base, 31 - suffix.size());
    while (!stem.empty() && (stem.back() == '\'' || stem.back() == ' ')) stem.pop_back();
    name = stem + suffix;
  }
  taken.insert(fold(name));
  return name;
}

// Columns a person reading the sheet needs; CJK and full-width characters take two.
size_t display_width(std::string_view text) {
  size_t w = 0;
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    uint32_t cp = c;
    if (n == 3 && i + 2 < text.size())
      cp = (c & 0x0F) << 12 | (static_cast<unsigned char>(text[i + 1]) & 0x3F) << 6 |
           (static_cast<unsigned char>(text[i + 2]) & 0x3F);
    bool wide =
        n == 4 || (n == 3 && ((cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) ||
                              (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
                              (cp >= 0xFF00 && cp <= 0xFF60)));
    w += wide ? 2 : 1;
    i += n;
  }
  return w;
}

std::string cell_text(const json& v) {
  std::string s = v.is_string() ? v.get<std::string>() : dump_json(v);
  // libxlsxwriter writes strings as given: keep them valid UTF-8 without XML-illegal
  // control characters, and within Excel's cell limit.
  std::string clean;
  for (char c : ooxml::valid_utf8(s)) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x20 || c == '\t' || c == '\n') clean += c;
  }
  if (ooxml::utf16_length(clean) > kMaxCellText) clean = ooxml::utf16_prefix(clean, kMaxCellText);
  return clean;
}

// Writes one value; returns the width it needs.
size_t write_cell(lxw_worksheet* ws, lxw_row_t row, lxw_col_t col, const json& v, lxw_format* fmt) {
  if (v.is_null()) return 0;
  if (v.is_boolean()) {
    worksheet_write_boolean(ws, row, col, v.get<bool>(), fmt);
    return 5;
  }
  if (v.is_number()) {
    double d = v.get<double>();
    constexpr uint64_t kExact = 1ull << 53;  // integers a double holds exactly
    bool exact = v.is_number_float() ||
                 (v.is_number_unsigned() ? v.get<uint64_t>() <= kExact
                                         : v.get<int64_t>() <= static_cast<int64_t>(kExact) &&
                                               v.get<int64_t>() >= -static_cast<int64_t>(kExact));
    if (std::isfinite(d) && exact) {
      worksheet_write_number(ws, row, col, d, fmt);
      std::ostringstream ss;
      ss.precision(10);
      ss << d;
      return ss.str().size();
    }
    // inf/nan (no Excel number) or an integer a double cannot hold exactly: keep the text.
    std::string text = v.is_number_float() ? (std::isnan(d) ? "nan"
                                              : d > 0       ? "inf"
                                                            : "-inf")
                                           : v.dump();
    worksheet_write_string(ws, row, col, text.c_str(), fmt);
    return text.size();
  }
  std::string text = cell_text(v);
  worksheet_write_string(ws, row, col, text.c_str(), fmt);
  size_t widest = 0, start = 0;
  while (start <= text.size()) {  // the widest line of a multi-line cell
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    widest = std::max(widest, display_width(std::string_view(text).substr(start, end - start)));
    start = end + 1;
  }
  return widest;
}

struct TempFile {
  fs::path path;
  TempFile() {
    std::string pattern = (fs::temp_directory_path() / "norvex-xlsx-XXXXXX").string();
    int fd = mkstemp(pattern.data());
    if (fd < 0) throw RuntimeError("cannot create a temporary file for the workbook");
    close(fd);
    path = pattern;
  }
  ~TempFile() {
    std::error_code ec;
    fs::remove(path, ec);
  }
};

void check(lxw_error err, const std::string& what) {
  if (err != LXW_NO_ERROR) throw RuntimeError(what + ": " + lxw_strerror(err));
}

}  // namespace

std::string find_pvalue_column(const std::vector<std::string>& columns) {
  // Adjusted values first: filtering on them is what the cut-off means in practice.
  static const std::vector<std::string> preferred{
      "pvalsadj",  "padj",     "pvaladj",        "pvalueadj",    "pvaluesadj", "adjpval",
      "adjpvalue", "adjpvals", "adjustedpvalue", "adjustedpval", "padjust",    "fdrqval",
      "fdrqvalue", "qvalue",   "qvalues",        "qval",         "fdr",        "fwerpval",
      "pvals",     "pval",     "pvalue",         "pvalues",      "nompval"};
  for (const auto& want : preferred)
    for (const auto& c : columns)
      if (normalised(c) == want) return c;
  return "";
}

namespace {

struct Sheet {
  std::string key, name;
  SheetTable table;
  size_t rows_in = 0;
  std::string pcol;
};

// Rows whose p-value is above the cut-off are left out; NaN (no p-value) is kept.
void keep_rows_within(Sheet& s, double pv_cutoff) {
  if (s.pcol.empty()) return;
  const size_t col =
      std::find(s.table.headers.begin(), s.table.headers.end(), s.pcol) - s.table.headers.begin();
  std::vector<std::vector<json>> kept;
  for (auto& row : s.table.rows)
    if (!(pvalue_of(row[col]) > pv_cutoff)) kept.push_back(std::move(row));
  s.table.rows = std::move(kept);
}

// Each table as a sheet: filtered, checked against Excel's limits and named by its rules.
std::vector<Sheet> prepare_sheets(const json& tbl_dct, double pv_cutoff,
                                  std::set<std::string>& taken, bool& renamed) {
  std::vector<Sheet> sheets;
  for (auto it = tbl_dct.begin(); it != tbl_dct.end(); ++it) {
    Sheet s;
    s.key = it.key();
    s.table = to_sheet_table(it.key(), it.value());
    s.rows_in = s.table.rows.size();
    s.pcol = find_pvalue_column(s.table.headers);
    keep_rows_within(s, pv_cutoff);
    if (s.table.rows.size() > kMaxSheetRows || s.table.headers.size() > kMaxSheetCols)
      throw ValueError("table '" + s.key + "' is too large for an Excel sheet (" +
                       std::to_string(s.table.rows.size()) + " rows, " +
                       std::to_string(s.table.headers.size()) + " columns)");
    s.name = unique_sheet_name(base_sheet_name(s.key), taken);
    renamed = renamed || s.name != s.key;
    sheets.push_back(std::move(s));
  }
  return sheets;
}

struct Formats {
  lxw_format* header = nullptr;
  lxw_format* wrap = nullptr;
};

Formats add_formats(lxw_workbook* wb) {
  Formats f;
  f.header = workbook_add_format(wb);
  format_set_bold(f.header);
  format_set_bg_color(f.header, 0xDCE6F1);
  format_set_bottom(f.header, LXW_BORDER_THIN);
  format_set_align(f.header, LXW_ALIGN_VERTICAL_CENTER);
  f.wrap = workbook_add_format(wb);
  format_set_text_wrap(f.wrap);
  format_set_align(f.wrap, LXW_ALIGN_VERTICAL_TOP);
  return f;
}

void write_sheet(lxw_workbook* wb, const Formats& fmt, const std::string& name,
                 const SheetTable& t) {
  lxw_worksheet* ws = workbook_add_worksheet(wb, name.c_str());
  if (!ws) throw RuntimeError("cannot add the sheet '" + name + "'");
  std::vector<size_t> width(t.headers.size(), 0);
  for (size_t c = 0; c < t.headers.size(); ++c) {
    std::string h = cell_text(t.headers[c]);
    worksheet_write_string(ws, 0, static_cast<lxw_col_t>(c), h.c_str(), fmt.header);
    width[c] = display_width(h) + 2;  // bold text and the filter button
  }
  for (size_t r = 0; r < t.rows.size(); ++r)
    for (size_t c = 0; c < t.headers.size(); ++c)
      width[c] = std::max(width[c], write_cell(ws, static_cast<lxw_row_t>(r + 1),
                                               static_cast<lxw_col_t>(c), t.rows[r][c], nullptr));
  for (size_t c = 0; c < width.size(); ++c) {
    double w = std::clamp<double>(static_cast<double>(width[c]) + 2, 8, 60);
    // Long text wraps inside its (capped) column instead of running across the sheet.
    worksheet_set_column(ws, static_cast<lxw_col_t>(c), static_cast<lxw_col_t>(c), w,
                         width[c] + 2 > 60 ? fmt.wrap : nullptr);
  }
  // Printed, the sheet fits the page width and repeats its header on every page.
  double total = 0;
  for (size_t w : width) total += std::clamp<double>(static_cast<double>(w) + 2, 8, 60);
  if (total > 90) worksheet_set_landscape(ws);
  worksheet_fit_to_pages(ws, 1, 0);
  if (!t.headers.empty()) {
    worksheet_repeat_rows(ws, 0, 0);
    worksheet_freeze_panes(ws, 1, 0);
    worksheet_autofilter(ws, 0, 0, static_cast<lxw_row_t>(t.rows.size()),
                         static_cast<lxw_col_t>(t.headers.size() - 1));
  }
}

// Excel's name rules may shorten or alter keys; this sheet says which is which.
SheetTable sheet_name_index(const std::vector<Sheet>& sheets, double pv_cutoff) {
  std::ostringstream cut;
  cut << pv_cutoff;
  const std::string cutoff_text = cut.str();
  SheetTable index;
  index.headers = {"Sheet", "Table", "Rows written", "Rows in table", "Filtered on"};
  for (auto& s : sheets)
    index.rows.push_back({s.name, s.key, s.table.rows.size(), s.rows_in,
                          s.pcol.empty() ? json("") : json(s.pcol + " <= " + cutoff_text)});
  return index;
}

std::string read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (!in && !in.eof()) throw RuntimeError("cannot read back the workbook");
  return bytes.str();
}

}  // namespace

std::string save_to_excel_buffer(const json& tbl_dct, double pv_cutoff) {
  if (!tbl_dct.is_object())
    throw TypeError("tbl_dct must be a mapping from table name to table, not " +
                    std::string(tbl_dct.type_name()));
  if (tbl_dct.empty()) throw ValueError("tbl_dct is empty: there is no table to write");
  if (std::isnan(pv_cutoff)) throw ValueError("pv_cutoff must be a number, not NaN");

  std::set<std::string> taken;
  bool renamed = false;
  const std::vector<Sheet> sheets = prepare_sheets(tbl_dct, pv_cutoff, taken, renamed);

  TempFile tmp;
  std::string tmpdir = fs::temp_directory_path().string();
  lxw_workbook_options options{};
  options.tmpdir = tmpdir.data();
  lxw_workbook* wb = workbook_new_opt(tmp.path.c_str(), &options);
  if (!wb) throw RuntimeError("cannot create the workbook");
  bool closed = false;
  try {
    lxw_doc_properties props{};
    std::string title = "Result tables", author = "norvex";
    props.title = title.data();
    props.author = author.data();
    workbook_set_properties(wb, &props);
    const Formats fmt = add_formats(wb);
    for (auto& s : sheets) write_sheet(wb, fmt, s.name, s.table);
    if (renamed)
      write_sheet(wb, fmt, unique_sheet_name("Sheet names", taken),
                  sheet_name_index(sheets, pv_cutoff));
    closed = true;
    check(workbook_close(wb), "cannot write the workbook");
  } catch (...) {
    if (!closed) workbook_close(wb);
    throw;
  }
  return read_bytes(tmp.path);
}

}  // namespace norvex
