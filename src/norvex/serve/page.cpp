// The page: plain HTML, styles and script inline (no network, no build step). Text from
// the server goes in through textContent; only HTML the engine rendered (tables,
// explanations through the safe Markdown path, download links) goes in as HTML, and the
// page's Content-Security-Policy runs no script but this one.
#include <string>

#include "norvex/serve/web_server.hpp"

namespace norvex {

namespace {

const char* kHead = R"HTML(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>norvex</title>
<style>
:root{--line:#d9dde3;--muted:#5b6472;--accent:#2f6f4f;--bg:#f5f6f8}
*{box-sizing:border-box}
body{margin:0;font-family:'Noto Sans','Noto Sans CJK KR','Noto Sans KR',sans-serif;color:#1f2328;background:var(--bg);font-size:15px}
header{background:#fff;border-bottom:1px solid var(--line);padding:.6em 1.2em;display:flex;gap:1em;align-items:baseline;flex-wrap:wrap}
header h1{font-size:1.25em;margin:0;color:var(--accent)}
header .meta{color:var(--muted);font-size:.9em}
#conn{margin-left:auto;font-size:.85em;color:var(--muted)}
#conn.down{color:#a00}
main{display:flex;gap:1em;padding:1em;align-items:flex-start}
#notebook{flex:1;min-width:0}
aside{width:340px;flex:none;position:sticky;top:1em;max-height:calc(100vh - 2em);overflow:auto}
aside section{background:#fff;border:1px solid var(--line);border-radius:8px;padding:.7em .9em;margin-bottom:1em}
aside h2{font-size:1em;margin:0 0 .5em}
aside pre{font-size:.78em;white-space:pre-wrap;word-break:break-word;margin:0}
aside details{margin-top:.4em}
aside summary{cursor:pointer;color:var(--accent)}
aside p.summary{margin:0 0 .3em;font-size:.9em}
.cell{background:#fff;border:1px solid var(--line);border-radius:8px;margin-bottom:1em;overflow:hidden}
.cell.failed{border-color:#d88}
.q{display:flex;gap:.6em;align-items:baseline;padding:.6em .9em;background:#eef3f0;border-bottom:1px solid var(--line)}
.q .n{color:var(--muted);font-size:.85em;flex:none}
.q .text{font-weight:600;white-space:pre-wrap;word-break:break-word;flex:1}
.status{font-size:.85em;color:var(--muted);flex:none}
.status.running::before{content:'';display:inline-block;width:.7em;height:.7em;margin-right:.4em;border:2px solid var(--accent);border-right-color:transparent;border-radius:50%;animation:spin 1s linear infinite}
.status.failed{color:#a00}
@keyframes spin{to{transform:rotate(360deg)}}
.out{padding:.5em .9em}
pre.log{white-space:pre-wrap;word-break:break-word;margin:.2em 0;font-size:.85em;color:#333;background:var(--bg);padding:.3em .6em;border-radius:4px}
pre.err{white-space:pre-wrap;background:#fff0f0;color:#a00;padding:.5em;border-radius:4px}
.failure{background:#fff0f0;color:#a00;padding:.5em .7em;border-radius:4px;margin:.4em 0}
img{max-width:100%;height:auto;display:block;margin:.5em 0}
table{border-collapse:collapse;font-size:.85em;margin:.4em 0}
td,th{border:1px solid var(--line);padding:2px 6px}
.html{overflow-x:auto}
a[download],a.dl{display:inline-block;background:var(--accent);color:#fff;padding:.25em .7em;border-radius:4px;text-decoration:none;margin:.2em 0}
.code{position:relative;margin:.5em 0}
.code pre{background:#1f2430;color:#e6e6e6;padding:.7em;border-radius:6px;overflow-x:auto;font-size:.82em;margin:0}
.code summary{cursor:pointer;color:var(--accent);padding:.2em 0}
.code summary button{margin-left:.6em;font-size:.85em}
button{font:inherit;cursor:pointer;border:1px solid var(--accent);background:#fff;color:var(--accent);border-radius:4px;padding:.2em .7em}
button.primary{background:var(--accent);color:#fff}
button:disabled{opacity:.5;cursor:default}
#ask{position:sticky;bottom:0;background:var(--bg);padding:.6em 0 0}
#ask form{display:flex;gap:.5em;background:#fff;border:1px solid var(--line);border-radius:8px;padding:.5em}
#ask textarea{flex:1;font:inherit;border:0;resize:vertical;min-height:2.6em;outline:none}
#hint{font-size:.8em;color:var(--muted);margin:.3em .2em}
#empty{color:var(--muted);padding:2em 1em;text-align:center}
#askerr{color:#a00;font-size:.85em;margin:.3em .2em}
@media (max-width:900px){main{flex-direction:column}aside{width:100%;position:static;max-height:none}}
</style></head><body>
)HTML";

const char* kBody = R"HTML(
<header><h1>norvex</h1><span class="meta" id="meta"></span><span id="conn"></span></header>
<main>
<div id="notebook">
<div id="cells"><div id="empty"></div></div>
<div id="ask"><form id="form"><textarea id="question" rows="2"></textarea>
<button class="primary" id="send" type="submit"></button></form>
<div id="askerr"></div><div id="hint"></div></div>
</div>
<aside>
<section><h2 id="h-context"></h2><div id="panel-context"></div></section>
<section><h2 id="h-saved"></h2><div id="panel-saved"></div>
<button id="refresh-saved" type="button"></button></section>
<section><h2 id="h-report"></h2><div id="panel-report"></div>
<button id="make-report" type="button"></button></section>
</aside>
</main>
)HTML";

const char* kScript = R"JS(
'use strict';
const info = JSON.parse(document.getElementById('info').textContent);
const params = new URLSearchParams(location.search);
const lang = (params.get('lang') || navigator.language || 'en').toLowerCase().startsWith('ko') ? 'ko' : 'en';
const T = {
  en: {ask: 'Ask', placeholder: 'Ask a question about your data, e.g. "Show the UMAP coloured by cell type"',
       hint: 'Enter sends the question, Shift+Enter starts a new line. Questions are answered one at a time.',
       empty: 'Ask a question below. Each answer appears here with its plots, tables and downloads.',
       context: 'Dataset', saved: 'Saved analyses', report: 'Report', refresh: 'Refresh the list',
       makeReport: 'Make the Word report', tree: 'What the file contains',
       contextSummary: 'What the assistant is told about this dataset',
       waiting: n => n === 1 ? 'Waiting: one question is ahead of this one' : 'Waiting: ' + n + ' questions are ahead of this one',
       running: 'Working…', done: 'Done', failed: 'Failed', copy: 'Copy', copied: 'Copied',
       code: 'Code to reproduce this result', live: 'Connected', down: 'Connection lost, reconnecting…',
       failure: 'This question could not be answered (the reason is above). You can ask the next question.', cells: 'cells', genes: 'genes', model: 'model'},
  ko: {ask: '질문하기', placeholder: '데이터에 대해 질문하세요. 예: "세포 유형별로 색칠한 UMAP을 보여줘"',
       hint: 'Enter로 보내고, Shift+Enter로 줄을 바꿉니다. 질문은 한 번에 하나씩 답합니다.',
       empty: '아래에 질문을 입력하세요. 답과 그림, 표, 내려받기 파일이 여기에 나타납니다.',
       context: '데이터셋', saved: '저장된 분석', report: '보고서', refresh: '목록 새로 고침',
       makeReport: 'Word 보고서 만들기', tree: '파일 구성',
       contextSummary: '어시스턴트가 이 데이터셋에 대해 아는 내용',
       waiting: n => '대기 중: 앞에 질문 ' + n + '개가 있습니다',
       running: '분석 중…', done: '완료', failed: '실패', copy: '복사', copied: '복사됨',
       code: '이 결과를 재현하는 코드', live: '연결됨', down: '연결이 끊겼습니다. 다시 연결하는 중…',
       failure: '이 질문에 답하지 못했습니다 (이유는 위에 있습니다). 다음 질문을 하셔도 됩니다.', cells: '세포', genes: '유전자', model: '모델'}
}[lang];
document.documentElement.lang = lang;
const $ = id => document.getElementById(id);
function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}
$('send').textContent = T.ask;
$('question').placeholder = T.placeholder;
$('hint').textContent = T.hint;
$('empty').textContent = T.empty;
$('h-context').textContent = T.context;
$('h-saved').textContent = T.saved;
$('h-report').textContent = T.report;
$('refresh-saved').textContent = T.refresh;
$('make-report').textContent = T.makeReport;
$('panel-context').before(el('p', 'summary', (info.dataset || '') + (info.cells !== undefined ? ': ' + info.cells + ' ' + T.cells + ' × ' + info.genes + ' ' + T.genes : '')));
let meta = info.dataset || '';
if (info.cells !== undefined) meta += ' · ' + info.cells + ' ' + T.cells + ' × ' + info.genes + ' ' + T.genes;
if (info.model) meta += ' · ' + T.model + ' ' + info.model;
$('meta').textContent = meta;
document.title = 'norvex · ' + (info.dataset || '');

const cells = new Map();  // cell number -> {root, out, status, log}
const mine = new Set();   // cells this page asked for
let asked = 0;            // questions shown, for their numbers

function statusText(c, cls, text) {
  c.status.className = 'status ' + cls;
  c.status.textContent = text;
}

function newCell(ev) {
  if (ev.panel) {
    const box = $('panel-' + ev.panel);
    box.replaceChildren();
    const c = {root: box, out: box, status: el('span'), log: null, panel: ev.panel};
    if (ev.panel === 'context' || ev.panel === 'saved') c.pre = true;
    cells.set(ev.cell, c);
    return;
  }
  const empty = $('empty');
  if (empty) empty.remove();
  const root = el('div', 'cell');
  root.id = 'cell-' + ev.cell;
  const q = el('div', 'q');
  asked += 1;
  q.append(el('span', 'n', asked + '.'), el('span', 'text', ev.question));
  const status = el('span', 'status');
  q.append(status);
  const out = el('div', 'out');
  root.append(q, out);
  $('cells').append(root);
  const c = {root, out, status, log: null};
  cells.set(ev.cell, c);
  if (ev.ahead > 0) statusText(c, 'waiting', T.waiting(ev.ahead));
  else statusText(c, 'running', T.running);
}

function appendText(c, text, end) {
  if (!c.log) {
    // A blank line between displays is spacing, not output.
    if (!text.trim()) return;
    c.log = el('pre', c.panel ? '' : 'log');
    c.out.append(c.log);
  }
  c.log.textContent += text + (end ? '\n' : '');
}

function copyCode(button, code) {
  const done = () => { button.textContent = T.copied; setTimeout(() => button.textContent = T.copy, 1500); };
  if (navigator.clipboard && navigator.clipboard.writeText) {
    navigator.clipboard.writeText(code).then(done, () => fallbackCopy(code, done));
  } else fallbackCopy(code, done);
}
function fallbackCopy(code, done) {
  const t = el('textarea');
  t.value = code;
  document.body.append(t);
  t.select();
  try { document.execCommand('copy'); done(); } catch (e) {}
  t.remove();
}

function handle(ev) {
  if (ev.type === 'cell') { newCell(ev); return; }
  const c = cells.get(ev.cell);
  if (!c) return;
  const atBottom = window.innerHeight + window.scrollY >= document.body.scrollHeight - 80;
  switch (ev.type) {
    case 'start': statusText(c, 'running', T.running); break;
    case 'text': appendText(c, ev.text, ev.end); break;
    case 'error': c.log = null; c.out.append(el('pre', 'err', ev.text)); break;
    case 'context': {
      c.log = null;
      const d = el('details');
      d.append(el('summary', '', T.contextSummary), el('pre', '', ev.text));
      c.out.append(d);
      break;
    }
    case 'tree': {
      c.log = null;
      const d = el('details');
      d.append(el('summary', '', T.tree), el('pre', '', ev.text));
      c.out.append(d);
      break;
    }
    case 'json': c.log = null; c.out.append(el('pre', 'log', ev.text)); break;
    case 'html': {
      c.log = null;
      const d = el('div', 'html');
      d.innerHTML = ev.html;  // rendered and escaped by the engine
      c.out.append(d);
      break;
    }
    case 'image': {
      c.log = null;
      const img = el('img');
      img.src = ev.url;
      img.alt = ev.name;
      c.out.append(img);
      break;
    }
    case 'code': {
      // Folded: most readers want the result; the code is one click away, with its copy button.
      c.log = null;
      const box = el('details', 'code');
      const b = el('button', '', T.copy);
      b.type = 'button';
      b.addEventListener('click', e => { e.preventDefault(); copyCode(b, ev.code); });
      const summary = el('summary', '', T.code + ' ');
      summary.append(b);
      box.append(summary, el('pre', '', ev.code));
      c.out.append(box);
      break;
    }
    case 'end':
      c.log = null;
      if (ev.ok) statusText(c, 'done', T.done);
      else {
        statusText(c, 'failed', T.failed);
        if (!c.panel) {
          c.root.classList.add('failed');
          c.out.append(el('div', 'failure', T.failure));
        }
      }
      if (!c.panel && mine.has(ev.cell)) post(':saved', 'saved').catch(() => {});
      break;
  }
  if (atBottom && !c.panel && ev.type !== 'start') window.scrollTo(0, document.body.scrollHeight);
}

async function post(question, panel) {
  const r = await fetch('api/ask', {method: 'POST', headers: {'Content-Type': 'application/json', 'X-Norvex': '1'},
                                    body: JSON.stringify({question, panel: panel || ''})});
  const body = await r.json().catch(() => ({}));
  if (!r.ok) throw new Error(body.error || ('HTTP ' + r.status));
  mine.add(body.cell);
  return body.cell;
}

async function ask(question) {
  $('askerr').textContent = '';
  try { await post(question); } catch (e) { $('askerr').textContent = e.message; return false; }
  return true;
}

$('form').addEventListener('submit', async e => {
  e.preventDefault();
  const q = $('question').value;
  if (!q.trim()) return;
  if (await ask(q)) $('question').value = '';
});
$('question').addEventListener('keydown', e => {
  // Enter while composing Hangul finishes the syllable; it does not send.
  if (e.key === 'Enter' && !e.shiftKey && !e.isComposing && e.keyCode !== 229) {
    e.preventDefault();
    $('form').requestSubmit();
  }
});
$('refresh-saved').addEventListener('click', () => post(':saved', 'saved').catch(e => $('askerr').textContent = e.message));
$('make-report').addEventListener('click', () => post(':report', 'report').catch(e => $('askerr').textContent = e.message));

let seen = 0;
function connect() {
  const es = new EventSource('api/events');
  es.onopen = () => { $('conn').textContent = T.live; $('conn').className = ''; };
  es.onmessage = m => {
    const ev = JSON.parse(m.data);
    if (ev.seq <= seen) return;
    seen = ev.seq;
    handle(ev);
    document.body.dataset.seq = String(seen);
  };
  es.onerror = () => { $('conn').textContent = T.down; $('conn').className = 'down'; };
}
connect();

// ?ask=...&ask=... asks those questions once when the page opens (links, tests).
const preset = params.getAll('ask');
if (preset.length && !sessionStorage.getItem('asked:' + location.search)) {
  sessionStorage.setItem('asked:' + location.search, '1');
  (async () => { for (const q of preset) await ask(q); })();
}
)JS";

// JSON inside a <script> element: "<" escaped, so no text can close the element.
std::string script_json(const json& value) {
  const std::string dumped = value.dump(-1, ' ', false, json::error_handler_t::replace);
  std::string out;
  for (char c : dumped) {
    if (c == '<')
      out += "\\u003c";
    else
      out += c;
  }
  return out;
}

}  // namespace

// The side panel's token and cost summary, kept apart from the page's own script: it reads
// GET api/usage now and then and shows it as text.
constexpr const char* kUsageScript = R"JS(
'use strict';
(() => {
  const ko = (new URLSearchParams(location.search).get('lang') || navigator.language || '')
                 .toLowerCase().startsWith('ko');
  const aside = document.querySelector('aside');
  if (!aside) return;
  const section = document.createElement('section');
  const h = document.createElement('h2');
  h.textContent = ko ? '토큰과 예상 비용' : 'Tokens and estimated cost';
  const box = document.createElement('pre');
  box.id = 'panel-usage';
  section.append(h, box);
  aside.append(section);
  const money = v => '$' + (v < 1 ? v.toFixed(4) : v.toFixed(2));
  async function refresh() {
    try {
      const r = await fetch('api/usage');
      if (!r.ok) return;
      const u = await r.json();
      const lines = [];
      for (const [name, t] of Object.entries(u.models || {})) {
        lines.push(name + ': ' + t.calls + (ko ? '회, 입력 ' : ' calls, ') + t.input_tokens +
                   (ko ? ' (캐시 ' : ' input (') + t.cached_input_tokens + (ko ? '), 출력 ' : ' cached), ') +
                   t.output_tokens + (ko ? ', 합계 ' : ' output, ') + t.total_tokens + (ko ? '' : ' total') +
                   ' · ' + (t.estimated_cost_usd === null ? (ko ? '가격 정보 없음' : 'no price known')
                                                          : (ko ? '약 ' : 'about ') + money(t.estimated_cost_usd)));
      }
      if (!lines.length) lines.push(ko ? '아직 모델 호출이 없습니다.' : 'No model calls yet.');
      else if (u.prices_as_of) lines.push((ko ? '가격 기준일 ' : 'prices of ') + u.prices_as_of);
      box.textContent = lines.join('\n');
    } catch (e) {}
  }
  refresh();
  setInterval(refresh, 5000);
})();
)JS";

std::string page_html(const json& page_info, const std::string& nonce) {
  std::string page = kHead;
  page += kBody;
  page += "<script type=\"application/json\" id=\"info\">" + script_json(page_info) + "</script>\n";
  page += "<script nonce=\"" + nonce + "\">" + kScript + "</script>\n";
  page += "<script nonce=\"" + nonce + "\">" + kUsageScript + "</script>\n</body></html>\n";
  return page;
}

}  // namespace norvex
