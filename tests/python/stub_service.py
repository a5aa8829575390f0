"""A loopback stand-in for the OpenAI Responses service, as tests/support/stub_model_server
is for the C++ tests: scripted answers served in order, every request recorded. A request
to /chat/completions gets the same answer in the Chat Completions shape."""
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


def as_chat_completion(answer):
    """A Responses-shaped answer as a Chat Completions one (anything else unchanged)."""
    if not isinstance(answer, dict) or "output" not in answer:
        return answer
    text = "".join(c.get("text", "") for item in answer["output"]
                   for c in item.get("content", []) if c.get("type") == "output_text")
    usage = answer.get("usage") or {}
    return {"id": "chatcmpl-stub", "object": "chat.completion", "created": 1700000000,
            "model": "stub",
            "choices": [{"index": 0, "message": {"role": "assistant", "content": text},
                         "finish_reason": "stop"}],
            "usage": {"prompt_tokens": usage.get("input_tokens", 0),
                      "completion_tokens": usage.get("output_tokens", 0),
                      "total_tokens": usage.get("total_tokens", 0)}}


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
                if self.path.endswith("/chat/completions"):
                    answer = as_chat_completion(answer)
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
