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
:root{color-scheme:light dark;--bg:#f5f6f8;--card:#fff;--fg:#1f2328;--line:#d0d5dc;--muted:#545d6b;--accent:#2f6f4f;--on-accent:#fff;--qbg:#eef3f0;--logbg:#f0f2f5;--err:#a00;--errbg:#fff0f0;--focus:#1d5fd1}
@media (prefers-color-scheme:dark){:root{--bg:#15181d;--card:#1e2228;--fg:#e6e8eb;--line:#3a414b;--muted:#a8b0bc;--accent:#7cc6a0;--on-accent:#0d1a13;--qbg:#1f2b25;--logbg:#262b33;--err:#ff9c9c;--errbg:#3a1f22;--focus:#8ab4ff}}
*{box-sizing:border-box}
body{margin:0;font-family:'Noto Sans','Noto Sans CJK KR','Noto Sans KR',sans-serif;color:var(--fg);background:var(--bg);font-size:15px}
header{background:var(--card);border-bottom:1px solid var(--line);padding:.6em 1.2em;display:flex;gap:.4em 1em;align-items:baseline;flex-wrap:wrap}
header h1{font-size:1.25em;margin:0;color:var(--accent)}
header .meta{color:var(--muted);font-size:.9em;overflow-wrap:anywhere}
#conn{margin-left:auto;font-size:.85em;color:var(--muted)}
#conn.down{color:var(--err)}
#lang{font-size:.8em;padding:.1em .5em}
main{display:flex;gap:1em;padding:1em;align-items:flex-start}
#notebook{flex:1;min-width:0}
aside{width:340px;flex:none;position:sticky;top:1em;max-height:calc(100vh - 2em);overflow:auto}
aside section{background:var(--card);border:1px solid var(--line);border-radius:8px;padding:.7em .9em;margin-bottom:1em}
aside h2{font-size:1em;margin:0 0 .5em}
aside h3{font-size:.9em;margin:.6em 0 .2em}
aside pre{font-size:.78em;white-space:pre-wrap;word-break:break-word;margin:0}
aside details{margin-top:.4em}
aside summary{cursor:pointer;color:var(--accent)}
aside p.summary{margin:0 0 .3em;font-size:.9em}
aside table.facts{font-size:.82em;width:100%}
aside table.facts td{border:0;border-bottom:1px solid var(--line);padding:1px 4px}
aside table.facts td.num{text-align:right;font-variant-numeric:tabular-nums}
aside ul.kinds{margin:.2em 0;padding-left:1.2em;font-size:.82em}
.cell{background:var(--card);border:1px solid var(--line);border-radius:8px;margin-bottom:1em;overflow:hidden}
.cell.failed{border-color:var(--err)}
.q{display:flex;gap:.6em;align-items:baseline;padding:.6em .9em;background:var(--qbg);border-bottom:1px solid var(--line);flex-wrap:wrap}
.q .n{color:var(--muted);font-size:.85em;flex:none}
.q .text{font-weight:600;white-space:pre-wrap;word-break:break-word;flex:1;min-width:8em}
.status{font-size:.85em;color:var(--muted);flex:none}
.status.running::before{content:'';display:inline-block;width:.7em;height:.7em;margin-right:.4em;border:2px solid var(--accent);border-right-color:transparent;border-radius:50%;animation:spin 1s linear infinite}
.status.failed,.status.lost{color:var(--err)}
@keyframes spin{to{transform:rotate(360deg)}}
@media (prefers-reduced-motion:reduce){.status.running::before{animation:none}}
.q button{font-size:.8em;padding:.05em .6em}
.out{padding:.5em .9em;min-width:0}
pre.log{white-space:pre-wrap;word-break:break-word;margin:.2em 0;font-size:.85em;color:var(--fg);background:var(--logbg);padding:.3em .6em;border-radius:4px}
pre.err{white-space:pre-wrap;word-break:break-word;background:var(--errbg);color:var(--err);padding:.5em;border-radius:4px}
.failure,.lostnote{background:var(--errbg);color:var(--err);padding:.5em .7em;border-radius:4px;margin:.4em 0}
figure{margin:.5em 0}
img{max-width:100%;height:auto;display:block}
figure .dls{display:flex;gap:.5em;margin-top:.2em}
table{border-collapse:collapse;font-size:.85em;margin:.4em 0}
td,th{border:1px solid var(--line);padding:2px 6px}
td.num{text-align:right;font-variant-numeric:tabular-nums;white-space:nowrap}
th.sortable{cursor:pointer;user-select:none;white-space:nowrap}
th.sortable:focus-visible{outline:3px solid var(--focus)}
th[aria-sort=ascending]::after{content:' ▲'}
th[aria-sort=descending]::after{content:' ▼'}
.html,.tbl{overflow-x:auto;max-width:100%}
a{color:var(--accent)}
a[download],a.dl{display:inline-block;background:var(--accent)!important;color:var(--on-accent)!important;border:0!important;padding:.25em .7em!important;border-radius:4px;text-decoration:none;margin:.2em 0;overflow-wrap:anywhere}
.code{position:relative;margin:.5em 0}
.code pre{background:#1f2430;color:#e6e6e6;padding:.7em;border-radius:6px;overflow-x:auto;font-size:.82em;margin:0}
.code summary{cursor:pointer;color:var(--accent);padding:.2em 0}
.code summary button{margin-left:.6em;font-size:.85em}
button{font:inherit;cursor:pointer;border:1px solid var(--accent);background:var(--card);color:var(--accent);border-radius:4px;padding:.2em .7em}
button.primary{background:var(--accent);color:var(--on-accent)}
button:disabled{opacity:.6;cursor:default}
:focus-visible{outline:3px solid var(--focus);outline-offset:2px}
#ask{position:sticky;bottom:0;background:var(--bg);padding:.6em 0 0}
#ask form{display:flex;gap:.5em;background:var(--card);border:1px solid var(--line);border-radius:8px;padding:.5em}
#ask form:focus-within{border-color:var(--focus)}
#ask textarea{flex:1;min-width:0;font:inherit;color:var(--fg);background:transparent;border:0;resize:vertical;min-height:2.6em;outline:none}
#hint{font-size:.8em;color:var(--muted);margin:.3em .2em}
#empty{color:var(--muted);padding:2em 1em;text-align:center}
#askerr{color:var(--err);font-size:.85em;margin:.3em .2em}
@media (max-width:900px){main{flex-direction:column;align-items:stretch;padding:.6em}#notebook{width:100%}aside{width:100%;position:static;max-height:none}}
</style></head><body>
)HTML";

const char* kBody = R"HTML(
<header><h1>norvex</h1><span class="meta" id="meta"></span><span id="conn" role="status"></span><button id="lang" type="button"></button></header>
<main>
<div id="notebook">
<div id="cells"><div id="empty"></div></div>
<div id="ask"><form id="form"><textarea id="question" rows="2"></textarea>
<button class="primary" id="send" type="submit"></button></form>
<div id="askerr" role="alert"></div><div id="hint"></div></div>
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
const chosen = params.get('lang') || localStorage.getItem('norvex-lang') || navigator.language || 'en';
const lang = chosen.toLowerCase().startsWith('ko') ? 'ko' : 'en';
const T = {
  en: {ask: 'Ask', placeholder: 'Ask a question about your data, e.g. "Show the UMAP coloured by cell type"',
       question: 'Your question',
       hint: 'Enter sends the question, Shift+Enter starts a new line. Questions are answered one at a time.',
       empty: 'Ask a question below. Each answer appears here with its plots, tables and downloads.',
       context: 'Dataset', saved: 'Saved analyses', report: 'Report', refresh: 'Refresh the list',
       makeReport: 'Make the Word report', tree: 'What the file contains',
       contextSummary: 'What the assistant is told about this dataset',
       waiting: n => n === 1 ? 'Waiting: one question is ahead of this one' : 'Waiting: ' + n + ' questions are ahead of this one',
       running: 'Working…', done: 'Done', failed: 'Failed', copy: 'Copy', copied: 'Copied',
       cancel: 'Cancel', cancelling: 'Cancelling…', cancelled: 'Cancelled',
       save: 'Save', saving: 'Saving…', savedOne: 'Saved',
       code: 'Code to reproduce this result', live: 'Connected', down: 'Connection lost, reconnecting…',
       lost: 'Connection lost', lostNote: 'The connection to norvex serve was lost. This cell is updated when it is back.',
       restarted: 'norvex serve was restarted; this question was not answered. Ask it again.',
       offline: 'norvex serve cannot be reached (was it stopped?). Your question is still in the box; send it again once the server runs.',
       failure: 'This question could not be answered (the reason is above). You can ask the next question.',
       cells: 'cells', genes: 'genes', model: 'model', other: '한국어', otherLang: 'ko', switchTo: 'Show the page in Korean',
       obs: 'Cell annotations', celltypes: 'Cell types', conditions: 'Conditions', samples: 'Samples',
       results: 'Precomputed results', none: 'none', figure: 'Figure', sortBy: 'Sort by this column'},
  ko: {ask: '질문하기', placeholder: '데이터에 대해 질문하세요. 예: "세포 유형별로 색칠한 UMAP을 보여줘"',
       question: '질문',
       hint: 'Enter로 보내고, Shift+Enter로 줄을 바꿉니다. 질문은 한 번에 하나씩 답합니다.',
       empty: '아래에 질문을 입력하세요. 답과 그림, 표, 내려받기 파일이 여기에 나타납니다.',
       context: '데이터셋', saved: '저장된 분석', report: '보고서', refresh: '목록 새로 고침',
       makeReport: 'Word 보고서 만들기', tree: '파일 구성',
       contextSummary: '어시스턴트가 이 데이터셋에 대해 아는 내용',
       waiting: n => '대기 중: 앞에 질문 ' + n + '개가 있습니다',
       running: '분석 중…', done: '완료', failed: '실패', copy: '복사', copied: '복사됨',
       cancel: '취소', cancelling: '취소하는 중…', cancelled: '취소됨',
       save: '저장', saving: '저장하는 중…', savedOne: '저장됨',
       code: '이 결과를 재현하는 코드', live: '연결됨', down: '연결이 끊겼습니다. 다시 연결하는 중…',
       lost: '연결 끊김', lostNote: 'norvex serve와의 연결이 끊겼습니다. 다시 연결되면 이 셀이 갱신됩니다.',
       restarted: 'norvex serve가 다시 시작되어 이 질문에 답하지 못했습니다. 다시 질문해 주세요.',
       offline: 'norvex serve에 연결할 수 없습니다 (중지되었나요?). 질문은 입력란에 남아 있으니 서버가 다시 실행되면 보내 주세요.',
       failure: '이 질문에 답하지 못했습니다 (이유는 위에 있습니다). 다음 질문을 하셔도 됩니다.',
       cells: '세포', genes: '유전자', model: '모델', other: 'English', otherLang: 'en', switchTo: 'Show the page in English',
       obs: '세포 주석', celltypes: '세포 유형', conditions: '조건', samples: '샘플',
       results: '미리 계산된 결과', none: '없음', figure: '그림', sortBy: '이 열로 정렬'}
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
$('question').setAttribute('aria-label', T.question);
$('hint').textContent = T.hint;
$('empty').textContent = T.empty;
$('h-context').textContent = T.context;
$('h-saved').textContent = T.saved;
$('h-report').textContent = T.report;
$('refresh-saved').textContent = T.refresh;
$('make-report').textContent = T.makeReport;
$('lang').textContent = T.other;
$('lang').lang = T.otherLang;
$('lang').title = T.switchTo;
$('lang').addEventListener('click', () => {
  // The conversation lives on the server: the page in the other language replays it.
  localStorage.setItem('norvex-lang', T.otherLang);
  params.set('lang', T.otherLang);
  params.delete('ask');
  location.search = params.toString();
});
const count = n => Number(n).toLocaleString(lang === 'ko' ? 'ko-KR' : 'en-US');
$('panel-context').before(el('p', 'summary', (info.dataset || '') + (info.cells !== undefined ? ': ' + count(info.cells) + ' ' + T.cells + ' × ' + count(info.genes) + ' ' + T.genes : '')));
let meta = info.dataset || '';
if (info.cells !== undefined) meta += ' · ' + count(info.cells) + ' ' + T.cells + ' × ' + count(info.genes) + ' ' + T.genes;
if (info.model) meta += ' · ' + T.model + ' ' + info.model;
$('meta').textContent = meta;
document.title = 'norvex · ' + (info.dataset || '');

let cells = new Map();  // cell number -> {root, out, status, log, state}
const mine = new Set();   // cells this page asked for
let asked = 0;            // questions shown, for their numbers
let instance = info.instance;

function statusText(c, cls, text) {
  c.state = cls;
  c.status.className = 'status ' + cls;
  c.status.textContent = text;
}

// Following a new answer: its cell is kept in view until the reader scrolls elsewhere.
let follow = null;
function askBoxTop() { return $('ask').getBoundingClientRect().top; }
function showCell(c, whole) {
  const r = c.root.getBoundingClientRect();
  const room = Math.min(askBoxTop(), window.innerHeight);
  // The cell's end just above the question box, but never its top out of sight: a long
  // answer is then read from its beginning.
  const y = Math.min(window.scrollY + r.bottom - room + 8, window.scrollY + r.top - 8);
  if (y > window.scrollY || whole) window.scrollTo(0, Math.max(0, y));
}
for (const ev of ['wheel', 'touchmove']) window.addEventListener(ev, () => { follow = null; }, {passive: true});
window.addEventListener('keydown', e => {
  if (['PageUp', 'PageDown', 'Home', 'End', 'ArrowUp', 'ArrowDown', ' '].includes(e.key) &&
      !e.target.closest('textarea, input')) follow = null;
});

function cellButton(c, label, onClick) {
  const b = el('button', '', label);
  b.type = 'button';
  b.addEventListener('click', onClick);
  c.q.append(b);
  return b;
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
  root.dataset.cell = ev.cell;
  const q = el('div', 'q');
  asked += 1;
  q.append(el('span', 'n', asked + '.'), el('span', 'text', ev.question));
  const status = el('span', 'status');
  status.setAttribute('role', 'status');
  q.append(status);
  const out = el('div', 'out');
  root.append(q, out);
  $('cells').append(root);
  const c = {root, q, out, status, log: null, cell: ev.cell, question: ev.question};
  cells.set(ev.cell, c);
  if (ev.ahead > 0) statusText(c, 'waiting', T.waiting(ev.ahead));
  else statusText(c, 'running', T.running);
  if (mine.has(ev.cell) || pendingAsk) {
    c.cancel = cellButton(c, T.cancel, () => cancelCell(c));
    c.cancel.className = 'cancel';
  }
  if (pendingAsk) { pendingAsk = false; follow = ev.cell; showCell(c, true); }
}

async function cancelCell(c) {
  c.cancel.disabled = true;
  c.cancel.textContent = T.cancelling;
  try { await call('api/cancel', {cell: c.cell}); } catch (e) { c.cancel.remove(); }
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

// ---- tables: no running-number index, compact p-values, numbers to the right, sortable ----
const pColumn = name => /(^|[^a-z])(p|q)[-_ ]?(val|value|adj)|pval|padj|fdr|p_adj|^p$|^q$/i.test(name);
const numberText = /^[-+]?(\d+\.?\d*|\.\d+)(e[-+]?\d+)?$/i;
function tidyTable(box) {
  const table = box.querySelector('table');
  if (!table) return;
  const head = [...table.querySelectorAll('thead th')].map(th => th.textContent);
  const rows = [...table.querySelectorAll('tbody tr')];
  // An index of 0, 1, 2, … tells nothing: dropped (the "…" row of a cut table aside).
  const index = rows.map(r => r.firstElementChild && r.firstElementChild.tagName === 'TH' ? r.firstElementChild.textContent : null);
  const running = index.every((t, i) => t === null || t === '…' || /^\d+$/.test(t)) &&
                  index.filter(t => /^\d+$/.test(t || '')).every((t, i, a) => i === 0 || Number(t) > Number(a[i - 1]));
  if (running && index.length && index.every(t => t !== null)) {
    for (const r of rows) r.firstElementChild.remove();
    const first = table.querySelector('thead th');
    if (first) first.remove();
    head.shift();
  }
  rows.forEach(r => [...r.children].forEach((td, i) => {
    const name = head[i] || '';
    const text = td.textContent.trim();
    if (td.tagName !== 'TD' || !numberText.test(text)) return;
    td.classList.add('num');
    td.dataset.value = text;
    const v = Number(text);
    if (pColumn(name) && v !== 0 && Math.abs(v) < 1e-3) td.textContent = v.toExponential(2);
    else if (pColumn(name)) td.textContent = Number(v.toPrecision(3)).toString();
  }));
  if (rows.some(r => r.textContent.includes('…'))) return;  // a cut table is not sorted
  const ths = [...table.querySelectorAll('thead th')];
  ths.forEach((th, col) => {
    if (!th.textContent) return;
    th.classList.add('sortable');
    th.tabIndex = 0;
    th.title = T.sortBy;
    const sort = () => {
      const up = th.getAttribute('aria-sort') !== 'ascending';
      ths.forEach(o => o.removeAttribute('aria-sort'));
      th.setAttribute('aria-sort', up ? 'ascending' : 'descending');
      const key = r => { const c = r.children[col]; return c ? (c.dataset.value !== undefined ? Number(c.dataset.value) : c.textContent) : ''; };
      const sorted = rows.slice().sort((a, b) => {
        const x = key(a), y = key(b);
        const d = typeof x === 'number' && typeof y === 'number' ? x - y : String(x).localeCompare(String(y), lang);
        return up ? d : -d;
      });
      const body = table.querySelector('tbody');
      for (const r of sorted) body.append(r);
    };
    th.addEventListener('click', sort);
    th.addEventListener('keydown', e => { if (e.key === 'Enter' || e.key === ' ') { e.preventDefault(); sort(); } });
  });
}

// ---- figures: the image with its PNG (and SVG, when drawn so) downloads ----
function figure(c, ev) {
  const f = el('figure');
  const img = el('img');
  const stem = String(ev.name || 'figure').replace(/\.(png|jpe?g|gif|webp|svg)$/i, '') || 'figure';
  img.alt = T.figure + ' ' + stem;
  img.src = ev.url;
  img.addEventListener('load', () => { if (follow === c.cell) showCell(c, false); });
  const dls = el('div', 'dls');
  const ext = (String(ev.url).match(/\.(png|jpe?g|gif|webp)$/i) || ['', 'png'])[1].toLowerCase();
  const raster = el('a', 'dl', ext.toUpperCase());
  raster.href = ev.url;
  raster.download = stem + '.' + ext;
  dls.append(raster);
  if (typeof ev.svg === 'string' && ev.svg) {
    const vector = el('a', 'dl', 'SVG');
    vector.href = URL.createObjectURL(new Blob([ev.svg], {type: 'image/svg+xml'}));
    vector.download = stem + '.svg';
    dls.append(vector);
  }
  f.append(img, dls);
  c.out.append(f);
}

function markLost(text, note) {
  for (const c of cells.values()) {
    if (c.panel || c.state === 'done' || c.state === 'failed' || c.state === 'cancelled' || c.state === 'lost') continue;
    c.before = {state: c.state, text: c.status.textContent};
    statusText(c, 'lost', text);
    if (!c.lostNote) { c.lostNote = el('div', 'lostnote', note); c.out.append(c.lostNote); }
  }
}
function unmarkLost() {
  for (const c of cells.values()) {
    if (c.state !== 'lost' || !c.before) continue;
    statusText(c, c.before.state, c.before.text);
    if (c.lostNote) { c.lostNote.remove(); c.lostNote = null; }
  }
}

function handle(ev) {
  if (ev.type === 'cell') { newCell(ev); return; }
  const c = cells.get(ev.cell);
  if (!c) return;
  if (c.lostNote) { c.lostNote.remove(); c.lostNote = null; }
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
    case 'dataset': c.log = null; datasetFacts(c.out, ev); break;
    case 'tree': {
      c.log = null;
      const d = el('details');
      d.append(el('summary', '', T.tree), el('pre', '', ev.text));
      c.out.append(d);
      break;
    }
    case 'json': c.log = null; c.out.append(el('pre', 'log', ev.text)); break;
    case 'html': case 'table': {
      c.log = null;
      const d = el('div', ev.type === 'table' ? 'tbl' : 'html');
      d.innerHTML = ev.html;  // rendered and escaped by the engine
      if (ev.type === 'table') tidyTable(d);
      // "table.xlsx" says nothing: the file is named after the question it answers.
      for (const a of d.querySelectorAll('a[download]')) {
        const m = a.getAttribute('download').match(/^table(-\d+)?\.xlsx$/);
        const words = (c.question || '').replace(/[\\/:*?"<>|\s]+/g, ' ').trim().split(' ').slice(0, 8).join('_');
        if (!m || !words) continue;
        const name = words + (m[1] || '') + '.xlsx';
        for (const t of a.childNodes) if (t.nodeType === 3) t.textContent = t.textContent.replace(m[0], name);
        a.setAttribute('download', name);
      }
      c.out.append(d);
      break;
    }
    case 'image': c.log = null; figure(c, ev); break;
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
    case 'saveable':
      if (!c.panel && !c.save) {
        c.save = cellButton(c, T.save, async () => {
          c.save.disabled = true;
          c.save.textContent = T.saving;
          try { await post(':save-cell ' + ev.cell, 'saved'); } catch (e) { c.save.disabled = false; c.save.textContent = T.save; $('askerr').textContent = e.message; }
        });
      }
      break;
    case 'saved':
      if (c.save) { c.save.disabled = true; c.save.textContent = T.savedOne; }
      break;
    case 'end':
      c.log = null;
      if (c.cancel) { c.cancel.remove(); c.cancel = null; }
      if (ev.ok) statusText(c, 'done', T.done);
      else if (ev.cancelled) statusText(c, 'cancelled', T.cancelled);
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
  if (follow === ev.cell && !c.panel && ev.type !== 'start') showCell(c, false);
}

function datasetFacts(box, ev) {
  const section = (title, node) => { box.append(el('h3', '', title), node); };
  const kinds = el('ul', 'kinds');
  for (const col of ev.obs || []) kinds.append(el('li', '', col.name + ' (' + col.kind + (col.levels ? ', ' + col.levels : '') + ')'));
  const counts = list => {
    const t = el('table', 'facts');
    for (const [name, n] of list || []) {
      const tr = el('tr');
      tr.append(el('td', '', name), el('td', 'num', count(n)));
      t.append(tr);
    }
    return t;
  };
  if (ev.celltypes) section(T.celltypes + ' (' + ev.celltypes.column + ')', counts(ev.celltypes.counts));
  if (ev.conditions) section(T.conditions + ' (' + ev.conditions.column + ')', counts(ev.conditions.counts));
  if (ev.samples) section(T.samples + ' (' + ev.samples.column + ')', counts(ev.samples.counts));
  section(T.results, el('p', 'summary', (ev.results || []).length ? ev.results.join(', ') : T.none));
  const d = el('details');
  d.append(el('summary', '', T.obs), kinds);
  box.append(d);
}

async function call(path, body) {
  let r;
  try {
    r = await fetch(path, {method: 'POST', headers: {'Content-Type': 'application/json', 'X-Norvex': '1'},
                           body: JSON.stringify(body)});
  } catch (e) {
    throw new Error(T.offline);
  }
  const answer = await r.json().catch(() => ({}));
  if (!r.ok) throw new Error(answer.error || ('HTTP ' + r.status));
  return answer;
}

async function post(question, panel) {
  const body = await call('api/ask', {question, panel: panel || ''});
  mine.add(body.cell);
  return body.cell;
}

let pendingAsk = false;
async function ask(question) {
  $('askerr').textContent = '';
  pendingAsk = true;
  let cell;
  try { cell = await post(question); } catch (e) { pendingAsk = false; $('askerr').textContent = e.message; return false; }
  const c = cells.get(cell);
  if (c) {
    // The cell was announced before the answer to the post came back.
    if (!c.cancel && !c.state.match(/done|failed|cancelled/)) { c.cancel = cellButton(c, T.cancel, () => cancelCell(c)); c.cancel.className = 'cancel'; }
    if (follow !== cell) { follow = cell; showCell(c, true); }
  }
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

// The event stream, reconnected after any failure; a server that came back replays what
// happened meanwhile, a restarted one (another instance) knows nothing of these cells.
let seen = 0;
let stream = null;
let retry = null;
function connect() {
  retry = null;
  if (stream) stream.close();
  const es = new EventSource('api/events?since=' + seen);
  stream = es;
  es.addEventListener('hello', m => {
    const hello = JSON.parse(m.data);
    $('conn').textContent = T.live;
    $('conn').className = '';
    if (hello.instance !== instance) {
      markLost(T.failed, T.restarted);
      for (const c of cells.values()) if (c.state === 'lost') { c.state = 'failed'; c.before = null; if (c.cancel) c.cancel.remove(); }
      cells = new Map();
      instance = hello.instance;
      if (seen > 0) { seen = 0; connect(); }
      return;
    }
    unmarkLost();
  });
  es.onmessage = m => {
    const ev = JSON.parse(m.data);
    if (ev.seq <= seen) return;
    seen = ev.seq;
    handle(ev);
    document.body.dataset.seq = String(seen);
  };
  es.onerror = () => {
    $('conn').textContent = T.down;
    $('conn').className = 'down';
    markLost(T.lost, T.lostNote);
    // The browser retries by itself unless the server refused the stream outright.
    if (es.readyState === EventSource.CLOSED && !retry) retry = setTimeout(connect, 2000);
  };
}
connect();

// ?ask=... only fills the question box: a link from anywhere must not ask for the user.
const preset = params.get('ask');
if (preset) $('question').value = preset;
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
