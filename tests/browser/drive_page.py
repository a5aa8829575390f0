"""Drives the norvex page in Debian's headless Chromium through the DevTools protocol.

Standard library only (run with /usr/bin/python3). Asks the questions through the page's
own question box, waits (bounded) for every cell to finish, downloads the first Excel
file by clicking its link, takes a screenshot, and prints what it saw as JSON.

usage: drive_page.py CHROMIUM URL WORKDIR SCREENSHOT QUESTION...
"""
import base64
import json
import os
import socket
import struct
import subprocess
import sys
import time
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


def main():
    chromium, url, workdir, screenshot = sys.argv[1:5]
    questions = sys.argv[5:]
    downloads = os.path.join(workdir, "downloads")
    os.makedirs(downloads, exist_ok=True)
    proc, browser_ws = start_chromium(chromium, workdir)
    try:
        browser = DevTools(browser_ws)
        browser.call("Browser.setDownloadBehavior", behavior="allow", downloadPath=downloads)
        port = browser_ws.split("//", 1)[1].split("/", 1)[0]
        with urllib.request.urlopen(f"http://{port}/json/list", timeout=30) as r:
            targets = json.load(r)
        page_ws = next(t["webSocketDebuggerUrl"] for t in targets if t["type"] == "page")
        page = DevTools(page_ws)
        page.call("Page.enable")
        page.call("Page.navigate", url=url)
        page.wait("document.readyState === 'complete' && !!document.getElementById('send')", 60,
                  "the page")
        page.wait("document.querySelector('#panel-context details') !== null", 60,
                  "the dataset panel")
        for q in questions:
            page.eval("(() => { const t = document.getElementById('question'); t.value = "
                      + json.dumps(q) + "; document.getElementById('send').click(); })()")
            page.wait(f"document.querySelectorAll('.cell').length >= "
                      f"{questions.index(q) + 1}", 30, "the question's cell")
        statuses_while_running = page.eval(
            "[...document.querySelectorAll('.cell .status')].map(s => s.textContent)")
        page.wait(f"document.querySelectorAll('.cell .status.done, .cell .status.failed').length"
                  f" === {len(questions)}", 180, "every answer")
        # Images decoded, the saved-analyses panel refreshed.
        page.wait("[...document.querySelectorAll('.cell img')].every(i => i.complete)", 30,
                  "the figures")
        seen = page.eval("""(() => ({
          statuses: [...document.querySelectorAll('.cell .status')].map(s => s.textContent),
          questions: [...document.querySelectorAll('.cell .q .text')].map(s => s.textContent),
          logs: [...document.querySelectorAll('.cell pre.log')].map(p => p.textContent),
          images: [...document.querySelectorAll('.cell img')].map(i => i.naturalWidth),
          tables: document.querySelectorAll('.cell table').length,
          codes: document.querySelectorAll('.cell .code pre').length,
          links: [...document.querySelectorAll('.cell a[download]')].map(a => a.getAttribute('download')),
          context: document.getElementById('panel-context').textContent.slice(0, 200),
          lang: document.documentElement.lang,
          scripts: document.querySelectorAll('.cell script').length
        }))()""")
        seen["statuses_while_running"] = statuses_while_running
        # The copy button of the first code block says it copied.
        seen["copy_button"] = None
        if page.eval("!!document.querySelector('.cell .code summary button')"):
            page.eval("document.querySelector('.cell .code summary button').click()")
            seen["copy_button"] = page.wait(
                "(() => { const t = document.querySelector('.cell .code summary button')"
                ".textContent; return t === 'Copied' || t === '복사됨' ? t : null; })()", 10,
                "the copy button")
        # The saved analyses (refreshed after each answer) and the Word report of them.
        page.wait("document.getElementById('panel-saved').textContent.trim() !== ''", 60,
                  "the saved analyses")
        page.eval("document.getElementById('panel-report').replaceChildren();"
                  " document.getElementById('make-report').click()")
        page.wait("document.getElementById('panel-report').textContent.trim() !== ''", 60,
                  "the report")
        seen["saved_panel"] = page.eval("document.getElementById('panel-saved').textContent")
        seen["report_links"] = page.eval(
            "[...document.querySelectorAll('#panel-report a[download]')]"
            ".map(a => a.getAttribute('download'))")
        # The first Excel link, clicked as a researcher would.
        name = page.eval("(() => { const a = [...document.querySelectorAll('.cell a[download]')]"
                         ".find(a => a.getAttribute('download').endsWith('.xlsx'));"
                         " if (!a) return null; a.click(); return a.getAttribute('download'); })()")
        seen["downloaded"] = None
        if name:
            deadline = time.time() + 30
            while time.time() < deadline:
                done = [f for f in os.listdir(downloads) if not f.endswith(".crdownload")]
                if done:
                    path = os.path.join(downloads, done[0])
                    with open(path, "rb") as f:
                        head = f.read(2)
                    seen["downloaded"] = {"name": done[0], "size": os.path.getsize(path),
                                          "head": head.decode("latin-1")}
                    break
                time.sleep(0.2)
        # The whole page as one tall screen, so the side panel sits where a reader sees it.
        height = min(page.eval("document.documentElement.scrollHeight"), 8000)
        page.call("Emulation.setDeviceMetricsOverride", width=1300, height=height,
                  deviceScaleFactor=1, mobile=False)
        page.eval("new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)))")
        height = min(page.eval("document.documentElement.scrollHeight"), 8000)
        shot = page.call("Page.captureScreenshot", format="png", captureBeyondViewport=True,
                         clip={"x": 0, "y": 0, "width": 1300, "height": height,
                               "scale": 1})
        with open(screenshot, "wb") as f:
            f.write(base64.b64decode(shot["data"]))
        # The same page in screen-sized parts, readable at a glance.
        stem = screenshot[:-4] if screenshot.endswith(".png") else screenshot
        for i, top in enumerate(range(0, height, 1000)):
            part = page.call("Page.captureScreenshot", format="png", captureBeyondViewport=True,
                             clip={"x": 0, "y": top, "width": 1300,
                                   "height": min(1000, height - top), "scale": 1})
            with open(f"{stem}-part{i + 1}.png", "wb") as f:
                f.write(base64.b64decode(part["data"]))
        print(json.dumps(seen, ensure_ascii=False))
    finally:
        proc.terminate()
        try:
            proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


if __name__ == "__main__":
    main()
