"""A stand-in for EPO's Open Patent Services on 127.0.0.1: it answers the
token exchange, batched biblio requests (by publication or by application)
and the number service with what the real recorded exchanges in
shared/ops-recordings (VCR cassettes, Apache-2.0) say, and plays the faults
OPS documents when a test asks for them. No test reaches the internet."""

import json
import re
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import yaml
from lxml import etree

RECORDINGS = Path(__file__).resolve().parents[2] / "shared" / "ops-recordings"
EXCHANGE = "http://www.epo.org/exchange"
GREEN = "idle (images=green:200, inpadoc=green:60, other=green:1000, retrieval=green:200, search=green:30)"


def recorded_answers():
    for cassette in sorted(RECORDINGS.glob("*.yaml")):
        for exchange in yaml.safe_load(cassette.read_text(encoding="utf-8"))["interactions"]:
            response = exchange["response"]
            body = response.get("content") or (response.get("body") or {}).get("string") or ""
            if body.startswith("<?xml"):
                yield etree.fromstring(body.encode())


def _docdb(document_id) -> str:
    return ".".join(document_id.findtext(f"{{{EXCHANGE}}}{a}") or "" for a in ("country", "doc-number", "kind"))


def _original(country: str, number: str) -> str:
    """An application's number as the number service is asked it, reduced to letters and digits."""
    return re.sub(r"[^A-Z0-9]", "", country + number)


def recorded_documents() -> tuple[dict[str, bytes], dict[str, str], dict[str, list[bytes]]]:
    """DOCDB reference → its recorded <exchange-document>, from every biblio
    answer; the applications' numbers the recordings convert (as the number
    service did, and as each document's application reference gives it,
    original ⇄ docdb) → the application's DOCDB reference; and each
    application's DOCDB reference → its recorded documents."""
    documents, numbers, published = {}, {}, {}
    for root in recorded_answers():
        for document in root.iter(f"{{{EXCHANGE}}}exchange-document"):
            key = ".".join(document.get(a, "") for a in ("country", "doc-number", "kind"))
            if key in documents:
                continue
            documents[key] = etree.tostring(document)
            ids = {
                d.get("document-id-type"): d
                for d in document.iterfind(
                    f".//{{{EXCHANGE}}}bibliographic-data/{{{EXCHANGE}}}application-reference/{{{EXCHANGE}}}document-id"
                )
            }
            if "docdb" in ids:
                application = _docdb(ids["docdb"])
                published.setdefault(application, []).append(documents[key])
                if "original" in ids:
                    office = "PCT" if application.endswith(".W") else application[:2]
                    numbers[_original(office, ids["original"].findtext(f"{{{EXCHANGE}}}doc-number"))] = application
        for conversion in root.iter("{http://ops.epo.org}standardization"):
            if conversion.get("outputFormat") == "docdb":
                given, made = conversion.iter(f"{{{EXCHANGE}}}document-id")
                numbers[
                    _original(
                        given.findtext(f"{{{EXCHANGE}}}country") or "", given.findtext(f"{{{EXCHANGE}}}doc-number")
                    )
                ] = _docdb(made)
    return documents, numbers, published


def conversion(application: str) -> bytes:
    """The number service's answer in the recorded shape."""
    country, number, kind = application.split(".")
    return (
        f'<ops:world-patent-data xmlns="{EXCHANGE}" xmlns:ops="http://ops.epo.org"><ops:standardization '
        f'inputFormat="original" outputFormat="docdb"><ops:output><ops:application-reference>'
        f'<document-id document-id-type="docdb"><country>{country}</country><doc-number>{number}</doc-number>'
        f"<kind>{kind}</kind></document-id></ops:application-reference></ops:output></ops:standardization>"
        f"</ops:world-patent-data>"
    ).encode()


def exchange_documents(found: list[bytes]) -> bytes:
    return (
        b'<ops:world-patent-data xmlns="http://www.epo.org/exchange" xmlns:ops="http://ops.epo.org">'
        b"<exchange-documents>" + b"".join(found) + b"</exchange-documents></ops:world-patent-data>"
    )


def fault(code: str, message: str) -> bytes:
    return (f'<fault xmlns="http://ops.epo.org"><code>{code}</code><message>{message}</message></fault>').encode()


class StandIn:
    """The server, its counts and its plan: answers to give to the next biblio requests
    (status, headers, body, seconds to wait first) before the recorded ones."""

    def __init__(self):
        self.documents, self.numbers, self.published = recorded_documents()
        self.plan: list[tuple[int, dict, bytes, float]] = []
        self.tokens = 0
        self.biblio = 0
        self.conversions = 0
        self.seen: list[bytes] = []  # every request, whole, as it came
        self.delay = 0.0
        stand_in = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_GET(self):  # the number service: application/original/{number}/docdb
                stand_in.seen.append(str(self.headers).encode() + self.path.encode())
                stand_in.conversions += 1
                if self.refused():
                    return
                asked = urllib.parse.unquote(self.path.split("/application/original/", 1)[1].rsplit("/", 1)[0])
                number = re.match(r"PCT/[^.]*|[A-Z]{2}\.(?:\([^)]*\)|[^.]*)", asked)
                application = stand_in.numbers.get(_original("", number[0] if number else asked))
                if application is None:
                    return self.answer(404, {}, fault("SERVER.EntityNotFound", "No results found"))
                return self.answer(200, {}, conversion(application))

            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                stand_in.seen.append(str(self.headers).encode() + body)
                if self.path.endswith("/auth/accesstoken"):
                    stand_in.tokens += 1
                    return self.answer(
                        200, {}, json.dumps({"access_token": f"token-{stand_in.tokens}", "expires_in": "1199"}).encode()
                    )
                stand_in.biblio += 1
                if self.refused():
                    return
                asked = body.decode().split()
                if "/published-data/application/" in self.path:
                    found = [d for r in asked for d in stand_in.published.get(r, [])]
                else:
                    found = [stand_in.documents[r] for r in asked if r in stand_in.documents]
                if not found:
                    return self.answer(404, {}, fault("SERVER.EntityNotFound", "No results found"))
                return self.answer(200, {}, exchange_documents(found))

            def refused(self) -> bool:
                """A planned answer, a slow one, or an expired token's, given; False for the ordinary one."""
                if stand_in.plan:
                    status, headers, answer, wait = stand_in.plan.pop(0)
                    time.sleep(wait)
                    self.answer(status, headers, answer)
                    return True
                time.sleep(stand_in.delay)
                if self.headers.get("Authorization") != f"Bearer token-{stand_in.tokens}":
                    self.answer(400, {}, fault("CLIENT.InvalidAccessToken", "invalid_access_token"))
                    return True
                return False

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
