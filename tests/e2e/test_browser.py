"""The browser bridge through the real Ordane.exe and a real browser: headless Chromium loads a
page from an allowed origin on the loopback, connects to ws://127.0.0.1:<port>/readings and
receives the hello, a barcode and a card record; a page of another origin is refused; without
the [BRIDGE] section nothing listens, and with its port taken the scanner works on."""

import json
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import unittest
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from harness import ARCH, RUN_KEY, UPLOAD_KEY, PtyPort, Program, Target, ini_bytes, keep_registry, \
    needs_32bit_programs, parse_ini, prefix, reg_delete, reg_get, reg_set, settings, wait_until
from sim.card_reader import CardReaderSim
from sim.scanner import ScannerSim
from test_card_reader import CARD, SAM_ID, card_text
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


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class PageServer:
    """The business application's page on 127.0.0.1 (python http.server); the page reports
    what it received back to it."""

    def __init__(self, bridge_port: int, template: str = PAGE):
        self.connected = threading.Event()
        self.reported = threading.Event()
        self.report = None
        page = (template % {"port": bridge_port}).encode()
        outer = self

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):
                if self.path == "/connected":
                    outer.connected.set()
                self.answer(page if self.path == "/" else b"ok")

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

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def wait_report(self, timeout=60) -> dict:
        if not self.reported.wait(timeout):
            raise TimeoutError("the page reported nothing")
        return self.report

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class Browser:
    """Headless Chromium showing one page until closed."""

    def __init__(self, url: str):
        self.profile = tempfile.mkdtemp(prefix="ordane-chromium-")
        self.process = subprocess.Popen(
            ["chromium", "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             f"--user-data-dir={self.profile}", url],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def close(self):
        self.process.kill()
        self.process.wait()
        shutil.rmtree(self.profile, ignore_errors=True)


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

    @needs_32bit_programs("the NSIS installer is a 32-bit program")
    def test_the_installer_switches_turn_it_on_for_a_silent_roll_out(self):
        keep_registry(self, RUN_KEY, "Velmar")
        pfx = prefix()
        base = pfx.temp_dir("setup-")
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
