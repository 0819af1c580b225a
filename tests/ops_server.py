"""A stand-in for EPO's Open Patent Services on 127.0.0.1: it answers the
token exchange, batched biblio requests (by publication, with or without
the kind, or by application) and the number service with what the real
recorded exchanges in
tests/recordings (VCR cassettes, Apache-2.0, see its README) say, and plays
the faults OPS documents, and those of a broken server or network, when a
test asks for them. No test reaches the internet."""

import copy
import functools
import json
import re
import socket
import threading
import time
import urllib.parse
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from xml.sax.saxutils import escape, quoteattr

import yaml
from lxml import etree

RECORDINGS = Path(__file__).resolve().parent / "recordings"
EXCHANGE = "http://www.epo.org/exchange"
_LOADER = getattr(yaml, "CSafeLoader", yaml.SafeLoader)
GREEN = "idle (images=green:200, inpadoc=green:60, other=green:1000, retrieval=green:200, search=green:30)"


def recorded_answers(folder: Path = RECORDINGS):
    """Every recorded XML answer, parsed; a folder without recordings is a
    broken checkout, never a stand-in that knows nothing."""
    cassettes = sorted(folder.glob("*.yaml"))
    if not cassettes:
        raise FileNotFoundError(f"no recorded OPS exchanges (*.yaml) in {folder}: the stand-in has nothing to serve")
    for cassette in cassettes:
        for exchange in yaml.load(cassette.read_text(encoding="utf-8"), Loader=_LOADER)["interactions"]:
            response = exchange["response"]
            body = response.get("content") or (response.get("body") or {}).get("string") or ""
            if isinstance(body, str):  # text; a PDF or an image is recorded as bytes
                body = body.encode()
            if body.startswith(b"<?xml"):
                yield etree.fromstring(body)


def _docdb(document_id) -> str:
    return ".".join(document_id.findtext(f"{{{EXCHANGE}}}{a}") or "" for a in ("country", "doc-number", "kind"))


def _original(country: str, number: str) -> str:
    """An application's number as the number service is asked it, reduced to letters and digits."""
    return re.sub(r"[^A-Z0-9]", "", country + number)


def _member_document(member):
    """A family answer's member as the biblio answer's document it stands for:
    its family, publication, application and priorities, all the family answer holds."""
    ids = next(
        (
            d
            for d in member.iterfind(f"{{{EXCHANGE}}}publication-reference/{{{EXCHANGE}}}document-id")
            if d.get("document-id-type") == "docdb"
        ),
        None,
    )
    if ids is None:
        return None
    parts = {a: ids.findtext(f"{{{EXCHANGE}}}{a}") or "" for a in ("country", "doc-number", "kind")}
    document = etree.Element(
        f"{{{EXCHANGE}}}exchange-document",
        {"system": "ops.epo.org", "family-id": member.get("family-id", ""), **parts},
        nsmap={None: EXCHANGE},
    )
    data = etree.SubElement(document, f"{{{EXCHANGE}}}bibliographic-data")
    for tag in ("publication-reference", "application-reference"):
        data.extend(copy.deepcopy(e) for e in member.iterfind(f"{{{EXCHANGE}}}{tag}"))
    claims = member.findall(f"{{{EXCHANGE}}}priority-claim")
    if claims:
        etree.SubElement(data, f"{{{EXCHANGE}}}priority-claims").extend(copy.deepcopy(c) for c in claims)
    return document


@functools.cache  # read once a session: a stand-in is made per test
def recorded_documents(folder: Path = RECORDINGS) -> tuple[dict[str, bytes], dict[str, str], dict[str, list[bytes]]]:
    """DOCDB reference → its recorded <exchange-document>, from every biblio
    answer (of a document recorded more than once, the fullest) and every
    family answer's members (for those no biblio answer holds); the
    applications' numbers the recorded documents' application references
    give (original → docdb) → the application's DOCDB reference; and each
    application's DOCDB reference → its recorded documents."""
    found, members = {}, {}
    for root in recorded_answers(folder):
        for document in root.iter(f"{{{EXCHANGE}}}exchange-document"):
            key = ".".join(document.get(a, "") for a in ("country", "doc-number", "kind"))
            if key not in found or _size(document) > _size(found[key]):
                found[key] = document
        for member in root.iter("{http://ops.epo.org}family-member"):
            document = _member_document(member)
            if document is not None:
                members.setdefault(".".join(document.get(a) for a in ("country", "doc-number", "kind")), document)
    documents, numbers, published = {}, {}, {}
    for key, document in {**members, **found}.items():
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
    return documents, numbers, published


def _size(element) -> int:
    return sum(1 for _ in element.iter())


def conversion(application: str) -> bytes:
    """The number service's answer in the shape OPS gives it."""
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


def exchange_document(
    country: str,
    number: str,
    kind: str,
    application: str,
    published: str = "19990101",
    biblio: str = '<invention-title lang="en">A DOCUMENT</invention-title>',
    after: str = "",
    family: str = "",
) -> bytes:
    """A document in the recorded shape, of any parts (escaped as XML, never
    checked), of a simple family where `family` names one; `biblio` closes
    its bibliographic data (its titles by default), `after` follows it (an
    abstract), both as XML in the exchange namespace."""
    part = application.split(".")
    ids = "".join(
        f"<{tag}>{escape(value)}</{tag}>" for tag, value in zip(("country", "doc-number", "kind"), part) if value
    )
    return (
        f'<exchange-document xmlns="{EXCHANGE}" country={quoteattr(country)} doc-number={quoteattr(number)} '
        f"kind={quoteattr(kind)}{f' family-id={quoteattr(family)}' if family else ''}>"
        f"<bibliographic-data><publication-reference>"
        f'<document-id document-id-type="docdb"><country>{escape(country)}</country>'
        f"<doc-number>{escape(number)}</doc-number><kind>{escape(kind)}</kind><date>{published}</date></document-id>"
        f'</publication-reference><application-reference><document-id document-id-type="docdb">{ids}</document-id>'
        f"</application-reference>{biblio}</bibliographic-data>{after}</exchange-document>"
    ).encode()


def fault(code: str, message: str) -> bytes:
    return (f'<fault xmlns="http://ops.epo.org"><code>{code}</code><message>{message}</message></fault>').encode()


@dataclass(frozen=True)
class Raw:
    """An answer written to the socket as it is, the connection closed after
    it: whole, or with `drip`, the first `at_once` bytes at once and the rest
    one byte each `drip` seconds."""

    data: bytes
    drip: float = 0.0
    at_once: int = 0


def _head(*lines: str) -> bytes:
    return ("\r\n".join(lines) + "\r\n\r\n").encode()


_OK, _XML = "HTTP/1.1 200 OK", "Content-Type: application/xml"
_EMPTY = b'<ops:world-patent-data xmlns:ops="http://ops.epo.org"/>'  # well formed: a client that waits for it has data
# Answers no server of HTTP should send, which urllib passes on as no OSError.
BROKEN = {
    "cut off mid-chunk": _head(_OK, _XML, "Transfer-Encoding: chunked") + b"400\r\n<ops:world-patent-data",
    "a chunk size that is none": _head(_OK, _XML, "Transfer-Encoding: chunked") + b"zz\r\n<x/>\r\n0\r\n\r\n",
    "cut off short of its length": _head(_OK, _XML, "Content-Length: 5000") + b"<ops:world-patent-data",
    "a garbage status line": b"SSH-2.0-OpenSSH_9.2p1\r\n\r\n",
    "a header over 64 KiB": _head(_OK, _XML, "X-Padding: " + "a" * 70_000) + _EMPTY,
    "more than 100 headers": _head(_OK, _XML, *(f"X-Header-{i}: {i}" for i in range(101))) + _EMPTY,
}
SLOW = _head(_OK, _XML, f"Content-Length: {len(_EMPTY)}") + _EMPTY


class StandIn:
    """The server, its counts and its plans: answers to give to the next
    biblio requests (status, headers, body, seconds to wait first; or a Raw
    answer) before the recorded ones, and likewise to the next number-service
    requests and token exchanges."""

    def __init__(self, recordings: Path = RECORDINGS):
        self.documents, self.numbers, self.published = recorded_documents(recordings)
        self.kinds: dict[str, list[bytes]] = {}  # a number without its kind → every kind recorded of it
        self.add({})
        self.plan: list = []
        self.number_plan: list = []
        self.token_plan: list = []
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
                if self.refused(stand_in.number_plan):
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
                    if stand_in.token_plan:
                        return self.planned(stand_in.token_plan.pop(0))
                    token = json.dumps({"access_token": f"token-{stand_in.tokens}", "expires_in": "1199"}).encode()
                    return self.answer(200, {"Content-Type": "application/json"}, token)
                stand_in.biblio += 1
                if self.refused(stand_in.plan):
                    return
                asked = body.decode().split()
                if "/published-data/application/" in self.path:
                    found = [d for r in asked for d in stand_in.published.get(r, [])]
                else:
                    # As OPS does: a reference without its kind is answered with every kind it holds.
                    found = [d for r in asked for d in stand_in.lookup(r)]
                if not found:
                    return self.answer(404, {}, fault("SERVER.EntityNotFound", "No results found"))
                return self.answer(200, {}, exchange_documents(found))

            def refused(self, plan: list) -> bool:
                """A planned answer, a slow one, or an expired token's, given; False for the ordinary one."""
                if plan:
                    self.planned(plan.pop(0))
                    return True
                time.sleep(stand_in.delay)
                if self.headers.get("Authorization") != f"Bearer token-{stand_in.tokens}":
                    self.answer(400, {}, fault("CLIENT.InvalidAccessToken", "invalid_access_token"))
                    return True
                return False

            def planned(self, item) -> None:
                if isinstance(item, Raw):
                    return self.raw(item)
                status, headers, answer, wait = item
                time.sleep(wait)
                self.answer(status, headers, answer)

            def raw(self, item: Raw) -> None:
                self.close_connection = True
                first = item.at_once if item.drip else len(item.data)
                try:
                    self.wfile.write(item.data[:first])
                    for at in range(first, len(item.data)):
                        time.sleep(item.drip)
                        self.wfile.write(item.data[at : at + 1])
                    self.connection.shutdown(socket.SHUT_WR)
                except OSError:
                    pass  # the client gave up: as it should

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
        self.thread = threading.Thread(target=self.server.serve_forever, args=(0.05,), daemon=True)  # quick to close
        self.thread.start()

    def add(self, documents: dict[str, bytes]) -> None:
        """More documents to serve (DOCDB reference → its <exchange-document>), beside the recorded ones."""
        self.documents = {**self.documents, **documents}
        self.kinds = {}
        for key, document in self.documents.items():
            self.kinds.setdefault(key.rsplit(".", 1)[0], []).append(document)

    def lookup(self, reference: str) -> list[bytes]:
        if reference.count(".") == 1:
            return self.kinds.get(reference, [])
        return [self.documents[reference]] if reference in self.documents else []

    def close(self):
        self.server.shutdown()
        self.server.server_close()
