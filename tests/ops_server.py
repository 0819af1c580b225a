"""A stand-in for EPO's Open Patent Services on 127.0.0.1: it answers the
token exchange, batched biblio requests (by publication, with or without
the kind, or by application), the number service, the legal service, the
images inquiry and the images themselves with what the real recorded
exchanges in tests/recordings (VCR cassettes, Apache-2.0, see its README)
say, and with answers of the same shape it makes itself (`LEGAL_CASES`,
clippings as PNG); it serves Google Patents' figure images under /figures;
it plays the faults OPS documents, and those of a broken server or
network, when a test asks for them, and may hold each service to its rate.
No test reaches the internet."""

import collections
import copy
import functools
import gc
import io
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
RATES = {"images": 200, "inpadoc": 60}  # what GREEN says they take a minute
# What the tests' stand-in says unless told otherwise: rates that never hold a test up (the
# benchmark and the pacing test say GREEN, OPS's own).
QUICK = GREEN.replace("images=green:200", "images=green:60000").replace("inpadoc=green:60", "inpadoc=green:60000")


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


OPS = "http://ops.epo.org"


@functools.cache
def recorded_status(folder: Path = RECORDINGS) -> tuple[dict[str, bytes], dict[str, bytes]]:
    """The recorded legal answers and images inquiries, each by the DOCDB reference it was asked for."""
    legal, images = {}, {}
    for root in recorded_answers(folder):
        for asked, into in (("patent-family", legal), ("document-inquiry", images)):
            for answer in root.iterfind(f"{{{OPS}}}{asked}"):
                ids = answer.find(f"{{{OPS}}}publication-reference/{{{EXCHANGE}}}document-id")
                # A family answer is a patent-family too: only one marked legal holds events.
                if ids is not None and (asked == "document-inquiry" or answer.get("legal") == "true"):
                    into[_docdb(ids)] = etree.tostring(root)
    return legal, images


def canonical(reference: str) -> str | None:
    """A reference as OPS takes it in a path ("EP1000000A1", "EP1000000.A1", "EP.1000000.A1") in the dotted form."""
    found = re.fullmatch(r"([A-Z]{2})\.?([A-Z]*\d+)(?:\.?([A-Z]\d?))?", reference)
    return ".".join(p for p in found.groups() if p) if found else None


def _events_xml(events) -> str:
    """INPADOC events as the legal service writes them: (code, description, gazette date, fields L5xx → value)."""
    out = []
    for code, description, day, more in events:
        fields = "".join(f'<ops:{name}EP desc="">{escape(value)}</ops:{name}EP>' for name, value in more.items())
        out.append(
            f'<ops:legal code={quoteattr(code.ljust(4))} desc={quoteattr(description)} infl=" ">'
            f'<ops:pre line="00001">{escape(code)} {escape(description)}</ops:pre>'
            f'<ops:L007EP desc="Gazette DATE">{day}</ops:L007EP><ops:L008EP>{escape(code)}</ops:L008EP>'
            f"<ops:L500EP>{fields}</ops:L500EP></ops:legal>"
        )
    return "".join(out)


def legal_answer(reference: str, events) -> bytes:
    """A legal answer of one member in the recorded answer's wrapper."""
    country, number, kind = reference.split(".")
    ids = f"<country>{country}</country><doc-number>{number}</doc-number><kind>{kind}</kind>"
    return (
        f'<?xml version="1.0" encoding="UTF-8"?><ops:world-patent-data xmlns="{EXCHANGE}" xmlns:ops="{OPS}">'
        f'<ops:patent-family legal="true" total-result-count="1"><ops:publication-reference>'
        f'<document-id document-id-type="docdb">{ids}</document-id></ops:publication-reference>'
        f'<ops:family-member family-id="1"><publication-reference><document-id document-id-type="docdb">{ids}'
        f"</document-id></publication-reference>{_events_xml(events)}</ops:family-member>"
        f"</ops:patent-family></ops:world-patent-data>"
    ).encode()


def images_inquiry(reference: str, clipping: bool = True) -> bytes:
    """An images inquiry in the recorded shape: the full document, and its first page's clipping where it has one."""
    country, number, kind = reference.split(".")
    ids = f"<country>{country}</country><doc-number>{number}</doc-number><kind>{kind}</kind>"
    first = (
        f'<ops:document-instance system="ops.epo.org" number-of-pages="1" desc="FirstPageClipping" '
        f'link="published-data/images/{country}/{number}/PA/firstpage"><ops:document-format-options>'
        "<ops:document-format>application/pdf</ops:document-format><ops:document-format>image/png"
        "</ops:document-format></ops:document-format-options></ops:document-instance>"
    )
    return (
        f'<?xml version="1.0" encoding="UTF-8"?><ops:world-patent-data xmlns="{EXCHANGE}" xmlns:ops="{OPS}">'
        f'<ops:document-inquiry><ops:publication-reference><document-id document-id-type="docdb">{ids}'
        "</document-id></ops:publication-reference><ops:inquiry-result><publication-reference>"
        f'<document-id document-id-type="docdb">{ids}</document-id></publication-reference>'
        f'<ops:document-instance system="ops.epo.org" number-of-pages="8" desc="FullDocument" '
        f'link="published-data/images/{country}/{number}/{kind}/fullimage"><ops:document-format-options>'
        "<ops:document-format>application/pdf</ops:document-format></ops:document-format-options>"
        f"</ops:document-instance>{first if clipping else ''}</ops:inquiry-result></ops:document-inquiry>"
        "</ops:world-patent-data>"
    ).encode()


def clipping(width: int = 600, height: int = 800, variant: int = 0) -> bytes:
    """A first page's clipping as OPS gives it: a black-and-white drawing, as PNG."""
    from PIL import Image, ImageDraw

    image = Image.new("1", (width, height), 1)
    draw = ImageDraw.Draw(image)
    draw.rectangle((8, 8, width - 9, height - 9), outline=0, width=6)
    draw.line((0, variant % height, width, height - variant % height), fill=0, width=5)
    draw.ellipse((width // 4, height // 4, 3 * width // 4, 3 * height // 4), outline=0, width=4)
    out = io.BytesIO()
    image.save(out, "PNG")
    return out.getvalue()


def oversized() -> bytes:
    """A PNG of a few KB that claims more pixels than any drawing needs."""
    from PIL import Image

    out = io.BytesIO()
    Image.new("1", (6000, 6000), 1).save(out, "PNG")
    return out.getvalue()


# Documents whose legal events and clippings the stand-in makes, with real
# INPADOC codes: (DOCDB reference, its application, filed, published, its
# events, what its clipping is: "png", None for none, "corrupt", "oversized").
LEGAL_CASES = {
    "TW.I600001.B": (  # a Taiwanese invention in force
        "TW.104100001.A",
        "20150105",
        "20171001",
        [
            ("GD4A", "ISSUE OF PATENT CERTIFICATE FOR GRANTED INVENTION PATENT", "2017-10-01", {}),
            ("KB4A", "RENEWAL FEE PAID FOR A GRANTED PATENT", "2024-09-30", {}),
        ],
        "png",
    ),
    "TW.M500001.U": (  # a Taiwanese utility model lapsed for its unpaid fee
        "TW.104200001.U",
        "20150105",
        "20150501",
        [
            ("KB4K", "RENEWAL FEE PAID FOR A UTILITY MODEL", "2016-01-05", {}),
            ("MM4K", "ANNULMENT OR LAPSE OF A UTILITY MODEL DUE TO NON-PAYMENT OF FEES", "2018-01-05", {}),
        ],
        "png",
    ),
    "US.9000001.B2": (  # a US grant
        "US.201314000001.A",
        "20130305",
        "20150414",
        [
            (
                "STPP",
                "INFORMATION ON STATUS: PATENT APPLICATION AND GRANTING PROCEDURE IN GENERAL",
                "2013-03-20",
                {"L510": "DOCKETED NEW CASE - READY FOR EXAMINATION"},
            ),
            ("STCF", "INFORMATION ON STATUS: PATENT GRANT", "2015-03-25", {"L510": "PATENTED CASE"}),
            ("MAFP", "MAINTENANCE FEE PAYMENT", "2018-10-01", {"L510": "PAYMENT OF MAINTENANCE FEE, 4TH YEAR"}),
        ],
        "png",
    ),
    "EP.3100000.A1": (  # a European application withdrawn
        "EP.15000001.A",
        "20150105",
        "20161207",
        [
            ("17P", "REQUEST FOR EXAMINATION FILED", "2017-06-14", {}),
            (
                "STAA",
                "INFORMATION ON THE STATUS OF AN EP PATENT APPLICATION OR GRANTED EP PATENT",
                "2017-05-12",
                {"L510": "STATUS: REQUEST FOR EXAMINATION WAS MADE"},
            ),
            ("18W", "APPLICATION WITHDRAWN", "2019-02-20", {}),
            (
                "STAA",
                "INFORMATION ON THE STATUS OF AN EP PATENT APPLICATION OR GRANTED EP PATENT",
                "2019-02-20",
                {"L510": "STATUS: THE APPLICATION HAS BEEN WITHDRAWN"},
            ),
        ],
        None,  # and a document without a clipping
    ),
    "CN.305000001.S": (  # a Chinese design
        "CN.201830000001.S",
        "20180105",
        "20180601",
        [("GR01", "PATENT GRANT", "2018-06-01", {})],
        "corrupt",
    ),
    "JP.6000001.B2": (  # a Japanese patent granted; its clipping too large to use
        "JP.2015000001.A",
        "20150105",
        "20170105",
        [("R150", "CERTIFICATE OF PATENT OR REGISTRATION OF UTILITY MODEL", "2017-01-05", {})],
        "oversized",
    ),
}


def legal_documents() -> dict[str, bytes]:
    """The biblio documents of LEGAL_CASES, for the stand-in to add."""
    return {
        key: exchange_document(*key.split("."), application, published, filed=filed)
        for key, (application, filed, published, _, _) in LEGAL_CASES.items()
    }


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
    filed: str = "",
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
        f'</publication-reference><application-reference><document-id document-id-type="docdb">{ids}'
        f"{f'<date>{filed}</date>' if filed else ''}</document-id>"
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
        # An earlier test's Tk objects, left in reference cycles, must die on this thread: collected by a
        # handler's or the client's thread, Tcl aborts the process ("Tcl_AsyncDelete: wrong thread").
        gc.collect()
        self.documents, self.numbers, self.published = recorded_documents(recordings)
        self.kinds: dict[str, list[bytes]] = {}  # a number without its kind → every kind recorded of it
        self.add({})
        self.plan: list = []
        self.number_plan: list = []
        self.token_plan: list = []
        self.tokens = 0
        self.biblio = 0
        self.conversions = 0
        # The legal service and the images (inquiries, images and figures), their own answers and counts.
        recorded_legal, recorded_images = recorded_status(recordings)
        self.legal_answers = dict(recorded_legal)
        self.inquiries = dict(recorded_images)
        self.clippings: dict[str, bytes] = {}  # "EP/1000000" → its first page's image
        self.figures: dict[str, bytes] = {}  # a figure's path under /figures → its image
        for key, (_, _, _, events, image) in LEGAL_CASES.items():
            self.legal_answers[key] = legal_answer(key, events)
            self.inquiries[key] = images_inquiry(key, clipping=image is not None)
            if image:
                made = {"png": clipping(variant=len(self.clippings)), "corrupt": b"\x89PNG\r\n\x1a\n" + b"\0" * 400}
                made["oversized"] = oversized() if image == "oversized" else b""
                self.clippings["/".join(key.split(".")[:2])] = made[image]
        for key in recorded_images:
            self.clippings["/".join(key.split(".")[:2])] = clipping(variant=len(self.clippings))
        self.add(legal_documents())
        self.legal = 0
        self.images = 0  # inquiries and images
        self.figure_requests = 0
        self.legal_plan: list = []
        self.images_plan: list = []
        self.rates: dict[str, int] | None = None  # requests a minute each service takes; None: any number
        self.asked: dict[str, collections.deque] = {"inpadoc": collections.deque(), "images": collections.deque()}
        self.refused = 0  # requests over a service's rate
        self.throttling = QUICK  # what every answer says of the services' colours and rates
        self.rate_lock = threading.Lock()
        self.seen: list[bytes] = []  # every request, whole, as it came
        self.delay = 0.0
        stand_in = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_GET(self):
                stand_in.seen.append(str(self.headers).encode() + self.path.encode())
                path = urllib.parse.urlsplit(self.path).path
                if path.startswith("/figures/"):
                    return self.figure(path)
                if "/rest-services/legal/" in path:
                    return self.status("inpadoc", path)
                if "/rest-services/published-data/images/" in path or path.endswith("/images"):
                    return self.status("images", path)
                return self.number()

            def figure(self, path: str):
                """Google Patents' figure images: no credentials, no throttling."""
                stand_in.figure_requests += 1
                time.sleep(stand_in.delay)
                image = stand_in.figures.get(path.removeprefix("/figures"))
                if image is None:
                    return self.answer(404, {"Content-Type": "text/html"}, b"<html>Not Found</html>")
                return self.answer(200, {"Content-Type": "image/png"}, image)

            def status(self, service: str, path: str):
                """The legal service, the images inquiry and the images."""
                if service == "inpadoc":
                    stand_in.legal += 1
                else:
                    stand_in.images += 1
                if self.refused(stand_in.legal_plan if service == "inpadoc" else stand_in.images_plan):
                    return
                if stand_in.over_rate(service):
                    black = re.sub(rf"{service}=\w+:\d+", f"{service}=black:0", stand_in.throttling)
                    headers = {"X-Throttling-Control": black, "X-Rejection-Reason": "ThrottlingControlQuota"}
                    return self.answer(403, headers, fault("CLIENT.RobotDetected", "Recent activity is too high"))
                if "/published-data/images/" in path:  # an image: .../images/EP/1000000/PA/firstpage.png
                    parts = path.split("/published-data/images/", 1)[1].split("/")
                    image = stand_in.clippings.get("/".join(parts[:2]))
                    if image is None or not path.endswith("/PA/firstpage.png"):
                        return self.answer(404, {}, fault("SERVER.EntityNotFound", "No results found"))
                    return self.answer(200, {"Content-Type": "image/png"}, image)
                asked = path.rstrip("/").rsplit("/", 2 if path.endswith("/images") else 1)[1]
                answers = stand_in.legal_answers if service == "inpadoc" else stand_in.inquiries
                key = canonical(asked) or ""
                found = answers.get(key)
                if found is None and service == "inpadoc":  # INPADOC keeps events by application: any kind
                    number = ".".join(key.split(".")[:2])
                    found = next((a for k, a in answers.items() if k.startswith(number + ".")), None)
                if found is None:
                    return self.answer(404, {}, fault("SERVER.EntityNotFound", "No results found"))
                return self.answer(200, {}, found)

            def number(self):  # the number service: application/original/{number}/docdb
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
                headers = {"X-Throttling-Control": stand_in.throttling, "Content-Type": "application/xml", **headers}
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

    def over_rate(self, service: str) -> bool:
        """Whether this request is more than the service takes in a minute (as OPS counts it)."""
        if self.rates is None:
            return False
        with self.rate_lock:
            now = time.monotonic()
            asked = self.asked[service]
            while asked and asked[0] <= now - 60.0:
                asked.popleft()
            if len(asked) >= self.rates[service]:
                self.refused += 1
                return True
            asked.append(now)
            return False

    def lookup(self, reference: str) -> list[bytes]:
        if reference.count(".") == 1:
            return self.kinds.get(reference, [])
        return [self.documents[reference]] if reference in self.documents else []

    def close(self):
        self.server.shutdown()
        self.server.server_close()
