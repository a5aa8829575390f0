#pragma once
// Fixtures of the document tests: python-docx / openpyxl reading what we wrote (the
// independent oracle), answering as JSON.
#include <gtest/gtest.h>

#include <string>

#include "norvex/common/base64.hpp"
#include "norvex/common/json.hpp"
#include "support/fixtures.hpp"
#include "support/test_support.hpp"

namespace norvex::testing {

// Runs an oracle script on a file holding `bytes`; the script prints one JSON value.
inline json oracle_json(const std::string& script, const std::string& bytes,
                        const std::string& suffix) {
  TempDir dir;
  auto path = dir / ("doc" + suffix);
  write_file(path, bytes);
  CommandResult r = run_oracle_python(script, shell_quote(path.string()));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  if (r.exit_code != 0) return nullptr;
  return json::parse(r.out);
}

// What python-docx sees in a document: paragraphs (style, text including hyperlinks,
// numbering, bold/italic runs, page breaks), tables, pictures, links, numbering ids.
inline const char* kDocxOracle = R"PY(
import sys, json, docx
from docx.oxml.ns import qn
d = docx.Document(sys.argv[1])
def text(el):
    return ''.join(t.text or '' for t in el.iter(qn('w:t')))
out = {"title": d.core_properties.title, "paragraphs": [], "tables": [], "images": []}
for p in d.paragraphs:
    ppr = p._p.pPr
    num = None
    if ppr is not None and ppr.numPr is not None:
        num = [int(ppr.numPr.ilvl.val), int(ppr.numPr.numId.val)]
    runs = list(p._p.iter(qn('w:r')))
    def flag(r, tag):
        rpr = r.find(qn('w:rPr'))
        return rpr is not None and rpr.find(qn(tag)) is not None
    out["paragraphs"].append({
        "style": p.style.name, "text": text(p._p), "num": num,
        "bold": [text(r) for r in runs if flag(r, 'w:b')],
        "italic": [text(r) for r in runs if flag(r, 'w:i')],
        "code": [text(r) for r in runs if r.find(qn('w:rPr')) is not None and
                 any(s.get(qn('w:val')) == 'CodeChar' for s in r.iter(qn('w:rStyle')))],
        "page_break": any(b.get(qn('w:type')) == 'page' for b in p._p.iter(qn('w:br'))),
        "drawing": len(list(p._p.iter(qn('w:drawing')))),
    })
for t in d.tables:
    out["tables"].append([[c.text for c in row.cells] for row in t.rows])
for s in d.inline_shapes:
    out["images"].append({"width": s.width, "height": s.height})
sec = d.sections[0]
out["text_width"] = sec.page_width - sec.left_margin - sec.right_margin
out["links"] = [r.target_ref for r in d.part.rels.values() if r.reltype.endswith('/hyperlink')]
out["media"] = sorted(str(p.partname) for p in d.part.package.parts
                      if str(p.partname).startswith('/word/media/'))
numbering = d.part.numbering_part.element
nums = {}
for n in numbering.findall(qn('w:num')):
    nums[int(n.get(qn('w:numId')))] = int(n.find(qn('w:abstractNumId')).get(qn('w:val')))
formats = {}
for a in numbering.findall(qn('w:abstractNum')):
    lvl = a.find(qn('w:lvl'))
    formats[int(a.get(qn('w:abstractNumId')))] = lvl.find(qn('w:numFmt')).get(qn('w:val'))
out["num_format"] = {str(k): formats.get(v) for k, v in nums.items()}
ids = [int(e.get('id')) for e in d.element.body.iter(
    '{http://schemas.openxmlformats.org/drawingml/2006/wordprocessingDrawing}docPr')]
out["docpr_ids"] = ids
print(json.dumps(out))
)PY";

// What openpyxl sees in a workbook: per sheet the rows (values with their types), whether
// the header is bold, the frozen cell and the column widths.
inline const char* kXlsxOracle = R"PY(
import sys, json, openpyxl
wb = openpyxl.load_workbook(sys.argv[1])
out = {"sheets": [], "title": wb.properties.title}
for ws in wb.worksheets:
    rows = []
    for row in ws.iter_rows():
        rows.append([[c.value, type(c.value).__name__] for c in row])
    widths = {k: v.width for k, v in ws.column_dimensions.items()}
    out["sheets"].append({"name": ws.title, "rows": rows, "freeze": ws.freeze_panes,
                          "header_bold": all(c.font.bold for c in ws[1]) if ws.max_row else None,
                          "widths": widths, "filter": ws.auto_filter.ref})
print(json.dumps(out, default=str))
)PY";

#define REQUIRE_ORACLE()                             \
  if (!::norvex::testing::oracle_python_available()) \
  GTEST_SKIP() << "Debian's /usr/bin/python3 with python-docx/openpyxl is not available"

}  // namespace norvex::testing
