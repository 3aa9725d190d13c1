"""The ID card reader through the real Ordane.exe: identification of either make at start-up,
card records into the fake business application, the reader library missing, and the
one-time registration report with its registry flag and F9, and the diagnostic log written
while a barcode and a card are read."""

import shutil
import time
import unittest

from harness import (UPLOAD_KEY, VK_F9, PtyPort, Program, RegistrationServer, Target, bin_file,
                     keep_registry, prefix, reg_delete, reg_get, reg_set, settings, wait_until)
from sim.card_reader import HS_ANSWER, CardReaderSim
from sim.scanner import MODELS, ScannerSim

HINT = "确认设置正确和设备已经连接到电脑"
WM_SYSKEYDOWN = 0x104
WAITING = "等待读卡器发送信息..."
SCANNER_WAITING = "等待扫描仪发送信息..."
SAM_ID = "05.01-20101203-0008323712-2110118836"

# Field widths of the card's base text, in characters.
WIDTHS = (15, 1, 2, 8, 35, 18, 15, 8, 8, 18)


def card_text(*fields) -> str:
    """A 128-character base text: each field left-aligned and padded with spaces."""
    return "".join(f.ljust(w) for f, w in zip(fields, WIDTHS))


CARD = ("张三", "1", "01", "19900101", "北京市东城区 景山前街4号", "110101199001011234",
        "北京市公安局东城分局", "20100101", "20300101", "")


def foreign_text(*fields) -> str:
    """A 2017 foreign permanent resident card's text: English name, sex, permit number,
    nationality, Chinese name, valid from, valid to, birth date, card version, authority, and
    the kind mark "I" at character 125."""
    return "".join(f.ljust(w) for f, w in zip(fields, (60, 1, 15, 3, 15, 8, 8, 8, 2, 4))) + "I   "


def permit_text(*fields) -> str:
    """A residence permit's text: the resident card's nine fields, pass number, issue count,
    and the kind mark "J" at character 125."""
    return card_text(*fields[:9]) + fields[9].ljust(9) + fields[10].ljust(2) + "   J   "


FOREIGN = ("SMITH, JOHN", "1", "USA310012345678", "USA", "史密斯", "20170616", "20270616",
           "19800101", "02", "1100")
PERMIT = ("陈大文", "1", "", "19900101", "香港特别行政区", "810000199001011237", "公安部出入境管理局",
          "20190101", "20240101", "H12345678", "01")


def reader_settings(port2, make="华视", **extra):
    return settings(UsePort1=0, UsePort2=1, Port2=port2, CardReader=make, **extra)


class IdentificationTest(unittest.TestCase):
    def setUp(self):
        keep_registry(self, UPLOAD_KEY, "upload")
        reg_set(UPLOAD_KEY, "upload", "1")  # reported before: no request from these runs

    def test_each_make_is_identified_at_start_up_and_the_window_hides(self):
        for port2, make, model in ((2, "华视", "CVR-100U"), (7, "华旭", "HX-FDX3")):
            with self.subTest(make=make), PtyPort(port2) as port, \
                    CardReaderSim(port, make) as reader, \
                    Program(reader_settings(port2, make), sdtapi=True,
                            reader={"samid": SAM_ID}) as app:
                app.wait_label(10, f"设备:{make}")
                self.assertEqual(app.label(11), f"型号:{model}")
                app.main.wait_visible(False)
                app.wait_label(12, WAITING)
                self.assertEqual(app.label(13), "")
                self.assertEqual([r["speed"] for r in reader.requests], [115200])
                # The module id was asked for on the settings port, then cards are polled.
                calls = app.reader_calls()
                self.assertTrue(calls[0].startswith(f"SDT_GetSAMIDToStr port={port2} ifOpen=1"))
                wait_until(lambda: any(c.startswith("SDT_StartFindIDCard") for c in
                                       app.reader_calls()), 5, what="card polling")
                app.exit()

    def test_a_reader_silent_at_start_leaves_the_scanner_working_and_comes_back_by_itself(self):
        with PtyPort(3) as reader_port, \
                CardReaderSim(reader_port, "华视", answer="silent") as reader, \
                PtyPort(4) as scanner_port, ScannerSim(scanner_port, "HHP") as sim, \
                Target() as target, \
                Program(settings(Port=4, UsePort2=1, Port2=3), sdtapi=True,
                        reader={"samid": SAM_ID}) as app:
            app.wait_label(12, "没有识别到读卡器")
            self.assertEqual(app.label(13), HINT)
            app.wait_label(1, SCANNER_WAITING, timeout=15)
            self.assertTrue(app.visible())
            target.focus()
            sim.send_scan("6901234567892")
            target.wait_typed("6901234567892<ENTER>")
            reader.reply = HS_ANSWER  # it starts answering: identified again within 5 s
            app.wait_label(10, "设备:华视", timeout=15)
            app.wait_label(13, "")
            app.wait_label(12, WAITING)
            app.set_reader(samid=SAM_ID, card=card_text(*CARD))
            target.wait_texts(1, timeout=10)
            app.exit()

    def test_without_the_reader_library_the_scanner_works_and_a_library_placed_later_is_used(self):
        with PtyPort(5) as port, CardReaderSim(port, "华视"), \
                PtyPort(6) as scanner_port, ScannerSim(scanner_port, "HHP") as sim, \
                Target() as target, \
                Program(settings(Port=6, UsePort2=1, Port2=5), sdtapi=False) as app:
            app.wait_label(12, "无法加载读卡器库sdtapi.dll")
            self.assertEqual(app.label(13), HINT)
            self.assertTrue(app.visible())
            app.wait_label(1, SCANNER_WAITING, timeout=15)
            target.focus()
            sim.send_scan("6901234567892")
            target.wait_typed("6901234567892<ENTER>")
            app.set_reader(samid=SAM_ID)
            shutil.copy2(bin_file("sdtapi.dll"), app.folder / "sdtapi.dll")
            app.wait_label(12, WAITING, timeout=15)
            self.assertEqual(app.exit(), 0)


class CardReadingTest(unittest.TestCase):
    def setUp(self):
        keep_registry(self, UPLOAD_KEY, "upload")
        reg_set(UPLOAD_KEY, "upload", "1")

    def test_a_card_reaches_the_target_as_one_record_each_time_it_is_found(self):
        with PtyPort(6) as port, CardReaderSim(port, "华视"), Target() as target, \
                Program(reader_settings(6), sdtapi=True, reader={"samid": SAM_ID}) as app:
            app.main.wait_visible(False)
            self.assertEqual(target.texts(), [])
            app.set_reader(samid=SAM_ID, card=card_text(*CARD))
            texts = target.wait_texts(2)
            record = ("SFZXX_2.0|张三|1|01|19900101|北京市东城区 景山前街4号|110101199001011234|"
                      "北京市公安局东城分局|20100101|20300101|")
            self.assertEqual(texts[:2], [record, record])
            app.set_reader(samid=SAM_ID)  # the card is taken away
            wait_until(lambda: app.reader_calls()[-2:-1] ==
                       ["SDT_StartFindIDCard port=6 ifOpen=0 -> 128"], 5, what="no card found")
            count, calls = len(target.texts()), len(app.reader_calls())
            # Two more polls (open, find, close each) found no card and delivered nothing.
            wait_until(lambda: len(app.reader_calls()) >= calls + 6, 10, what="two card polls")
            self.assertEqual(len(target.texts()), count)
            app.wait_label(12, WAITING)
            app.exit()

    def test_a_usb_reader_above_six_is_read_as_the_librarys_thousands(self):
        with PtyPort(8) as port, CardReaderSim(port, "华视"), Target() as target, \
                Program(reader_settings(8), sdtapi=True,
                        reader={"card": card_text("李四", "2", "02")}) as app:
            self.assertEqual(target.wait_texts(1)[0], "SFZXX_2.0|李四|2|02|||||||")
            reads = [c for c in app.reader_calls() if c.startswith("SDT_OpenPort")]
            self.assertTrue(reads and all(c.startswith("SDT_OpenPort port=1003 ") for c in reads),
                            reads)
            app.exit()


class RegistrationTest(unittest.TestCase):
    def setUp(self):
        keep_registry(self, UPLOAD_KEY, "upload")
        reg_delete(UPLOAD_KEY, "upload")

    def start(self, port):
        return Program(reader_settings(port), sdtapi=True, reader={"samid": SAM_ID})

    def test_an_accepted_report_sets_the_flag_once_and_f9_sends_it_again(self):
        path = f"/monitor/uploadinfo?id={SAM_ID}"
        with RegistrationServer(b"SUCCESS\r\n") as server, PtyPort(2) as port, \
                CardReaderSim(port, "华视"):
            with self.start(2) as app:
                self.assertEqual(server.wait_request(), path)
                wait_until(lambda: reg_get(UPLOAD_KEY, "upload") == "1", 10, what="flag set")
                app.main.wait_visible(False)
                app.tray_click()
                app.main.wait_visible(True)
                app.key(VK_F9)
                self.assertEqual(server.wait_requests(2), [path, path])
                app.main.post(WM_SYSKEYDOWN, VK_F9, 1 | 1 << 29)  # Alt+F9, a system key
                self.assertEqual(server.wait_requests(3), [path] * 3)
                self.assertEqual(reg_get(UPLOAD_KEY, "upload"), "1")
                app.exit()
            with self.start(2) as app:
                app.wait_label(10, "设备:华视")
                app.main.wait_visible(False)
                self.assertEqual(len(server.requests), 3, "reported again at the next start")
                app.exit()

    def test_a_flag_written_with_its_terminating_nul_counts_as_set(self):
        reg_set(UPLOAD_KEY, "upload", "1", kind="sz0")
        with RegistrationServer() as server, PtyPort(3) as port, CardReaderSim(port, "华视"), \
                self.start(3) as app:
            app.main.wait_visible(False)
            self.assertEqual(server.requests, [])
            app.exit()

    def test_a_rejected_report_writes_no_flag_and_an_exist_reply_does(self):
        with RegistrationServer(b"FAILED") as server, PtyPort(4) as port, \
                CardReaderSim(port, "华视"):
            with self.start(4) as app:
                server.wait_request()
                app.main.wait_visible(False)
                self.assertIsNone(reg_get(UPLOAD_KEY, "upload"))
                app.exit()
            server.set_reply(b"EXIST")
            with self.start(4) as app:
                server.wait_requests(2)
                wait_until(lambda: reg_get(UPLOAD_KEY, "upload") == "1", 10, what="flag set")
                app.exit()

    def test_a_stalled_or_absent_server_delays_start_up_only_by_the_bound(self):
        with PtyPort(5) as port, CardReaderSim(port, "华视"):
            with RegistrationServer(mode="stall", stall_s=60) as server, self.start(5) as app:
                server.wait_request()
                started = time.monotonic()
                app.main.wait_visible(False, timeout=30)
                self.assertLess(time.monotonic() - started, 15)
                self.assertIsNone(reg_get(UPLOAD_KEY, "upload"))
                app.exit()
            with self.start(5) as app:  # nobody listens at all
                app.main.wait_visible(False)
                self.assertIsNone(reg_get(UPLOAD_KEY, "upload"))
                app.exit()

    def test_a_redirect_is_no_acceptance_and_is_not_followed(self):
        with RegistrationServer(mode="redirect") as server, PtyPort(6) as port, \
                CardReaderSim(port, "华视"), self.start(6) as app:
            server.wait_request()
            app.main.wait_visible(False, timeout=20)  # start-up is over
            time.sleep(1)  # the request's answer came long before
            self.assertEqual(server.requests, [f"/monitor/uploadinfo?id={SAM_ID}"])
            self.assertIsNone(reg_get(UPLOAD_KEY, "upload"))
            app.exit()

    def test_a_server_answering_a_byte_at_a_time_holds_neither_start_up_nor_the_window(self):
        # Each byte well within any per-operation timeout; the whole answer would take 90 s.
        with RegistrationServer(mode="trickle", stall_s=2) as server, PtyPort(7) as port, \
                CardReaderSim(port, "华视"), self.start(7) as app:
            server.wait_request()
            started = time.monotonic()
            # The request waits on a worker of its own: the reader's start goes on and hides
            # the window, and the icon brings it back, while the answer still trickles in.
            app.main.wait_visible(False, timeout=15)
            app.tray_click()
            app.main.wait_visible(True, timeout=5)
            self.assertLess(time.monotonic() - started, 10)
            self.assertIsNone(reg_get(UPLOAD_KEY, "upload"))
            app.exit()


class DiagnosticLogTest(unittest.TestCase):
    # Where Wine puts the user's local application data (the folder's name varies by version).
    LOG_FOLDERS = ("users/*/AppData/Local/Ordane/logs",
                   "users/*/Local Settings/Application Data/Ordane/logs")
    BARCODE = "6923450657713"
    SCANNED_DURING_IDENTIFICATION = "739154"  # what the 25 bytes read hold after the model

    def log_folders(self):
        return [p for pattern in self.LOG_FOLDERS for p in prefix().drive_c.glob(pattern)]

    def setUp(self):
        keep_registry(self, UPLOAD_KEY, "upload")
        reg_set(UPLOAD_KEY, "upload", "1")
        for folder in self.log_folders():
            shutil.rmtree(folder)

    def test_the_log_names_the_devices_and_deliveries_but_no_reading_or_card(self):
        # A barcode scanned while the scanner is identified arrives in its reply.
        reply = MODELS["HHP"]["IT4600-050"] + self.SCANNED_DURING_IDENTIFICATION.encode()
        with PtyPort(3) as scanner_port, ScannerSim(scanner_port, "HHP", reply=reply) as sim, \
                PtyPort(4) as reader_port, CardReaderSim(reader_port, "华视"), \
                Target() as target, \
                Program(settings(Port=3, UsePort2=1, Port2=4), sdtapi=True,
                        reader={"samid": SAM_ID}) as app:
            app.wait_label(1, "等待扫描仪发送信息...", timeout=25)
            app.wait_label(12, WAITING)
            target.focus()
            sim.send_scan(self.BARCODE)
            target.wait_typed(self.BARCODE + "<ENTER>")
            app.set_reader(samid=SAM_ID, card=card_text(*CARD))
            target.wait_texts(1)
            app.set_reader(samid=SAM_ID)
            wait_until(lambda: app.reader_calls()[-2:-1] ==
                       ["SDT_StartFindIDCard port=4 ifOpen=0 -> 128"], 5, what="no card found")
            deliveries = 1 + len(target.texts())
            self.assertEqual(app.exit(), 0)

        logs = [folder / "ordane.log" for folder in self.log_folders()]
        self.assertEqual(len(logs), 1, logs)
        data = logs[0].read_bytes()
        text = data.decode("utf-8")
        for expected in ("start: Ordane ", "settings: UsePort1=1 Scanner=HHP Port=3",
                         "CardReader=华视", "scanner open port 3: ok",
                         "scanner HHP: identified, model IT4600Q",
                         "card reader 华视: identified, model CVR-100U",
                         "card reader: polling port opens, code 144",
                         "delivery 1: keys, length 13", "delivery 2: card, length",
                         f"exit: {deliveries} deliveries"):
            self.assertIn(expected, text)
        # Neither the barcode nor a card field, in any of the encodings they travel in.
        for secret in (self.BARCODE, self.SCANNED_DURING_IDENTIFICATION, CARD[0], CARD[4], CARD[5],
                       SAM_ID):
            for encoding in ("utf-8", "gbk", "utf-16-le"):
                self.assertNotIn(secret.encode(encoding), data, (secret, encoding))
        for barcode in (self.BARCODE, self.SCANNED_DURING_IDENTIFICATION):
            barcode_hex = " ".join(f"{b:02X}" for b in barcode.encode())
            self.assertNotIn(barcode_hex[:14].encode(), data)

    def test_without_the_business_application_the_log_says_what_was_not_delivered(self):
        with PtyPort(5) as scanner_port, ScannerSim(scanner_port, "HHP") as sim, \
                PtyPort(6) as reader_port, CardReaderSim(reader_port, "华视"), \
                Program(settings(Port=5, UsePort2=1, Port2=6), sdtapi=True,
                        reader={"samid": SAM_ID}) as app:
            app.wait_label(1, "等待扫描仪发送信息...", timeout=25)
            app.wait_label(12, WAITING)
            sim.send_scan("DE6K8ZCCCHGZ_" + self.BARCODE)
            app.wait_label(2, "未找到业务系统窗口,信息未送达")
            app.set_reader(samid=SAM_ID, card=card_text(*CARD))
            app.wait_label(13, "未找到业务系统窗口,信息未送达")
            app.set_reader(samid=SAM_ID)
            self.assertFalse(app.visible())  # told on its lines and by the tray, no focus taken
            self.assertEqual(app.exit(), 0)
        text = (self.log_folders()[0] / "ordane.log").read_bytes().decode("utf-8")
        self.assertRegex(text, r"delivery 1: window, length 26, latency \d+ ms, "
                               r"not delivered: no target window")
        self.assertRegex(text, r"delivery 2: card, length \d+, latency \d+ ms, "
                               r"not delivered: no target window")
        self.assertNotIn(", delivered\r", text)


if __name__ == "__main__":
    unittest.main()
