"""A loopback stand-in for the OpenAI Responses service, as tests/support/stub_model_server
is for the C++ tests: scripted answers served in order, every request recorded."""
import json
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


def openai_response(text, input_tokens=10, output_tokens=5):
    return {
        "id": "resp_stub", "object": "response", "status": "completed",
        "output": [{"type": "message", "id": "msg_stub", "status": "completed",
                    "role": "assistant",
                    "content": [{"type": "output_text", "text": text, "annotations": []}]}],
        "usage": {"input_tokens": input_tokens, "output_tokens": output_tokens,
                  "total_tokens": input_tokens + output_tokens},
    }


def router_record(flags=None, **fields):
    """A routing record with every flag false unless given (like the C++ fixture)."""
    all_flags = {k: False for k in ("info", "plot", "table_summary", "explain_data",
                                    "explain_general", "specific_pathway", "save", "tree",
                                    "args", "code", "reportgen", "recurrent_query")}
    all_flags.update(flags or {})
    record = {"kind": "plan", "flags": all_flags, "selected_tool": "none", "confidence": 9,
              "target_analysis": "none", "target_celltype": "none", "query_item": "none",
              "plot_type": "none", "plot_type_to_draw": "none", "reference_plot_type": "none",
              "tree_target": "not_specified", "questions": []}
    record.update(fields)
    return record


class StubService:
    def __init__(self):
        self.queue = []  # (status, body, delay seconds)
        self.requests = []
        self.lock = threading.Lock()
        stub = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_POST(self):
                length = int(self.headers.get("content-length", 0))
                body = self.rfile.read(length)
                with stub.lock:
                    stub.requests.append({"path": self.path, "headers": dict(self.headers),
                                          "body": json.loads(body or b"null")})
                    item = stub.queue.pop(0) if stub.queue else (
                        500, {"error": {"message": "no scripted answer left"}}, 0)
                status, answer, delay = item
                if delay:
                    time.sleep(delay)
                data = json.dumps(answer).encode()
                self.send_response(status)
                self.send_header("content-type", "application/json")
                self.send_header("content-length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    @property
    def base_url(self):
        return f"http://127.0.0.1:{self.server.server_address[1]}"

    def answer(self, text, delay=0):
        """Queues one model answer (a JSON value is sent as its JSON text)."""
        if not isinstance(text, str):
            text = json.dumps(text, ensure_ascii=False)
        with self.lock:
            self.queue.append((200, openai_response(text), delay))

    def fail(self, status, message):
        with self.lock:
            self.queue.append((status, {"error": {"message": message}}, 0))

    def close(self):
        self.server.shutdown()
        self.server.server_close()


if __name__ == "__main__":
    # For the notebook test: serves answers scripted in a JSON file (a list of texts or
    # values), printing the base URL on its first line.
    import sys

    s = StubService()
    for a in json.load(open(sys.argv[1], encoding="utf-8")):
        s.answer(a)
    print(s.base_url, flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        s.close()
