"""Drives the norvex page in Debian's headless Chromium through the DevTools protocol.

Standard library only (run with /usr/bin/python3). Asks the questions through the page's
own question box, waits (bounded) for every cell to finish, downloads the first Excel
file by clicking its link, takes a screenshot, and prints what it saw as JSON.

Then, as a researcher goes on: sorts a table, saves the second answer with its button,
downloads a figure as PNG and SVG, asks from the top of a long page, cancels a question,
opens a link that carries ?ask=, looks at the page at 1280, 768 and 390 px and in dark
mode, and finally sees the server stop in the middle of a question.

usage: drive_page.py CHROMIUM URL WORKDIR SCREENSHOT SPEC_JSON
  SPEC_JSON: {"questions": [...], "tree_question": Q, "cancel_question": Q,
              "hang_question": Q, "serve_pid": PID}
"""
import base64
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import time
import urllib.parse
import urllib.request


class WebSocket:
    """The client side of RFC 6455, enough for the DevTools protocol on loopback."""

    def __init__(self, url):
        rest = url[len("ws://"):]
        hostport, path = rest.split("/", 1)
        host, port = hostport.rsplit(":", 1)
        self.sock = socket.create_connection((host, int(port)), timeout=60)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((
            f"GET /{path} HTTP/1.1\r\nHost: {hostport}\r\nUpgrade: websocket\r\n"
            f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
            "Sec-WebSocket-Version: 13\r\n\r\n").encode())
        buf = b""
        while b"\r\n\r\n" not in buf:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise RuntimeError("DevTools closed the connection during the handshake")
            buf += chunk
        head, self.buf = buf.split(b"\r\n\r\n", 1)
        if b" 101 " not in head.split(b"\r\n")[0]:
            raise RuntimeError("DevTools refused the WebSocket: " + head.decode(errors="replace"))

    def send(self, text):
        data = text.encode()
        header = bytearray([0x81])
        n = len(data)
        if n < 126:
            header.append(0x80 | n)
        elif n < 65536:
            header.append(0x80 | 126)
            header += struct.pack(">H", n)
        else:
            header.append(0x80 | 127)
            header += struct.pack(">Q", n)
        mask = os.urandom(4)
        header += mask
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(data))
        self.sock.sendall(bytes(header) + masked)

    def _read(self, n):
        while len(self.buf) < n:
            chunk = self.sock.recv(1 << 16)
            if not chunk:
                raise RuntimeError("DevTools closed the connection")
            self.buf += chunk
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def recv(self):
        message = b""
        while True:
            b0, b1 = self._read(2)
            n = b1 & 0x7F
            if n == 126:
                n = struct.unpack(">H", self._read(2))[0]
            elif n == 127:
                n = struct.unpack(">Q", self._read(8))[0]
            if b1 & 0x80:
                self._read(4)
            payload = self._read(n)
            op = b0 & 0x0F
            if op == 8:
                raise RuntimeError("DevTools closed the connection")
            if op in (9, 10):
                continue
            message += payload
            if b0 & 0x80:
                return message.decode()


class DevTools:
    def __init__(self, url):
        self.ws = WebSocket(url)
        self.next_id = 0

    def call(self, method, **params):
        self.next_id += 1
        self.ws.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            message = json.loads(self.ws.recv())
            if message.get("id") == self.next_id:
                if "error" in message:
                    raise RuntimeError(f"{method}: {message['error']}")
                return message.get("result", {})

    def eval(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True,
                           awaitPromise=True)
        if "exceptionDetails" in result:
            raise RuntimeError(f"page script failed: {result['exceptionDetails']}")
        return result.get("result", {}).get("value")

    def wait(self, expression, seconds, what):
        deadline = time.time() + seconds
        while time.time() < deadline:
            value = self.eval(expression)
            if value:
                return value
            time.sleep(0.2)
        raise TimeoutError(f"timed out after {seconds} s waiting for {what}")


def start_chromium(chromium, workdir):
    profile = os.path.join(workdir, "profile")
    proc = subprocess.Popen(
        [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
         "--disable-extensions", "--remote-debugging-address=127.0.0.1",
         "--remote-debugging-port=0", f"--user-data-dir={profile}", "--window-size=1300,1000",
         "--hide-scrollbars", "--lang=en-US", "about:blank"],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    deadline = time.time() + 60
    while time.time() < deadline:
        line = proc.stderr.readline()
        if not line:
            break
        if "DevTools listening on ws://" in line:
            browser_ws = line.split("DevTools listening on ", 1)[1].strip()
            return proc, browser_ws
    proc.kill()
    raise RuntimeError("Chromium did not start its DevTools endpoint")



def shoot(page, path, width, dark=False):
    """A screenshot of the whole page at `width` px; the horizontal overflow seen there."""
    page.call("Emulation.setDeviceMetricsOverride", width=width, height=900,
              deviceScaleFactor=1, mobile=width < 500)
    page.call("Emulation.setEmulatedMedia", features=[
        {"name": "prefers-color-scheme", "value": "dark" if dark else "light"}])
    page.eval("new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)))")
    overflow = page.eval("document.documentElement.scrollWidth - document.documentElement.clientWidth")
    height = min(page.eval("document.documentElement.scrollHeight"), 8000)
    page.call("Emulation.setDeviceMetricsOverride", width=width, height=height,
              deviceScaleFactor=1, mobile=width < 500)
    page.eval("new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)))")
    shot = page.call("Page.captureScreenshot", format="png", captureBeyondViewport=True,
                     clip={"x": 0, "y": 0, "width": width, "height": height, "scale": 1})
    with open(path, "wb") as f:
        f.write(base64.b64decode(shot["data"]))
    stem = path[:-4]
    for i, top in enumerate(range(0, height, 1000)):
        part = page.call("Page.captureScreenshot", format="png", captureBeyondViewport=True,
                         clip={"x": 0, "y": top, "width": width,
                               "height": min(1000, height - top), "scale": 1})
        with open(f"{stem}-part{i + 1}.png", "wb") as f:
            f.write(base64.b64decode(part["data"]))
    page.call("Emulation.setDeviceMetricsOverride", width=1300, height=1000,
              deviceScaleFactor=1, mobile=False)
    return overflow


# WCAG AA: text against the colour behind it (4.5:1, or 3:1 for large text), read from
# the computed styles of every visible element that holds text of its own.
CONTRAST = r"""(() => {
  const rgb = s => { const m = s.match(/[\d.]+/g); return m ? m.map(Number) : [0, 0, 0, 0]; };
  const lum = ([r, g, b]) => { const f = c => { c /= 255; return c <= 0.03928 ? c / 12.92 : Math.pow((c + 0.055) / 1.055, 2.4); };
    return 0.2126 * f(r) + 0.7152 * f(g) + 0.0722 * f(b); };
  const bg = e => { for (; e; e = e.parentElement) { const c = rgb(getComputedStyle(e).backgroundColor);
    if (c.length < 4 || c[3] > 0.5) return c; } return [255, 255, 255]; };
  const bad = [];
  for (const e of document.querySelectorAll('body *')) {
    if (!e.offsetParent && getComputedStyle(e).position !== 'fixed') continue;
    const own = [...e.childNodes].some(n => n.nodeType === 3 && n.textContent.trim());
    if (!own || e.closest('.code pre, .html')) continue;
    const st = getComputedStyle(e);
    if (st.visibility === 'hidden' || Number(st.opacity) < 1) continue;
    const a = lum(rgb(st.color)), b = lum(bg(e));
    const ratio = (Math.max(a, b) + 0.05) / (Math.min(a, b) + 0.05);
    const large = parseFloat(st.fontSize) >= 24 || (parseFloat(st.fontSize) >= 18.66 && Number(st.fontWeight) >= 700);
    if (ratio < (large ? 3 : 4.5)) bad.push(e.tagName + '.' + e.className + ' ' + ratio.toFixed(2) + ' ' + e.textContent.slice(0, 30));
  }
  return bad;
})()"""


def unnamed_controls(page):
    """Buttons, links and text boxes of the accessibility tree without a name."""
    tree = page.call("Accessibility.getFullAXTree")
    bad = []
    for node in tree.get("nodes", []):
        role = node.get("role", {}).get("value")
        if node.get("ignored") or role not in ("button", "link", "textbox", "combobox"):
            continue
        if not node.get("name", {}).get("value", "").strip():
            bad.append(role)
    return bad


def newest_download(downloads, suffix, before, seconds=30):
    deadline = time.time() + seconds
    while time.time() < deadline:
        done = [f for f in os.listdir(downloads)
                if f.endswith(suffix) and f not in before and not f.endswith(".crdownload")]
        if done:
            path = os.path.join(downloads, done[0])
            with open(path, "rb") as f:
                data = f.read()
            return {"name": done[0], "size": len(data), "head": data[:5].decode("latin-1")}
        time.sleep(0.2)
    return None


def ask_in_box(page, question):
    page.eval("(() => { const t = document.getElementById('question'); t.value = "
              + json.dumps(question) + "; document.getElementById('send').click(); })()")


def main():
    chromium, url, workdir, screenshot, spec = sys.argv[1:6]
    spec = json.loads(spec)
    questions = spec["questions"]
    downloads = os.path.join(workdir, "downloads")
    os.makedirs(downloads, exist_ok=True)
    proc, browser_ws = start_chromium(chromium, workdir)
    stem = screenshot[:-4] if screenshot.endswith(".png") else screenshot
    try:
        browser = DevTools(browser_ws)
        browser.call("Browser.setDownloadBehavior", behavior="allow", downloadPath=downloads)
        port = browser_ws.split("//", 1)[1].split("/", 1)[0]
        with urllib.request.urlopen(f"http://{port}/json/list", timeout=30) as r:
            targets = json.load(r)
        page_ws = next(t["webSocketDebuggerUrl"] for t in targets if t["type"] == "page")
        page = DevTools(page_ws)
        page.call("Page.enable")
        page.call("Accessibility.enable")
        # A link carrying ?ask= fills the box and asks nothing by itself.
        page.call("Page.navigate", url=url + "&ask=" + urllib.parse.quote(":write victim.txt"))
        page.wait("document.readyState === 'complete' && !!document.getElementById('send')", 60,
                  "the page")
        page.wait("document.querySelector('#panel-context details') !== null", 60,
                  "the dataset panel")
        time.sleep(1.5)
        seen = {"prefilled": page.eval("document.getElementById('question').value"),
                "cells_after_link": page.eval("document.querySelectorAll('.cell').length")}
        page.eval("document.getElementById('question').value = ''")
        for i, q in enumerate(questions):
            ask_in_box(page, q)
            page.wait(f"document.querySelectorAll('.cell').length >= {i + 1}", 30,
                      "the question's cell")
        statuses_while_running = page.eval(
            "[...document.querySelectorAll('.cell .status')].map(s => s.textContent)")
        page.wait(f"document.querySelectorAll('.cell .status.done, .cell .status.failed').length"
                  f" === {len(questions)}", 180, "every answer")
        page.wait("[...document.querySelectorAll('.cell img')].every(i => i.complete)", 30,
                  "the figures")
        seen.update(page.eval("""(() => ({
          statuses: [...document.querySelectorAll('.cell .status')].map(s => s.textContent),
          questions: [...document.querySelectorAll('.cell .q .text')].map(s => s.textContent),
          logs: [...document.querySelectorAll('.cell pre.log')].map(p => p.textContent),
          images: [...document.querySelectorAll('.cell img')].map(i => i.naturalWidth),
          tables: document.querySelectorAll('.cell table').length,
          codes: document.querySelectorAll('.cell .code pre').length,
          links: [...document.querySelectorAll('.cell .out > .html a[download]')].map(a => a.getAttribute('download')),
          context: document.getElementById('panel-context').textContent,
          lang: document.documentElement.lang,
          scripts: document.querySelectorAll('.cell script').length,
          index_headers: [...document.querySelectorAll('.cell .tbl tbody tr')].filter(r => r.firstElementChild.tagName === 'TH' && /^\\d+$/.test(r.firstElementChild.textContent)).length,
          numbers: document.querySelectorAll('.cell .tbl td.num').length,
          numbers_right: [...document.querySelectorAll('.cell .tbl td.num')].every(td => getComputedStyle(td).textAlign === 'right'),
          save_buttons: [...document.querySelectorAll('.cell .q button')].map(b => b.textContent)
        }))()"""))
        seen["statuses_while_running"] = statuses_while_running
        # Sorting: the first numeric column of the first table, clicked twice.
        seen["sorted"] = page.eval("""(() => {
          const table = document.querySelector('.cell .tbl table');
          if (!table) return null;
          const td = table.querySelector('td.num');
          if (!td) return null;
          const col = [...td.parentElement.children].indexOf(td);
          const th = table.querySelectorAll('thead th')[col];
          const values = () => [...table.querySelectorAll('tbody tr')].map(r => Number(r.children[col].dataset.value));
          th.click();
          const up = values();
          th.click();
          const down = values();
          return {up, down, header: th.textContent, aria: th.getAttribute('aria-sort')};
        })()""")
        seen["copy_button"] = None
        if page.eval("!!document.querySelector('.cell .code summary button')"):
            page.eval("document.querySelector('.cell .code summary button').click()")
            seen["copy_button"] = page.wait(
                "(() => { const t = document.querySelector('.cell .code summary button')"
                ".textContent; return t === 'Copied' || t === '복사됨' ? t : null; })()", 10,
                "the copy button")
        page.wait("document.getElementById('panel-saved').textContent.trim() !== ''", 60,
                  "the saved analyses")
        # The second answer saved with its own button.
        second = questions[-1]
        page.eval("(() => { const cells = document.querySelectorAll('.cell');"
                  " cells[cells.length - 1].querySelector('.q button').click(); })()")
        seen["first_save_button"] = page.eval(
            "document.querySelector('.cell .q button').textContent")
        seen["saved_button"] = page.wait(
            "(() => { const cells = document.querySelectorAll('.cell');"
            " const b = cells[cells.length - 1].querySelector('.q button');"
            " return b && b.disabled && (b.textContent === 'Saved' || b.textContent === '저장됨')"
            " ? b.textContent : null; })()", 60, "the Save button")
        page.wait("document.getElementById('panel-saved').textContent.includes("
                  + json.dumps(second) + ")", 60, "the second answer in the saved list")
        seen["saved_panel"] = page.eval("document.getElementById('panel-saved').textContent")
        page.eval("document.getElementById('panel-report').replaceChildren();"
                  " document.getElementById('make-report').click()")
        page.wait("document.getElementById('panel-report').textContent.trim() !== ''", 60,
                  "the report")
        seen["report_links"] = page.eval(
            "[...document.querySelectorAll('#panel-report a[download]')]"
            ".map(a => a.getAttribute('download'))")
        # Downloads: the first Excel file, a figure as PNG and, from an image event that
        # carries its SVG drawing, as SVG.
        before = set(os.listdir(downloads))
        page.eval("(() => { const a = [...document.querySelectorAll('.cell a[download]')]"
                  ".find(a => a.getAttribute('download').endsWith('.xlsx')); if (a) a.click(); })()")
        seen["downloaded"] = newest_download(downloads, ".xlsx", before)
        before = set(os.listdir(downloads))
        page.eval("document.querySelector('.cell figure .dls a').click()")
        seen["png"] = newest_download(downloads, ".png", before)
        page.eval("""(() => {
          const first = document.querySelector('.cell');
          const img = first.querySelector('figure img');
          handle({type: 'image', cell: Number(first.dataset.cell), url: img.getAttribute('src'), name: 'umap_by_celltype',
                  svg: '<svg xmlns="http://www.w3.org/2000/svg" width="10" height="10"><rect width="10" height="10"/></svg>'});
        })()""")
        injected = "[...document.querySelector('.cell').querySelectorAll('figure')].pop()"
        seen["figure_links"] = page.eval(
            f"[...{injected}.querySelectorAll('a')].map(a => a.getAttribute('download'))")
        before = set(os.listdir(downloads))
        page.eval(f"[...{injected}.querySelectorAll('a')].pop().click()")
        seen["svg"] = newest_download(downloads, ".svg", before)
        seen["unnamed"] = unnamed_controls(page)
        seen["contrast"] = page.eval(CONTRAST)

        # Screenshots at three widths (the overflow at each), and in dark mode.
        seen["overflow"] = {}
        for width in (1280, 768, 390):
            seen["overflow"][str(width)] = shoot(page, f"{stem}-{width}.png", width)
        shoot(page, screenshot, 1300)
        seen["overflow"]["dark"] = shoot(page, f"{stem}-dark-1280.png", 1280, dark=True)
        shoot(page, f"{stem}-dark-390.png", 390, dark=True)
        page.call("Emulation.setDeviceMetricsOverride", width=1300, height=1000,
                  deviceScaleFactor=1, mobile=False)
        seen["contrast_dark"] = page.eval(CONTRAST)
        page.call("Emulation.setEmulatedMedia", features=[
            {"name": "prefers-color-scheme", "value": "light"}])

        # Asked from the top of a long page: the new cell's top is in sight, above the box.
        page.eval("(() => { const d = document.createElement('div'); d.style.height = '2500px';"
                  " d.id = 'spacer'; document.getElementById('cells').append(d); window.scrollTo(0, 0); })()")
        n = page.eval("document.querySelectorAll('.cell').length")
        ask_in_box(page, spec["tree_question"])
        page.wait(f"document.querySelectorAll('.cell').length > {n}", 30, "the tree question's cell")
        page.wait("!![...document.querySelectorAll('.cell')].pop().querySelector('.status.done, .status.failed')",
                  60, "the tree answer")
        time.sleep(0.3)
        seen["scroll"] = page.eval("""(() => {
          const cell = [...document.querySelectorAll('.cell')].pop();
          const r = cell.getBoundingClientRect();
          return {top: r.top, ask: document.getElementById('ask').getBoundingClientRect().top,
                  scrollY: window.scrollY};
        })()""")
        page.eval("document.getElementById('spacer').remove()")

        # Cancelled while it runs.
        n = page.eval("document.querySelectorAll('.cell').length")
        ask_in_box(page, spec["cancel_question"])
        page.wait(f"document.querySelectorAll('.cell').length > {n}", 30, "the cancelled cell")
        page.wait("!![...document.querySelectorAll('.cell')].pop().querySelector('button.cancel')", 30,
                  "the Cancel button")
        page.eval("[...document.querySelectorAll('.cell')].pop().querySelector('button.cancel').click()")
        seen["cancelled"] = page.wait(
            "(() => { const s = [...document.querySelectorAll('.cell')].pop().querySelector('.status');"
            " return s.classList.contains('cancelled') ? s.textContent : null; })()", 60,
            "the cancelled status")

        # The server stops in the middle of a question (a model call that hangs).
        n = page.eval("document.querySelectorAll('.cell').length")
        ask_in_box(page, spec["hang_question"])
        page.wait(f"document.querySelectorAll('.cell').length > {n}", 30, "the last cell")
        time.sleep(0.5)
        os.kill(spec["serve_pid"], signal.SIGTERM)
        time.sleep(0.3)
        os.kill(spec["serve_pid"], signal.SIGTERM)
        seen["lost"] = page.wait(
            "(() => { const s = [...document.querySelectorAll('.cell')].pop().querySelector('.status');"
            " return s.classList.contains('lost') ? s.textContent : null; })()", 30,
            "the lost connection in the cell")
        ask_in_box(page, "is anyone there?")
        seen["offline"] = page.wait("document.getElementById('askerr').textContent", 30,
                                    "the message at the input")
        seen["kept_in_box"] = page.eval("document.getElementById('question').value")
        # What the reader sees at the end of the page: the cut-off cell and the input.
        page.eval("window.scrollTo(0, document.documentElement.scrollHeight)")
        view = page.call("Page.captureScreenshot", format="png")
        with open(f"{stem}-stopped-1280.png", "wb") as f:
            f.write(base64.b64decode(view["data"]))
        print(json.dumps(seen, ensure_ascii=False))
    except Exception:
        # What the page showed when it went wrong, for the failure report.
        try:
            sys.stderr.write(json.dumps(page.eval(
                "[...document.querySelectorAll('.cell')].map(c => c.querySelector('.q').textContent + ' | ' +"
                " c.querySelector('.status').className + ' | ' + c.querySelector('.out').textContent.slice(0, 300))"),
                ensure_ascii=False, indent=1) + "\n" + page.eval("document.getElementById('conn').textContent") + "\n")
        except Exception:
            pass
        raise
    finally:
        proc.terminate()
        try:
            proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


if __name__ == "__main__":
    main()
