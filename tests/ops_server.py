"""A stand-in for EPO's Open Patent Services on 127.0.0.1: it answers the
token exchange and batched biblio requests with the documents of the real
recorded exchanges in shared/ops-recordings (VCR cassettes, Apache-2.0), and
plays the faults OPS documents when a test asks for them. No test reaches
the internet."""
import json
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import yaml
from lxml import etree

RECORDINGS = Path(__file__).resolve().parents[2] / "shared" / "ops-recordings"
EXCHANGE = "http://www.epo.org/exchange"
GREEN = "idle (images=green:200, inpadoc=green:60, other=green:1000, retrieval=green:200, search=green:30)"


def recorded_documents() -> dict[str, bytes]:
    """DOCDB reference → its recorded <exchange-document>, from every biblio answer."""
    found = {}
    for cassette in sorted(RECORDINGS.glob("*.yaml")):
        for exchange in yaml.safe_load(cassette.read_text(encoding="utf-8"))["interactions"]:
            response = exchange["response"]
            body = response.get("content") or (response.get("body") or {}).get("string") or ""
            if "<bibliographic-data" not in body:
                continue
            root = etree.fromstring(body.encode())
            for document in root.iter(f"{{{EXCHANGE}}}exchange-document"):
                key = ".".join(document.get(a, "") for a in ("country", "doc-number", "kind"))
                found.setdefault(key, etree.tostring(document))
    return found


def fault(code: str, message: str) -> bytes:
    return (f'<fault xmlns="http://ops.epo.org"><code>{code}</code><message>{message}</message></fault>').encode()


class StandIn:
    """The server, its counts and its plan: answers to give to the next biblio requests
    (status, headers, body, seconds to wait first) before the recorded ones."""

    def __init__(self):
        self.documents = recorded_documents()
        self.plan: list[tuple[int, dict, bytes, float]] = []
        self.tokens = 0
        self.biblio = 0
        self.seen: list[bytes] = []  # every request, whole, as it came
        self.delay = 0.0
        stand_in = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                stand_in.seen.append(str(self.headers).encode() + body)
                if self.path.endswith("/auth/accesstoken"):
                    stand_in.tokens += 1
                    return self.answer(200, {}, json.dumps({"access_token": f"token-{stand_in.tokens}",
                                                            "expires_in": "1199"}).encode())
                stand_in.biblio += 1
                if stand_in.plan:
                    status, headers, answer, wait = stand_in.plan.pop(0)
                    time.sleep(wait)
                    return self.answer(status, headers, answer)
                time.sleep(stand_in.delay)
                if self.headers.get("Authorization") != f"Bearer token-{stand_in.tokens}":
                    return self.answer(400, {}, fault("CLIENT.InvalidAccessToken", "invalid_access_token"))
                found = [stand_in.documents[r] for r in body.decode().split() if r in stand_in.documents]
                if not found:
                    return self.answer(404, {}, fault("SERVER.EntityNotFound", "No results found"))
                return self.answer(200, {}, b'<ops:world-patent-data xmlns="http://www.epo.org/exchange" '
                                   b'xmlns:ops="http://ops.epo.org"><exchange-documents>' + b"".join(found)
                                   + b"</exchange-documents></ops:world-patent-data>")

            def answer(self, status, headers, body):
                self.send_response(status)
                headers = {"X-Throttling-Control": GREEN, "Content-Type": "application/xml", **headers}
                for name, value in headers.items():
                    self.send_header(name, value)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/3.2"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()
