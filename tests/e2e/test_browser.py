"""The browser bridge through the real Ordane.exe and a real browser: headless Chromium loads a
page from an allowed origin on the loopback, connects to ws://127.0.0.1:<port>/readings and
receives the hello, a barcode and a card record; a page of another origin is refused; without
the [BRIDGE] section nothing listens, and with its port taken the scanner works on. The
browser's Local Network Access rules are proved against the same bridge: which pages it lets
reach the loopback, with and without the administrator's policies."""

import base64
import hashlib
import json
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import tempfile
import threading
import time
import unittest
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import quote

from harness import ARCH, RUN_KEY, UPLOAD_KEY, PtyPort, Program, Target, ini_bytes, keep_registry, \
    needs_32bit_programs, parse_ini, prefix, reg_delete, reg_get, reg_set, settings, wait_until
from sim.card_reader import CardReaderSim
from sim.scanner import ScannerSim
import test_card_reader
from test_card_reader import CARD, FOREIGN, PERMIT, SAM_ID, card_text, foreign_text, permit_text
from test_installer import CHROME_LNA, allow_list, run, setup_exe, uninstall

POLICY_KEY = r"HKLM\Software\Policies\Ordane\BRIDGE"

PAGE = """<!doctype html><html><head><title>counter</title></head><body><script>
const got = [];
let opened = false;
const report = (closed) => fetch("/report", {method: "POST",
    body: JSON.stringify({opened, closed, got})});
const ws = new WebSocket("ws://127.0.0.1:%(port)d/readings");
ws.onopen = () => { opened = true; fetch("/connected"); };
ws.onmessage = (e) => {
  const message = JSON.parse(e.data);
  got.push(message);
  if (message.type === "card") report(null);
};
ws.onclose = (e) => report(e.code);
</script></body></html>"""


# A page that connects again a second after each close, as docs/browser.md tells pages to; it
# reports the first close's code and reason.
RECONNECTING = """<!doctype html><html><head><title>counter</title></head><body><script>
let reported = false;
function connect() {
  const ws = new WebSocket("ws://127.0.0.1:%(port)d/readings");
  ws.onopen = () => fetch("/connected");
  ws.onclose = (e) => {
    if (!reported) {
      reported = true;
      fetch("/report", {method: "POST", body: JSON.stringify({code: e.code, reason: e.reason})});
    }
    setTimeout(connect, 1000);
  };
}
connect();
</script></body></html>"""


# A page that shows what the browser let it do: whether it is a secure context, how the browser
# answers a query of each local network permission name, and the bridge's hello or the close.
LNA_PAGE = """<!doctype html><html><head><title>counter</title></head><body><script>
const shown = {secure: isSecureContext, permissions: {}};
const report = () => fetch("/report", {method: "POST", body: JSON.stringify(shown)});
(async () => {
  for (const name of ["local-network-access", "loopback-network", "local-network"]) {
    shown.permissions[name] = await navigator.permissions.query({name})
        .then((p) => p.state, (e) => e.name);
  }
  const ws = new WebSocket("ws://127.0.0.1:%(port)d/readings");
  ws.onmessage = (e) => { shown.hello = JSON.parse(e.data); ws.close(); report(); };
  ws.onclose = (e) => { if (!shown.hello) { shown.closed = e.code; report(); } };
})();
</script></body></html>"""

# A loopback page that, once the bridge sent it the hello, goes on to the page in its query: the
# proof, in the browser and under the policy of the page after it, that the bridge let pages in.
LEADING = """<!doctype html><html><head><title>counter</title></head><body><script>
const ws = new WebSocket("ws://127.0.0.1:%(port)d/readings");
ws.onmessage = () => fetch("/connected").then(() => {
  location.href = new URLSearchParams(location.search).get("next");
});
</script></body></html>"""

# A page of another site that shows a counter page in an iframe, handing it what `allow` names.
FRAMING = """<!doctype html><html><head><title>portal</title></head><body>
<iframe src="%(inner)s/" allow="%(allow)s"></iframe></body></html>"""

# The page's permission names in the order of the states the table below expects.
PERMISSIONS = ("local-network-access", "loopback-network", "local-network")
PRIVATE = "10.77.0.1"  # RFC 1918, as a hospital's intranet
PUBLIC = "198.51.100.7"  # documentation range, which Chromium classes public as any other
PORTAL = "198.51.100.8"  # another public site, showing the counter page in an iframe
LNA_ALLOWED = "LocalNetworkAccessAllowedForUrls"
LOOPBACK_ALLOWED = "LoopbackNetworkAllowedForUrls"


def own_network_namespace() -> bool:
    """Root in a network namespace of its own (as run.py's workers: the loopback is its only
    interface), where addresses may be added without touching the machine's network."""
    return os.geteuid() == 0 and [name for _, name in socket.if_nameindex()] == ["lo"]


def log_folders() -> list:
    return [p for pattern in test_card_reader.DiagnosticLogTest.LOG_FOLDERS
            for p in prefix().drive_c.glob(pattern)]


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class PageServer:
    """The business application's page on 127.0.0.1 or `host` (python http.server), over https
    with `tls`; the page reports what it received back to it."""

    def __init__(self, bridge_port: int, template: str = PAGE, host: str = "127.0.0.1",
                 tls: ssl.SSLContext | None = None):
        self.connected = threading.Event()
        self.reported = threading.Event()
        self.report = None
        page = (template % {"port": bridge_port}).encode()
        outer = self

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):
                if self.path == "/connected":
                    outer.connected.set()
                self.answer(page if self.path.partition("?")[0] == "/" else b"ok")

            def do_POST(self):
                body = self.rfile.read(int(self.headers["Content-Length"]))
                if not outer.reported.is_set():
                    outer.report = json.loads(body)
                    outer.reported.set()
                self.answer(b"ok")

            def answer(self, body):
                self.send_response(200)
                self.send_header("Content-Type", "text/html; charset=utf-8")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer((host, 0), Handler)
        self.port = self.server.server_address[1]
        if tls:
            self.server.socket = tls.wrap_socket(self.server.socket, server_side=True)
        self.origin = f"{'https' if tls else 'http'}://{host}:{self.port}"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def reset(self):
        """Forgets what the page showed before, for the next showing."""
        self.connected.clear()
        self.report = None
        self.reported.clear()

    def wait_report(self, timeout=60) -> dict:
        if not self.reported.wait(timeout):
            raise TimeoutError("the page reported nothing")
        return self.report

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class Browser:
    """Headless Chromium showing one page until closed (headless, it shows no page when given
    more). With `policy` (name: value) it runs as a managed browser: in a mount namespace of its
    own, where a fresh folder holding the policy file covers /etc/chromium, so that neither the
    machine nor another test's browser sees it (as root)."""

    def __init__(self, url: str, policy: dict | None = None, args: tuple = ()):
        self.profile = tempfile.mkdtemp(prefix="ordane-chromium-")
        command = ["chromium", "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                   "--disable-background-networking", "--disable-component-update",
                   "--disable-sync", f"--user-data-dir={self.profile}", *args, url]
        if policy is not None:
            etc = os.path.join(self.profile, "etc")
            os.makedirs(os.path.join(etc, "policies", "managed"))
            if os.path.exists("/etc/chromium/master_preferences"):
                shutil.copy("/etc/chromium/master_preferences", etc)
            with open(os.path.join(etc, "policies", "managed", "ordane.json"), "w") as f:
                json.dump(policy, f)
            command = ["unshare", "-m", "--propagation", "private", "sh", "-c",
                       'mount --bind "$0" /etc/chromium && exec "$@"', etc, *command]
        # Its own process group, and its temporary files inside the profile, so that close()
        # ends every process of it and leaves nothing behind in /tmp.
        self.process = subprocess.Popen(command, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL, start_new_session=True,
                                        env={**os.environ, "TMPDIR": self.profile})

    def close(self):
        try:
            os.killpg(self.process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.process.wait()
        # The renderers die a moment after the browser and may still write to the profile.
        deadline = time.monotonic() + 5
        while os.path.exists(self.profile) and time.monotonic() < deadline:
            shutil.rmtree(self.profile, ignore_errors=True)
            time.sleep(0.05)


# A resident card's text: its citizen number's check character is right.
RESIDENT = CARD[:5] + ("110101199001011237",) + CARD[6:]
RECORD = ("SFZXX_2.0|张三|1|01|19900101|北京市东城区 景山前街4号|110101199001011237|"
          "北京市公安局东城分局|20100101|20300101|")


def handshake(port: int, origin: str) -> str:
    """The status line the bridge answers a WebSocket handshake from `origin` with; "" when
    nothing listens."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
            s.sendall((f"GET /readings HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket"
                       "\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ=="
                       f"\r\nSec-WebSocket-Version: 13\r\nOrigin: {origin}\r\n\r\n").encode())
            answer = b""
            while b"\r\n" not in answer and (chunk := s.recv(4096)):
                answer += chunk
        return answer.split(b"\r\n")[0].decode()
    except ConnectionRefusedError:
        return ""


class RawPage:
    """A page as a bare WebSocket client of `origin`: it reads the messages and sends text."""

    def __init__(self, port: int, origin: str, host: str = "127.0.0.1"):
        self.socket = socket.create_connection((host.strip("[]"), port), timeout=10)
        self.socket.sendall((f"GET /readings HTTP/1.1\r\nHost: {host}:{port}\r\nUpgrade: "
                             "websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: "
                             "dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                             f"Origin: {origin}\r\n\r\n").encode())
        self.stream = self.socket.makefile("rb")
        head = b""
        while not head.endswith(b"\r\n\r\n"):
            head += self.stream.read(1) or b"\r\n\r\n"
        if not head.startswith(b"HTTP/1.1 101 "):
            raise AssertionError(f"not let in: {head!r}")

    def next(self, kind: str) -> dict:
        """The next message of this type (its hello first), those before it passed over."""
        while True:
            length = self.stream.read(2)[1] & 0x7F
            if length == 126:
                length = int.from_bytes(self.stream.read(2), "big")
            message = json.loads(self.stream.read(length))
            if message["type"] == kind:
                return message

    def send(self, text: str):
        payload, mask = text.encode(), b"\x01\x02\x03\x04"
        self.socket.sendall(bytes([0x81, 0x80 | len(payload)]) + mask +
                            bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))


def self_signed(addresses: tuple, folder: str) -> tuple[ssl.SSLContext, str]:
    """A server context with a certificate for `addresses` made now, and the base64 SHA-256 of
    its public key, which --ignore-certificate-errors-spki-list takes."""
    cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
    names = ",".join(f"IP:{address}" for address in addresses)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:P-256", "-nodes", "-keyout", key, "-out", cert, "-days",
                    "2", "-subj", "/CN=counter", "-addext", f"subjectAltName={names}"],
                   check=True, capture_output=True)
    public = subprocess.run(["openssl", "x509", "-in", cert, "-pubkey", "-noout"], check=True,
                            capture_output=True).stdout
    der = subprocess.run(["openssl", "pkey", "-pubin", "-outform", "der"], input=public,
                         check=True, capture_output=True).stdout
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context, base64.b64encode(hashlib.sha256(der).digest()).decode()


def bridge_ini(port: int, origins: str, **bcinfo) -> bytes:
    return ini_bytes(settings(**bcinfo)) + (
        f"[BRIDGE]\r\nEnabled=1\r\nPort={port}\r\nOrigins={origins}\r\n").encode()


class BrowserBridgeTest(unittest.TestCase):
    def setUp(self):
        keep_registry(self, UPLOAD_KEY, "upload")
        reg_set(UPLOAD_KEY, "upload", "1")
        self.port = free_port()
        self.page = PageServer(self.port)
        self.addCleanup(self.page.close)
        self.origin = f"http://127.0.0.1:{self.page.port}"

    def test_an_allowed_page_gets_the_hello_a_barcode_and_a_card_with_its_fields(self):
        ini = bridge_ini(self.port, f"https://counter.example.gov.cn,{self.origin}", Port=4,
                         UsePort2=1, Port2=3)
        with PtyPort(4) as scanner_port, ScannerSim(scanner_port, "HHP") as scanner, \
                PtyPort(3) as reader_port, CardReaderSim(reader_port, "华视"), \
                Target() as target, Program(ini, sdtapi=True, reader={"samid": SAM_ID}) as app:
            app.wait_label(12, "等待读卡器发送信息...")
            app.wait_label(1, "等待扫描仪发送信息...")
            browser = Browser(self.origin + "/")
            self.addCleanup(browser.close)
            self.assertTrue(self.page.connected.wait(60), "the page did not connect")
            target.focus()
            scanner.send_scan("6901234567892")
            target.wait_typed("6901234567892<ENTER>")
            app.set_reader(samid=SAM_ID, card=card_text(*RESIDENT))
            shown = self.page.wait_report()
            app.set_reader(samid=SAM_ID)
            app.exit()
        self.assertEqual((shown["opened"], shown["closed"]), (True, None))
        got = shown["got"]
        # Every message is numbered in order and has the time it was sent.
        seqs = [m.pop("seq") for m in got]
        self.assertEqual(seqs, list(range(seqs[0], seqs[0] + len(got))))
        self.assertTrue(all(abs(m.pop("time") / 1000 - time.time()) < 600 for m in got))
        self.assertEqual(got[0]["type"], "hello")
        self.assertIs(got[0]["typeScans"], True)
        self.assertEqual(got[0]["scanner"], {"state": "ready", "status": "等待扫描仪发送信息...",
                                             "model": "IT4600Q"})
        # Started ("初始化完成,读卡器开始工作") or polled since ("等待读卡器发送信息..."): ready.
        self.assertEqual((got[0]["reader"]["state"], got[0]["reader"]["model"]),
                         ("ready", "CVR-100U"))
        self.assertIn(got[0]["reader"]["status"], ("初始化完成,读卡器开始工作", "等待读卡器发送信息..."))
        self.assertIn({"type": "scan", "text": "6901234567892", "delivery": "keys",
                       "typed": True, "delivered": True}, got)
        cards = [m for m in got if m["type"] == "card"]
        self.assertTrue(cards)
        self.assertEqual(cards[0], {
            "type": "card", "cardKind": "resident", "record": RECORD, "name": "张三", "sex": "1",
            "nation": "01", "birthDate": "19900101", "address": "北京市东城区 景山前街4号",
            "idNumber": "110101199001011237", "issuer": "北京市公安局东城分局",
            "validFrom": "20100101", "validTo": "20300101", "extra": "", "delivered": True})

    def test_pages_get_each_kind_of_card_and_one_connected_later_asks_for_the_card_there(self):
        ini = bridge_ini(self.port, self.origin, UsePort1=0, UsePort2=1, Port2=3)
        with PtyPort(3) as reader_port, CardReaderSim(reader_port, "华视"), Target() as target, \
                Program(ini, sdtapi=True, reader={"samid": SAM_ID}) as app:
            app.wait_label(12, "等待读卡器发送信息...")
            page = RawPage(self.port, self.origin)
            self.addCleanup(page.socket.close)
            app.set_reader(samid=SAM_ID, card=foreign_text(*FOREIGN))
            foreign = page.next("card")
            app.wait_label(13, "此证件不是居民身份证,未写入业务系统")
            app.pass_turns(10)  # a second of polls with the card on the reader
            self.assertEqual(target.texts(), [])
            app.set_reader(samid=SAM_ID, card=permit_text(*PERMIT))
            permit = page.next("card")
            record = target.wait_texts(1)[0]
            # A page reloaded with the card laid, and dialling localhost as [::1].
            later = RawPage(self.port, self.origin, "[::1]")
            self.addCleanup(later.socket.close)
            later.send('{"type":"readCard"}')
            asked = later.next("card")
            app.set_reader(samid=SAM_ID)
            page.next("cardRemoved")
            later.send('{"type":"readCard"}')
            later.next("noCard")
            app.exit()
        names = ("englishName", "sex", "permitNumber", "nationality", "chineseName", "validFrom",
                 "validTo", "birthDate", "cardVersion", "authorityCode")
        self.assertEqual({k: foreign[k] for k in foreign if k not in ("seq", "time")},
                         {"type": "card", "cardKind": "foreignPermanent", "record": "",
                          **dict(zip(names, FOREIGN)), "text": foreign_text(*FOREIGN),
                          "delivered": False})
        self.assertEqual(record, "SFZXX_2.0|" + "|".join(PERMIT[:9]) + "|H1234567801   J")
        self.assertEqual((permit["cardKind"], permit["passNumber"], permit["issueCount"],
                          permit["record"], permit["delivered"]),
                         ("hmtResidencePermit", "H12345678", "01", record, True))
        self.assertEqual(asked["record"], record)

    def test_origins_written_by_policy_as_a_multi_string_are_each_allowed(self):
        for name in ("Enabled", "Origins", "Port"):
            keep_registry(self, POLICY_KEY, name)
        reg_set(POLICY_KEY, "Enabled", 1, "dword")
        reg_set(POLICY_KEY, "Port", self.port, "dword")
        reg_set(POLICY_KEY, "Origins", f"https://counter.example.gov.cn\n{self.origin}", "multi")
        with Program(settings(UsePort1=0)) as app:
            wait_until(lambda: handshake(self.port, self.origin).startswith("HTTP/1.1 101 "), 10,
                       what="the bridge letting the page in")
            app.exit()

    def test_pages_connect_again_within_10_s_when_ordane_is_ended_and_started_at_once(self):
        page = PageServer(self.port, RECONNECTING)
        self.addCleanup(page.close)
        origin = f"http://127.0.0.1:{page.port}"
        ini = bridge_ini(self.port, origin, UsePort1=0)
        with Program(ini) as app:
            app.wait_label(1, "")
            browser = Browser(origin + "/")
            self.addCleanup(browser.close)
            self.assertTrue(page.connected.wait(60), "the page did not connect")
            page.connected.clear()
            app.exit()
        # The page was told why: Ordane ended.
        self.assertEqual(page.wait_report(10), {"code": 1001, "reason": "Ordane is closing"})
        with Program(ini) as app:
            self.assertTrue(page.connected.wait(10), "the page did not connect again in 10 s")
            app.exit()

    def test_a_page_of_another_origin_is_refused(self):
        # The same page, but its origin is http://localhost:<port>, which is not listed.
        with Program(bridge_ini(self.port, self.origin, UsePort1=0)) as app:
            app.wait_label(1, "")
            # Listening, and answering the listed origin: the refusal below is the bridge's.
            wait_until(lambda: handshake(self.port, self.origin), 10, what="the bridge listening")
            self.assertTrue(handshake(self.port, self.origin).startswith("HTTP/1.1 101 "))
            other = f"http://localhost:{self.page.port}"
            self.assertTrue(handshake(self.port, other).startswith("HTTP/1.1 403 "))
            browser = Browser(other + "/")
            self.addCleanup(browser.close)
            shown = self.page.wait_report()
            app.exit()
        # 1006: the browser's code for a handshake that failed (the 403 above).
        self.assertEqual(shown, {"opened": False, "closed": 1006, "got": []})
        self.assertFalse(self.page.connected.is_set())

    def test_without_the_section_nothing_listens_and_a_taken_port_leaves_the_scanner_working(self):
        with Program(settings(UsePort1=0)) as app:
            app.wait_label(1, "")
            with self.assertRaises(ConnectionRefusedError):
                socket.create_connection(("127.0.0.1", 17520), timeout=5).close()
            app.exit()
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", self.port))
            taken.listen()
            with PtyPort(10) as port, ScannerSim(port, "HHP") as scanner, Target() as target, \
                    Program(bridge_ini(self.port, self.origin, Port=10)) as app:
                app.wait_label(1, "等待扫描仪发送信息...")
                target.focus()
                scanner.send_scan("123")
                target.wait_typed("123<ENTER>")
                app.exit()
        # Another program that holds [::1] would get the pages that dial localhost: the bridge
        # does not listen at all, and the log says why.
        with socket.socket(socket.AF_INET6) as taken:
            taken.bind(("::1", self.port))
            taken.listen()
            with Program(bridge_ini(self.port, self.origin, UsePort1=0)) as app:
                wait_until(lambda: [f for f in log_folders() if "bind [::1] failed" in
                                    (f / "ordane.log").read_text("utf-8")], 10, what="the line")
                self.assertEqual(handshake(self.port, self.origin), "")
                app.exit()

    @unittest.skipUnless(own_network_namespace(), "adds addresses and mounts a policy: needs "
                         "root in a network namespace of its own (run.py's workers)")
    def test_the_browser_lets_a_page_reach_the_bridge_by_its_address_scheme_and_policy(self):
        for address in (PRIVATE, PUBLIC, PORTAL):
            subprocess.run(["ip", "addr", "add", f"{address}/32", "dev", "lo"], check=True)
            self.addCleanup(subprocess.run, ["ip", "addr", "del", f"{address}/32", "dev", "lo"])
        folder = tempfile.mkdtemp(prefix="ordane-tls-")
        self.addCleanup(shutil.rmtree, folder, True)
        tls, spki = self_signed((PUBLIC, PORTAL), folder)
        shown_alone = {"loopback http": PageServer(self.port, LNA_PAGE),
                       "private http": PageServer(self.port, LNA_PAGE, PRIVATE),
                       "public http": PageServer(self.port, LNA_PAGE, PUBLIC),
                       "public https": PageServer(self.port, LNA_PAGE, PUBLIC, tls)}
        counter = shown_alone["public https"]
        portals = {allow: PageServer(self.port, FRAMING % {"inner": counter.origin, "allow": allow},
                                     PORTAL, tls)
                   for allow in ("", "loopback-network", "local-network-access")}
        lead = PageServer(self.port, LEADING)
        for page in (lead, *shown_alone.values(), *portals.values()):
            self.addCleanup(page.close)
        # Each page by name: the page the browser is sent to and the one that reports.
        pages = {name: (page, page) for name, page in shown_alone.items()}
        pages.update({f"public https in an iframe, allow={allow!r}": (portal, counter)
                      for allow, portal in portals.items()})
        rows = (
            # page, policy naming the origin of the page the browser is sent to, secure context,
            # states of PERMISSIONS, let through
            ("loopback http", None, True, ("prompt", "prompt", "prompt"), True),
            ("private http", None, False, ("denied", "denied", "denied"), True),
            ("public http", None, False, ("denied", "denied", "denied"), False),
            ("public http", LNA_ALLOWED, False, ("denied", "denied", "denied"), False),
            ("public http", LOOPBACK_ALLOWED, False, ("denied", "denied", "denied"), False),
            ("public https", None, True, ("prompt", "prompt", "prompt"), False),
            ("public https", LNA_ALLOWED, True, ("granted", "granted", "granted"), True),
            ("public https", LOOPBACK_ALLOWED, True, ("granted", "granted", "prompt"), True),
            ("public https in an iframe, allow=''", LNA_ALLOWED, True,
             ("denied", "denied", "denied"), False),
            ("public https in an iframe, allow='loopback-network'", LNA_ALLOWED, True,
             ("denied", "granted", "denied"), True),
            ("public https in an iframe, allow='local-network-access'", LNA_ALLOWED, True,
             ("granted", "granted", "granted"), True),
        )
        # Every page's origin is allowed: a request of theirs that reached the bridge would be
        # let in, so each refusal below is the browser's.
        origins = " ".join(page.origin for page in (lead, *shown_alone.values()))
        for old in log_folders():
            shutil.rmtree(old)
        hellos = 0
        with Program(bridge_ini(self.port, origins, UsePort1=0)) as app:
            app.wait_label(1, "")
            for name, policy, secure, states, let_through in rows:
                with self.subTest(page=name, policy=policy):
                    sent_to, page = pages[name]
                    page.reset()
                    lead.reset()
                    browser = Browser(
                        f"{lead.origin}/?next={quote(sent_to.origin + '/', safe='')}",
                        policy=policy and {policy: [sent_to.origin]},
                        args=(f"--ignore-certificate-errors-spki-list={spki}",))
                    try:
                        self.assertTrue(lead.connected.wait(30), "the bridge let no page in")
                        shown = page.wait_report(30)
                    finally:
                        browser.close()
                    hellos += 1 + ("hello" in shown)
                    self.assertEqual(
                        (shown["secure"], tuple(shown["permissions"][n] for n in PERMISSIONS),
                         shown.get("hello", {}).get("type"), shown.get("closed")),
                        (secure, states, "hello" if let_through else None,
                         None if let_through else 1006))
            # No hello went anywhere but to the pages that showed one: the next is numbered on.
            self.assertEqual(RawPage(self.port, lead.origin).next("hello")["seq"], hellos + 1)
            self.assertTrue(handshake(self.port, "http://elsewhere.example").startswith(
                "HTTP/1.1 403 "))
            app.exit()
        # Every request that reached the bridge and was refused is in the log: only this last.
        log = (log_folders()[0] / "ordane.log").read_bytes().decode("utf-8")
        self.assertEqual(re.findall(r"bridge: refused page[^\r\n]*", log),
                         ['bridge: refused page of origin "http://elsewhere.example" host '
                          f'"127.0.0.1:{self.port}", status 403, 0 more refused unwritten'])

    @needs_32bit_programs("the 32-bit package's NSIS installer is a 32-bit program",
                          when=ARCH == "x86")
    def test_the_installer_switches_turn_it_on_for_a_silent_roll_out(self):
        keep_registry(self, RUN_KEY, "Velmar")
        pfx = prefix()
        base = pfx.temp_dir("setup-")
        if not os.environ.get("ORDANE_E2E_KEEP"):
            self.addCleanup(shutil.rmtree, base, True)
        local_setup = base / "setup.exe"
        local_setup.write_bytes(setup_exe().read_bytes())
        folder = base / "Ordane"
        origins = f"{self.origin} https://counter.example.gov.cn"
        # As IT types it; in a batch file, since Wine would escape quotes passed as arguments.
        batch = base / "install.bat"
        keep_registry(self, POLICY_KEY, "Enabled")
        keep_registry(self, CHROME_LNA, "1")
        reg_delete(POLICY_KEY, "Enabled")
        # No browser policy lets an http page on a public address reach this machine: refused
        # before anything is installed.
        batch.write_text(f'{pfx.windows_path(local_setup)} /S /BRIDGELNA '
                         f'/BRIDGE_ORIGINS="http://8.8.8.8 {origins}" '
                         f'/D={pfx.windows_path(folder)}\r\n')
        self.assertEqual(run(pfx, pfx.windows_path(batch)), 10)
        self.assertFalse(folder.exists())
        self.assertIsNone(reg_get(POLICY_KEY, "Enabled"))

        batch.write_text(f'{pfx.windows_path(local_setup)} /S /NOAUTOSTART /BRIDGELNA '
                         f'/BRIDGE_ORIGINS="{origins}" /BRIDGE_PORT={self.port} '
                         f'/D={pfx.windows_path(folder)}\r\n')
        self.assertEqual(run(pfx, pfx.windows_path(batch)), 0)
        try:
            # The https page only: the loopback page needs no grant. (The browsers' policy is in
            # the 64-bit view, which a 32-bit winctl does not read.)
            if ARCH == "x64":
                self.assertEqual(allow_list(CHROME_LNA), ["https://counter.example.gov.cn"])
            # In the policy key, which only administrators may write; Setting.ini, which every
            # user may write, has no say in an installed copy's bridge.
            self.assertEqual({name: str(reg_get(POLICY_KEY, name)).rstrip("\0")
                              for name in ("Enabled", "Origins", "Port")},
                             {"Enabled": "1", "Origins": origins, "Port": str(self.port)})
            ini = (folder / "Setting.ini").read_bytes()
            self.assertEqual(parse_ini(ini, "BRIDGE"), {})
            self.assertEqual(parse_ini(ini), {})
            with Program(installed=folder) as app:
                app.wait_label(1, "初次使用请设置端口")
                socket.create_connection(("127.0.0.1", self.port), timeout=5).close()
                app.exit()
        finally:
            self.assertEqual(uninstall(pfx, "/PURGE"), 0)
            wait_until(lambda: not folder.exists(), 30, what="purged")
            self.assertIsNone(reg_get(POLICY_KEY, "Enabled"))
            if ARCH == "x64":
                self.assertIsNone(reg_get(CHROME_LNA, "1"))


if __name__ == "__main__":
    unittest.main()
