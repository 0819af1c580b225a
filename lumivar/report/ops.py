"""EPO's Open Patent Services (OPS 3.2): bibliographic data in batches, and
applications' numbers turned into the publications they led to.

A careful client on the standard library: its token renewed when OPS calls
it expired, the throttling colours honoured (slower on yellow and red, no
more requests on black), a spent quota ends the fetching, every request
bounded in size and in time (each read, and the whole exchange by what is
left of the step's budget), redirects never followed (a token must not
reach another host), the credentials sent only over https. An answer that
is not OPS's (a proxy's page, another service) stops the fetching. Answers
are parsed by the hardened parser; a document whose number is not one is
dropped.
"""

from __future__ import annotations

import base64
import contextlib
import http.client
import ipaddress
import json
import math
import re
import socket
import threading
import time
import urllib.error
import urllib.parse
import urllib.request
from collections.abc import Callable

from lxml import etree

from .ooxml import MAX_CELL_TEXT, parse
from .publications import OFFICES, PREFIXES, of_reference

# Publications' data by their DOCDB references, or by their applications'.
BIBLIO = "/rest-services/published-data/{}/docdb/biblio"
NUMBERS = "/rest-services/number-service/application/original/{}/docdb"
TOKEN = "/auth/accesstoken"
# A publication's INPADOC legal events, and the images OPS holds of it (an image by the link this names).
LEGAL = "/rest-services/legal/publication/docdb/{}"
IMAGES = "/rest-services/published-data/publication/docdb/{}/images"
CLIPPING = "FirstPageClipping"  # the images inquiry's instance of the first page's drawing
# Requests a minute each service takes when idle, until its answers say otherwise
# (X-Throttling-Control: "images=green:200, inpadoc=green:60", half when busy).
RATES = {"images": 200, "inpadoc": 60}
MARGIN = 1.05  # paced a little below the rate: a minute's window on the server side never sees one more
MAX_IMAGE = 2 * 1024 * 1024  # bytes of an image answer: a first-page clipping is some tens of KB
BATCH = 100  # references OPS takes in one request
TOGETHER = 4  # number-service requests at once: it answers one number a request
TIMEOUT = 10.0  # seconds, each read of an answer (the step's budget bounds the whole)
MAX_ANSWER = 16 * 1024 * 1024  # bytes
SLOWER = {"yellow": 0.5, "red": 2.0}  # seconds to wait before the next request
OPS_NS = "http://ops.epo.org"

UNREACHABLE = "無法連上 EPO Open Patent Services"
NO_HOST = "無法連上 EPO Open Patent Services (找不到主機，請檢查 LUMIVAR_OPS_URL 與網路)"
CUT = "EPO Open Patent Services 的回應中斷"
NOT_HTTP = "EPO Open Patent Services 的回應不符 HTTP 格式"
NOT_OPS = "收到的回應不是 EPO Open Patent Services 的資料 (請檢查 LUMIVAR_OPS_URL 與代理伺服器)"
BAD_URL = "LUMIVAR_OPS_URL 不是有效的網址"
PLAIN_HTTP = "LUMIVAR_OPS_URL 不是 https 網址：金鑰只經加密的連線傳送"


class Unavailable(Exception):
    """No more data now: the text says why, in the user's words."""


class Late(Unavailable):
    """The step's time ran out, this request's answer included."""


class Throttled(Unavailable):
    """One service takes no more requests now (black, or its rate exceeded); the others may."""

    def __init__(self, text: str, service: str):
        super().__init__(text)
        self.service = service


def address_problem(url: str) -> str | None:
    """Why the credentials may not go to `url`, in the user's words; None when
    they may: https, or plain http to this machine alone (a stand-in)."""
    if not url.isprintable() or any(c.isspace() for c in url):
        return BAD_URL  # a line break would end the request line
    try:
        parts = urllib.parse.urlsplit(url)
        parts.port  # noqa: B018 - raises for a port that is none
    except ValueError:
        return BAD_URL
    if parts.scheme not in ("https", "http") or not parts.hostname:
        return BAD_URL
    if parts.scheme == "http" and not _loopback(parts.hostname):
        return PLAIN_HTTP
    return None


def _loopback(host: str) -> bool:
    if host.lower() == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


_REFERENCE = re.compile(r"([A-Z]{2})\.(?:" + "|".join(PREFIXES) + r")?\d{1,15}(?:\.[A-Z]\d?)?", re.ASCII)


def reference_ok(reference: object) -> bool:
    """A DOCDB reference as the number rules allow one: an office's two letters,
    digits (after a prefix the rules know), a kind of a letter and a digit."""
    if not isinstance(reference, str):
        return False
    found = _REFERENCE.fullmatch(reference)
    return found is not None and found[1] in OFFICES


class _NoRedirects(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args, **kwargs):
        return None  # a redirect is answered as the error it is


class _Watch:
    """One exchange's connections, cut when the step's time runs out: a socket
    timeout bounds each read only, and a server sending a byte a second never
    lets one expire."""

    def __init__(self):
        self.lock = threading.Lock()
        self.connections: list = []
        self.sockets: list = []
        self.expired = False

    def connected(self, connection) -> None:
        with self.lock:
            self.sockets.append(connection.sock)  # the response reads it after the connection lets go
            late = self.expired
        if late:
            self.expire()

    def opening(self, connection) -> None:
        with self.lock:
            self.connections.append(connection)

    def expire(self) -> None:
        with self.lock:
            self.expired = True
            sockets = self.sockets + [c.sock for c in self.connections]
        for sock in sockets:
            if sock is not None:
                with contextlib.suppress(OSError):
                    sock.shutdown(socket.SHUT_RDWR)  # a blocked read returns at once


_watching = threading.local()  # the exchange this thread is making


class _Watched(urllib.request.AbstractHTTPHandler):
    def do_open(self, http_class, req, **kwargs):
        def made(*args, **options):
            connection = http_class(*args, **options)
            watch = getattr(_watching, "watch", None)
            if watch is not None:
                connect = connection.connect

                def connect_watched():
                    watch.opening(connection)
                    connect()
                    watch.connected(connection)

                connection.connect = connect_watched
            return connection

        return super().do_open(made, req, **kwargs)


class _HTTP(_Watched, urllib.request.HTTPHandler):
    pass


class _HTTPS(_Watched, urllib.request.HTTPSHandler):
    pass


def _content_type(headers: dict) -> str:
    return _header(headers, "Content-Type").split(";")[0].strip().lower()


def _is_xml(headers: dict) -> bool:
    kind = _content_type(headers)
    return kind in ("application/xml", "text/xml") or kind.endswith("+xml")


class Client:
    def __init__(
        self,
        base: str,
        key: str,
        secret: str,
        *,
        timeout: float | None = None,
        sleep: Callable[[float], None] = time.sleep,
        deadline: float | None = None,
    ):
        self.base = base.rstrip("/")
        self._basic = base64.b64encode(f"{key}:{secret}".encode()).decode()
        self._token: str | None = None
        self._token_lock = threading.Lock()  # one renewal, however many requests wait for it
        self.timeout = timeout or TIMEOUT
        self.sleep = sleep
        self.deadline = deadline  # time.monotonic() by which every exchange ends; None: each read bounded only
        self._opener = urllib.request.build_opener(_NoRedirects, _HTTP, _HTTPS)
        self._rates = dict(RATES)  # requests a minute, per paced service, as its last answer said
        self._turns: dict[str, float] = {}  # time.monotonic() of each paced service's latest request
        self._pace_lock = threading.Lock()

    def _left(self) -> float:
        return math.inf if self.deadline is None else self.deadline - time.monotonic()

    def _open(self, request: urllib.request.Request, limit: int = MAX_ANSWER) -> tuple[int, dict, bytes]:
        left = self._left()
        if left <= 0:
            raise Late("time is up")
        if left == math.inf:
            return self._exchange(request, self.timeout, limit)
        watch = _Watch()
        timer = threading.Timer(left, watch.expire)
        timer.daemon = True
        _watching.watch = watch
        timer.start()
        try:
            answer = self._exchange(request, min(self.timeout, left), limit)
        except Exception as error:
            if watch.expired:  # whatever the cut made of the answer
                raise Late("time is up") from error
            raise
        finally:
            timer.cancel()
            _watching.watch = None
        if watch.expired:  # a cut can end an answer that says nothing of its length
            raise Late("time is up")
        return answer

    def _exchange(self, request: urllib.request.Request, timeout: float, limit: int) -> tuple[int, dict, bytes]:
        """One request and its whole answer; every way the exchange can fail is Unavailable."""
        try:
            answer = self._opener.open(request, timeout=timeout)
        except urllib.error.HTTPError as error:
            answer = error
        except urllib.error.URLError as error:
            raise Unavailable(NO_HOST if isinstance(error.reason, socket.gaierror) else UNREACHABLE) from error
        except http.client.InvalidURL as error:
            raise Unavailable(BAD_URL) from error
        except OSError as error:  # refused, reset, timed out
            raise Unavailable(UNREACHABLE) from error
        except http.client.HTTPException as error:  # a status line or headers no server of HTTP sends
            raise Unavailable(NOT_HTTP) from error
        except ValueError as error:  # an address urllib cannot use
            raise Unavailable(BAD_URL) from error
        with answer:
            pieces, size = [], 0
            try:
                while piece := answer.read(64 * 1024):
                    size += len(piece)
                    if size > limit:
                        raise Unavailable("EPO Open Patent Services 的回應過大")
                    pieces.append(piece)
            except (OSError, ValueError, http.client.HTTPException) as error:  # cut off, a bad chunk
                raise Unavailable(CUT) from error
            if getattr(answer, "length", None):  # ended short of its Content-Length: http.client says nothing
                raise Unavailable(CUT)
            return answer.status if hasattr(answer, "status") else answer.code, dict(answer.headers), b"".join(pieces)

    def _renew(self) -> str:
        problem = address_problem(self.base)
        if problem:
            raise Unavailable(problem)
        request = urllib.request.Request(
            self.base + TOKEN,
            data=b"grant_type=client_credentials",
            method="POST",
            headers={"Authorization": f"Basic {self._basic}", "Content-Type": "application/x-www-form-urlencoded"},
        )
        status, headers, body = self._open(request)
        own = _content_type(headers) == "application/json" or _is_xml(headers)  # OPS's answer, or its error's
        if not own:
            raise Unavailable(NOT_OPS)
        if status != 200:
            raise Unavailable("EPO Open Patent Services 不接受設定的金鑰 (請檢查 key 與 secret)")
        try:
            token = json.loads(body)["access_token"]
        except (ValueError, KeyError, TypeError) as error:
            raise Unavailable("EPO Open Patent Services 的登入回應無法辨識") from error
        if not isinstance(token, str) or not re.fullmatch(r"[\x21-\x7e]{1,4096}", token):
            raise Unavailable("EPO Open Patent Services 的登入回應無法辨識")  # it goes into a header line
        self._token = token
        return token

    def biblio(self, references: list[str], of: str = "publication") -> bytes | None:
        """The biblio answer for up to BATCH DOCDB references ("EP.1000000.A1"),
        of publications or of applications ("US.2008086599.W": the documents
        published from them); None when OPS knows none of them."""
        request = urllib.request.Request(
            self.base + BIBLIO.format(of),
            data="\n".join(references).encode(),
            method="POST",
            headers={"Content-Type": "text/plain"},
        )
        return self._call(request, "retrieval")

    def application(self, original: str) -> bytes | None:
        """The number service's DOCDB form of an application's number as its
        office writes it (see `original`); None when OPS cannot tell."""
        path = NUMBERS.format(urllib.parse.quote(original, safe="/()."))
        return self._call(urllib.request.Request(self.base + path), "other")

    def legal(self, reference: str) -> bytes | None:
        """The INPADOC legal events of a publication ("EP.1000000.A1") and its family's
        members OPS answers with; None when OPS knows none."""
        return self._call(urllib.request.Request(self.base + LEGAL.format(reference)), "inpadoc")

    def images(self, reference: str) -> bytes | None:
        """The images inquiry of a publication: which images OPS holds and their links."""
        return self._call(urllib.request.Request(self.base + IMAGES.format(reference)), "images")

    def image(self, link: str) -> bytes | None:
        """The first page of an image the inquiry links to
        ("published-data/images/EP/1000000/PA/firstpage"), as PNG."""
        address = f"{self.base}/rest-services/{link}.png?Range=1"
        return self._call(urllib.request.Request(address), "images", accept="image/png", limit=MAX_IMAGE)

    def picture(self, address: str) -> bytes | None:
        """An image from outside OPS (a list's figure link, checked by the caller): no
        credentials go with it, and the same bounds hold; None when it is not there."""
        request = urllib.request.Request(address, headers={"Accept": "image/png,image/jpeg,image/gif,image/tiff"})
        status, headers, body = self._open(request, MAX_IMAGE)
        if status == 404:
            return None
        if status != 200 or not _content_type(headers).startswith("image/"):
            raise Unavailable(f"代表圖的網址回應錯誤 ({status})")
        return body

    def _pace(self, service: str) -> None:
        """Waits for a paced service's next turn: its requests spread evenly over each minute."""
        rate = self._rates.get(service)
        if not rate:
            return
        with self._pace_lock:
            now = time.monotonic()
            # From the last turn at the rate the service names now: a busy service's lower rate holds at once.
            last = self._turns.get(service)
            turn = now if last is None else max(now, last + 60.0 * MARGIN / rate)
            self._turns[service] = turn
        if turn > now:
            self.sleep(max(0.0, min(turn - now, self._left())))

    def _call(
        self,
        request: urllib.request.Request,
        service: str,
        accept: str = "application/xml",
        limit: int = MAX_ANSWER,
    ) -> bytes | None:
        request.add_header("Accept", accept)
        for attempt in (1, 2):
            with self._token_lock:
                token = self._token or self._renew()
            request.add_header("Authorization", f"Bearer {token}")
            self._pace(service)
            status, headers, body = self._open(request, limit)
            if status == 400 and b"invalid_access_token" in body and attempt == 1:
                with self._token_lock:
                    if self._token == token:
                        self._token = None  # expired: once more with a new one
                continue
            break
        self._throttle(headers, service)
        if status == 404 and _is_xml(headers):
            return None
        if status == 200 and (_content_type(headers) == accept or accept == "application/xml" and _is_xml(headers)):
            return body
        if status == 200 and _is_xml(headers):
            return None  # an image asked, OPS's XML answered: there is none to show
        if status in (200, 404):
            raise Unavailable(NOT_OPS)  # a proxy's page, a mistyped address: every further answer would be the same
        if status == 403:
            reason = _header(headers, "X-Rejection-Reason")
            span = {"IndividualQuotaPerHour": "每小時", "RegisteredQuotaPerWeek": "每週"}.get(reason, "")
            if not span and (reason == "ThrottlingControlQuota" or b"RobotDetected" in body):
                raise Throttled("EPO Open Patent Services 暫停接受此類請求 (流量管制)", service)
            raise Unavailable(
                f"EPO Open Patent Services 的{span}配額已用完" if span else "EPO Open Patent Services 拒絕了請求"
            )
        raise Unavailable(f"EPO Open Patent Services 回應錯誤 ({status})")

    def _throttle(self, headers: dict, service: str) -> None:
        """Honours the colour OPS gives the service asked (retrieval, other, images,
        inpadoc, …), and the rate it names for a paced one."""
        control = _header(headers, "X-Throttling-Control")
        colour, rate = next(
            (
                (part.split("=", 1)[1].split(":") + [""])[:2]
                for part in control.replace("(", ",").replace(")", ",").split(",")
                if part.strip().startswith(f"{service}=")
            ),
            ("", ""),
        )
        if service in self._rates and rate.strip().isdigit() and int(rate) > 0:
            self._rates[service] = int(rate)
        if control.strip().startswith("overloaded"):
            raise Unavailable("EPO Open Patent Services 目前暫停服務 (流量管制)")
        if colour == "black":
            if service in RATES:
                raise Throttled("EPO Open Patent Services 暫停接受此類請求 (流量管制)", service)
            raise Unavailable("EPO Open Patent Services 目前暫停服務 (流量管制)")
        if colour in SLOWER:
            self.sleep(max(0.0, min(SLOWER[colour], self._left())))


def _header(headers: dict, name: str) -> str:
    return next((v for k, v in headers.items() if k.lower() == name.lower()), "") or ""


# ---------------------------------------------------------------- the answer


class BadAnswer(ValueError):
    """An answer that is no XML."""


def _root(body: bytes):
    try:
        root = parse(body)
    except (etree.XMLSyntaxError, ValueError) as error:
        raise BadAnswer("no XML") from error
    if root.tag != f"{{{OPS_NS}}}world-patent-data":
        raise Unavailable(NOT_OPS)  # XML of some other service
    return root


def _key(element) -> str:
    """A document's DOCDB reference, "EP.1000000.A1", from its attributes or its children."""
    parts = [element.get(a) or _text(element, f"{{*}}{a}") for a in ("country", "doc-number", "kind")]
    return ".".join(p for p in parts if p)


def parse_biblio(body: bytes) -> dict[str, dict]:
    """DOCDB key ("EP.1000000.A1") → its data: titles, applicants, inventors,
    dates, IPC and CPC classes, abstract, the citations of its own search
    report, its simple family and its application's DOCDB key."""
    found = {}
    for document in _root(body).iter("{*}exchange-document"):
        key = _key(document)
        data = document.find("{*}bibliographic-data")
        if data is None or not document.get("doc-number") or not reference_ok(key):
            continue  # a number that is none would be linked and named
        title, english = _titles(data, key[:2])
        inventors = _names(data, "inventors", "inventor")
        family = document.get("family-id") or ""
        record = {
            "title": title,
            "title_en": english,
            "applicants": "；".join(_applicants(_names(data, "applicants", "applicant"), inventors)),
            "inventors": "；".join(inventors),
            "published": _date(data, "publication-reference"),
            "filed": _date(data, "application-reference"),
            "priority": min(
                (
                    d
                    for d in (
                        _text(c, "{*}document-id/{*}date")
                        for c in data.iterfind("{*}priority-claims/{*}priority-claim")
                    )
                    if d
                ),
                default="",
            ),
            "ipc": _ipc(data),
            "cpc": _cpc(data),
            "abstract": _abstract(document),
            "citations": _citations(data),
            "family": family if re.fullmatch(r"\d{1,15}", family) else "",
            "application": next(
                (
                    _key(d)
                    for d in data.iterfind("{*}application-reference/{*}document-id")
                    if d.get("document-id-type") == "docdb" and reference_ok(_key(d))
                ),
                "",
            ),
            "claims": _claims(data),
        }
        found[key] = {name: _bounded(value) for name, value in record.items()}
    return found


def _claims(data) -> str:
    """The applications a document names (its priority claims, its parents, its PCT
    application), as "US.96495207.A.20071227.;US.2008086599.W.20081212.W": the term's start
    may be theirs."""
    found = []
    for claim in data.iterfind("{*}priority-claims/{*}priority-claim"):
        for document in claim.iterfind("{*}document-id"):
            day, linkage = _text(document, "{*}date"), _text(claim, "{*}priority-linkage-type")
            key = _key(document)
            if document.get("document-id-type") != "docdb" or key.count(".") != 2 or not reference_ok(key):
                continue
            if re.fullmatch(r"\d{8}", day) and re.fullmatch(r"[A-Z0-9]{0,2}", linkage):
                found.append(f"{key}.{day}.{linkage}")
    return ";".join(dict.fromkeys(found))


def parse_images(body: bytes) -> str | None:
    """The images inquiry's link to the first page's clipping, where OPS has it as PNG."""
    for instance in _root(body).iter(f"{{{OPS_NS}}}document-instance"):
        formats = [(f.text or "").strip() for f in instance.iter(f"{{{OPS_NS}}}document-format")]
        link = instance.get("link") or ""
        if instance.get("desc") == CLIPPING and "image/png" in formats:
            if re.fullmatch(r"published-data/images/[A-Z]{2}/[A-Z0-9]{1,20}/[A-Z0-9]{1,4}/[a-z]{1,20}", link):
                return link  # it goes into an address: only the shape OPS gives
    return None


def parse_application(body: bytes) -> str | None:
    """The number service's answer: the application's DOCDB key, if it gave one."""
    for document in _root(body).iterfind("{*}standardization/{*}output/{*}application-reference/{*}document-id"):
        if document.get("document-id-type") == "docdb" and reference_ok(_key(document)):
            return _key(document)
    return None


def _ipc(data) -> str:
    """The IPC classes, each as its symbol: "G06F  15/    00  A I" → "G06F 15/00"."""
    texts = (c.findtext("{*}text") or "" for c in data.iterfind("{*}classifications-ipcr/{*}classification-ipcr"))
    return "；".join(dict.fromkeys(_symbol(t.split()) for t in texts if len(t.split()) >= 2))


def _symbol(parts: list[str]) -> str:
    group = parts[1] + parts[2] if parts[1].endswith("/") and len(parts) > 2 else parts[1]
    return f"{parts[0]} {group}"


def _text(element, path: str) -> str:
    return (element.findtext(path) or "").strip()


def _bounded(text: str) -> str:
    """One cell's worth: what a server sends may be longer than a cell holds."""
    return text if len(text) <= MAX_CELL_TEXT else text[: MAX_CELL_TEXT - 1] + "…"


def _plain(text: str) -> str:
    return " ".join(text.split())


# The language an office publishes in, where the answer may hold the title as published.
_OWN_LANGUAGE = {"CN": "zh", "TW": "zh", "JP": "ja", "KR": "ko"}


def _titles(data, country: str) -> tuple[str, str]:
    """The title to show (as published for a CN, TW, JP or KR document where
    the answer has it, else English) and the English one when that is another."""
    titles: dict[str, str] = {}
    for element in data.iterfind("{*}invention-title"):
        text = _plain("".join(element.itertext()))
        if text:
            titles.setdefault((element.get("lang") or "").split("-")[0].lower(), text)
    english = titles.get("en", "")
    title = titles.get(_OWN_LANGUAGE.get(country, "en"), "") or english or next(iter(titles.values()), "")
    return title, english if english != title else ""


def _abstract(document) -> str:
    """The abstract in the report's language where the answer has it, else English."""
    found: dict[str, str] = {}
    for element in document.iterfind("{*}abstract"):
        paragraphs = [_plain("".join(p.itertext())) for p in element.iterfind("{*}p")] or ["".join(element.itertext())]
        text = _plain(" ".join(p.replace("<IMAGE>", " ") for p in paragraphs))  # EPO's marker of a drawing
        if text:
            found.setdefault((element.get("lang") or "").split("-")[0].lower(), text)
    return found.get("zh") or found.get("en") or ""


_COUNTRY_MARK = re.compile(r"\s*\[[A-Z]{2}\]$")  # epodoc's "MICROSOFT CORP [US]"


def _names(data, group: str, party: str) -> list[str]:
    """The parties' names in their original form where the answer has it
    (DOCDB's and epodoc's are abbreviated), each once."""
    every = list(data.iterfind(f"{{*}}parties/{{*}}{group}/{{*}}{party}"))
    for form in ("original", "docdb", None):
        names = [
            _COUNTRY_MARK.sub("", _plain(a.findtext(f"{{*}}{party}-name/{{*}}name") or "")).rstrip(", ")
            for a in every
            if form is None or a.get("data-format") == form
        ]
        kept: dict[str, str] = {}
        for name in names:
            if name:
                kept.setdefault(_folded(name), name)  # "Scientific Drilling Int, Inc" and its capitals: once
        if kept:
            return list(kept.values())
    return []


def _folded(name: str) -> str:
    return re.sub(r"[\W_]+", "", name.casefold())


# Words and endings that name an organisation rather than a person.
_ORGANISATION = re.compile(
    r"\b(?:inc|incorporated|corp|corporation|co|company|companies|ltd|limited|llc|llp|lp|plc|gmbh|mbh|ag|kg|se|sa"
    r"|sas|sarl|spa|srl|bv|nv|ab|oy|oyj|kk|kabushiki|kaisha|pty|pte|univ|university|universit\w*|college|inst"
    r"|institute|institut|foundation|found|res|research|tech|technology|technologies|lab|labs|laborator\w*"
    r"|industries|industrial|ind|systems|group|holdings?|int|intl|international|electronics|electric|semiconductor"
    r"|pharma\w*|cent(?:er|re)|hospital|gesellschaft|stiftung|association|trust|government|ministry|agency|council)\b"
    r"|公司|集團|集团|大學|大学|學院|学院|研究院|研究所|中心|醫院|医院|財團法人|财团法人|社團法人|株式会社|有限会社"
    r"|合同会社|주식회사|대학교|연구원|재단",
    re.IGNORECASE,
)


def _words(name: str) -> frozenset[str]:
    return frozenset(re.findall(r"\w+", name.casefold()))


def _applicants(names: list[str], inventors: list[str]) -> list[str]:
    """Organisations before persons; only the organisations when the
    applicants include the inventors (a US document lists them all) and there
    are any."""
    inventor_words = {_words(n) for n in inventors}
    organisations, persons, inventors_among = [], [], False
    for name in names:
        if _ORGANISATION.search(name.replace(".", "")):  # "B.V.", "S.A." and "Co., Ltd." as written
            organisations.append(name)
        elif _words(name) in inventor_words:
            persons.append(name)
            inventors_among = True
        elif "," in name:  # "SMITH, JOHN": a person's name as offices write it
            persons.append(name)
        else:
            organisations.append(name)
    return organisations if inventors_among and organisations else organisations + persons


def _cpc(data) -> str:
    """The CPC classes, each as its symbol: "B28B 5/022"."""
    symbols = []
    for c in data.iterfind("{*}patent-classifications/{*}patent-classification"):
        scheme = c.find("{*}classification-scheme")
        if scheme is None or not (scheme.get("scheme") or "").upper().startswith("CPC"):
            continue
        parts = [_text(c, f"{{*}}{name}") for name in ("section", "class", "subclass", "main-group", "subgroup")]
        if all(parts):
            symbols.append(f"{parts[0]}{parts[1]}{parts[2]} {parts[3]}/{parts[4]}")
    return "；".join(dict.fromkeys(symbols))


CATEGORIES = "XYA"  # the most relevant first; the others (P, E, D, T, L, O, &) after them


def _category_rank(category: str) -> int:
    return CATEGORIES.index(category) if category in CATEGORIES else len(CATEGORIES)


def _citations(data) -> str:
    """The citations of the document's own search report by their
    categories, the most relevant first: "X: US5000000A; A: DE3546191A1,
    EP0680812A1"; a literature citation by its first words."""
    groups: dict[str, dict[str, None]] = {}
    for citation in data.iterfind("{*}references-cited/{*}citation"):
        letters = "".join((c.text or "") for c in citation.iterfind("{*}category")).upper()
        categories = sorted(dict.fromkeys(re.findall(r"[A-Z&]", letters)), key=_category_rank)
        cited = _cited(citation)
        if cited:
            groups.setdefault(",".join(categories), {})[cited] = None
    ordered = sorted(groups, key=lambda label: _category_rank(label[:1]) if label else len(CATEGORIES) + 1)
    return "; ".join((f"{label}: " if label else "") + ", ".join(groups[label]) for label in ordered)


def _cited(citation) -> str:
    for document in citation.iterfind("{*}patcit/{*}document-id"):
        if document.get("document-id-type") == "docdb":
            parts = [_text(document, f"{{*}}{name}") for name in ("country", "doc-number", "kind")]
            if reference_ok(".".join(p for p in parts if p)):
                cited = of_reference(parts[0], parts[1], parts[2] or None).id
                if cited:
                    return cited
    for document in citation.iterfind("{*}patcit/{*}document-id"):
        number = _text(document, "{*}doc-number")
        if re.fullmatch(r"[A-Z]{2}[A-Z0-9]{1,20}", number):
            return number
    text = _plain(citation.findtext("{*}nplcit/{*}text") or "").lstrip("- ")
    return text if len(text) <= 60 else text[:59] + "…"


def _date(data, reference: str) -> str:
    """The reference's date: the DOCDB document's, else any that has one."""
    documents = list(data.iterfind(f"{{*}}{reference}/{{*}}document-id"))
    documents.sort(key=lambda d: d.get("document-id-type") != "docdb")
    return next((_text(d, "{*}date") for d in documents if _text(d, "{*}date")), "")


def docdb(country: str, number: str, kind: str | None) -> str:
    """A publication as OPS names it: a US application publication with its
    year and six digits, as DOCDB writes it."""
    if country == "US" and len(number) == 11 and number.isdigit() and number[4] == "0":
        number = number[:4] + number[5:]
    return f"{country}.{number}.{kind}" if kind else f"{country}.{number}"


def original(country: str, number: str) -> str:
    """An application's number as the number service takes it: the office's
    own form, bracketed where it holds separators ("JP.(2020-123456)",
    "US.(16/123,456)"), without a check digit ("EP.99203729"); a PCT
    application as written ("PCT/US2019/012345")."""
    if number.startswith("PCT/"):
        return number
    if country in ("CN", "EP"):
        number = number.split(".")[0]  # the check digit after the dot is no part of the number
    return f"{country}.({number})" if any(c in number for c in "/,.-") else f"{country}.{number}"
