"""The scanner through the real Ordane.exe: identification of each brand on the first tick,
then every reading delivered to the fake business application, as keys or as window text."""

import time
import unittest

from harness import PtyPort, Program, Target, label_id, settings, wait_until
from sim.scanner import BRANDS, ScannerSim
from sim.ssi_scanner import SsiScanner

WAITING = "等待扫描仪发送信息..."
DETECTING = "正在检测连机条码扫描仪..."
HINT = "确认设置正确和设备已经连接到电脑"
MODELS = {"HHP": "IT4600Q", "DataLogic": "LYNX D432", "Denso": "GT10QU", "Symbol": "DS6607",
          "Metrologic": "Focus-1690", "NewLand": "NLS-HR-103"}


def watch(app, until, timeout=30.0):
    """Polls the scanner's lines until `until(lines)` holds; returns every distinct state
    (Label1, Label3, Label7, window visible, Settings command enabled) seen on the way. A
    sample reads every control in one call; a state shorter than a sample may still be missed."""
    seen = []
    deadline = time.monotonic() + timeout
    while True:
        controls = {c["id"]: c for c in app.main.children()}
        state = tuple(controls[label_id(n)]["text"] for n in (1, 3, 7)) + (
            app.visible(), controls[label_id(5)]["enabled"])
        if not seen or seen[-1] != state:
            seen.append(state)
        if until(state):
            return seen
        if time.monotonic() > deadline:
            raise TimeoutError(f"states seen: {seen}")
        time.sleep(0.05)


def identified(state):
    return state[0] == WAITING and not state[3] and state[4]


# Brands whose query takes 0.3 s: a sample can miss their detecting text.
QUICK = ("Metrologic", "NewLand")


class IdentificationTest(unittest.TestCase):
    def assert_identified(self, brand, seen):
        labels = [s[:3] for i, s in enumerate(seen) if i == 0 or seen[i - 1][:3] != s[:3]]
        detected = f"检测到{brand}条码扫描仪"
        device, model = f"设备:{brand}", f"型号:{MODELS[brand]}"
        expected = [(DETECTING, "", ""), (detected, "", ""), (detected, device, model),
                    (WAITING, device, model)]
        # The steps show in this order, nothing else between them; each lasting seconds is seen.
        shown = [s for s in labels if s in expected]
        self.assertEqual(shown, [s for s in expected if s in shown], seen)
        self.assertEqual(shown[-3:], expected[1:], seen)
        if brand not in QUICK:
            self.assertEqual(shown[0], expected[0], seen)
        # Commands are held while detection runs and come back afterwards.
        self.assertTrue(all(not s[4] for s in seen if s[0] in (DETECTING, detected)), seen)
        self.assertTrue(seen[-1][4])

    def test_each_brand_is_identified_its_model_shown_and_the_window_hidden(self):
        for number, brand in enumerate(BRANDS, start=2):
            with self.subTest(brand=brand), PtyPort(number) as port, \
                    ScannerSim(port, brand), \
                    Program(settings(Scanner=brand, Port=number)) as app:
                self.assert_identified(brand, watch(app, identified))
                app.tray_click()
                app.main.wait_visible(True)
                app.exit()

    def test_a_symbol_scanner_is_identified_over_its_packet_link(self):
        with PtyPort(8) as port, SsiScanner(port) as scanner, \
                Program(settings(Scanner="Symbol", Port=8)) as app:
            self.assert_identified("Symbol", watch(app, identified))
            # The link switched decode data to packets and asked for the revision.
            self.assertTrue(scanner.packeted)
            self.assertEqual(port.termios()["speed"], 9600)
            app.exit()

    def test_a_silent_scanner_is_reported_and_never_read(self):
        with PtyPort(8) as port, ScannerSim(port, "HHP", answer="silent") as sim, \
                Target() as target, Program(settings(Port=8)) as app:
            app.wait_label(1, "没有检测到条码扫描仪")
            self.assertEqual(app.label(2), HINT)
            self.assertEqual((app.label(3), app.label(7)), ("", ""))
            self.assertTrue(app.visible())
            self.assertTrue(app.command_enabled(5))
            sim.wait_queries(1)
            target.focus()
            sim.send_scan("6901234567892\r")
            app.pass_turns()  # several timer intervals: the loop would have read it by now
            self.assertEqual(target.typed(), "")
            self.assertEqual(app.label(1), "没有检测到条码扫描仪")
            self.assertEqual(len(sim.queries), 1, "identification was retried")
            app.exit()

    def test_a_brand_named_by_none_of_the_checks_fails_identification(self):
        # A brand that is not in the list leaves the model's brand empty: no check has it.
        with PtyPort(9) as port, ScannerSim(port, "HHP") as sim, \
                Program(settings(Scanner="Zebra", Port=9)) as app:
            app.wait_label(1, "没有检测到条码扫描仪")
            self.assertEqual(app.label(2), HINT)
            self.assertTrue(app.visible())
            self.assertEqual(sim.queries, [])
            app.exit()


class DeliveryTest(unittest.TestCase):
    """One identified HHP scanner for the class: identification takes about six seconds."""

    @classmethod
    def setUpClass(cls):
        cls.port = PtyPort(10)
        cls.sim = ScannerSim(cls.port, "HHP").start()
        cls.target = Target().start()
        cls.app = Program(settings(Port=10, AddEnter=1)).start()
        try:
            cls.app.wait_label(1, lambda t: t.startswith("检测到"), timeout=20)
            # Bytes arriving after the answer, during detection, are not a scan.
            cls.port.write(b"P_NAME:IT4600-050 late echo\r")
            watch(cls.app, identified)
            cls.after_identification = (cls.target.typed(), cls.target.texts())
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.app.cleanup()
        cls.target.close()
        cls.sim.stop()
        cls.port.close()

    def setUp(self):
        self.sim.check()
        self.target.focus()
        # A case that timed out may have left a reading on its way: wait until the program is
        # idle and nothing more arrives, so that this case collects only its own.
        def quiet():
            before = (self.target.typed(), len(self.target.texts()))
            time.sleep(0.4)  # twice the pause that ends a reading
            now = (self.target.typed(), len(self.target.texts()))
            return self.app.label(1) == WAITING and now == before

        wait_until(quiet, 15, what="the program idle")
        self.typed_before = self.target.typed()
        self.texts_before = len(self.target.texts())

    def typed(self, text, timeout=10.0):
        self.target.wait_typed(self.typed_before + text, timeout)

    def texts(self, count):
        return self.target.wait_texts(self.texts_before + count)[self.texts_before:]

    def test_a_plain_barcode_is_typed_with_enter_and_identification_bytes_are_not(self):
        self.assertEqual(self.after_identification, ("", []))
        self.sim.send_scan("6901234567892")
        self.typed("6901234567892<ENTER>")
        self.assertEqual(self.app.label(1), WAITING)

    def test_markers_are_removed_and_every_character_arrives_literally(self):
        self.sim.send_scan("12DE6K8+^%~{}DA36L34")
        self.typed("12+^%~{}34<ENTER>")
        self.sim.send_scan("DE6K8")  # a marker alone: Enter alone
        self.typed("12+^%~{}34<ENTER><ENTER>")

    def test_tab_escape_and_backspace_in_a_barcode_are_pressed_as_their_keys(self):
        self.sim.send_scan("A\tB\x1bC\bD\t")
        self.typed("A<TAB>B<ESC>C<BACK>D<TAB><ENTER>")

    def test_a_known_two_dimensional_code_becomes_the_target_text(self):
        self.sim.send_scan("DE6K8ZCCCHGZ_A1B2|3")
        self.assertEqual(self.texts(1), ["ZCCCHGZ_A1B2|3"])
        self.assertEqual(self.target.typed(), self.typed_before)

    def test_chinese_text_sent_as_gbk_arrives_as_the_same_text(self):
        self.sim.send_scan("DA36LQTZS00_姓名张三")
        self.assertEqual(self.texts(1), ["QTZS00_姓名张三"])
        self.sim.send_scan("条码中文")
        self.typed("条码中文<ENTER>")

    def test_a_pause_of_more_than_the_quiet_time_splits_readings(self):
        # Chunks 100 ms apart are one scan; 600 ms apart, two.
        self.sim.send_scan("1234567890", chunks=3, pause_s=0.1)
        self.typed("1234567890<ENTER>")
        self.sim.send_scan("AAAA")
        time.sleep(0.6)
        self.sim.send_scan("BBBB")
        self.typed("1234567890<ENTER>AAAA<ENTER>BBBB<ENTER>")

    def test_long_codes_arrive_whole_within_a_second_of_their_last_byte(self):
        # A 2 000-byte code on a 115200 bit/s line, an 8 000-byte one at 9600 (8.3 s on the
        # line); the second is longer than the first scan buffer.
        for size, baud in ((2000, 115200), (8000, 9600)):
            body = "".join(chr(0x41 + i % 26) for i in range(size - 11))
            last_byte = self.sim.send_scan("DE6K8HGJKZ_" + body, baud=baud)
            texts = self.target.wait_texts(self.texts_before + 1, timeout=10)
            delay = time.monotonic() - last_byte
            self.assertEqual(texts[self.texts_before:], ["HGJKZ_" + body],
                             f"longest pause of the sender: {self.sim.longest_pause:.3f} s")
            self.assertLess(delay, 1.0, f"{size} bytes at {baud}")
            self.texts_before += 1


class NewLandDeliveryTest(unittest.TestCase):
    def test_a_newland_reading_of_a_known_code_needs_no_marker_and_enter_is_optional(self):
        with PtyPort(11) as port, ScannerSim(port, "NewLand") as sim, Target() as target, \
                Program(settings(Scanner="NewLand", Port=11, AddEnter=0)) as app:
            watch(app, identified)
            target.focus()
            sim.send_scan("HGFOZ_0042")
            self.assertEqual(target.wait_texts(1), ["HGFOZ_0042"])
            sim.send_scan("123")
            target.wait_typed("123")
            app.exit()


    def test_a_hung_business_application_holds_the_scanner_only_for_the_bound(self):
        # The target hangs for 12 s, past the program's 5 s bound: waiting 8 s tells the two
        # apart with seconds to spare on either side.
        with PtyPort(11) as port, ScannerSim(port, "NewLand") as sim, \
                Target(stall_settext_ms=12000) as target, \
                Program(settings(Scanner="NewLand", Port=11, AddEnter=0)) as app:
            watch(app, identified)
            sim.send_scan("HGFOZ_0042")
            self.assertEqual(target.wait_texts(1), ["HGFOZ_0042"])  # then it stops answering
            wait_until(lambda: app.label(1) == WAITING, 8, what="the scanner loop back "
                       "before the target answered")
            app.exit()


class SymbolDeliveryTest(unittest.TestCase):
    def test_symbol_readings_arrive_marked_and_are_delivered(self):
        with PtyPort(7) as port, SsiScanner(port) as scanner, Target() as target, \
                Program(settings(Scanner="Symbol", Port=7, AddEnter=1)) as app:
            watch(app, identified)
            target.focus()
            scanner.scan(b"12345")
            target.wait_typed("12345<ENTER>")
            # A reading in three packets, the first resent after a bad checksum.
            long_code = "ZCCCHGZ_" + "9" * 600
            scanner.scan(long_code, corrupt_first=True)
            self.assertEqual(target.wait_texts(1), [long_code])
            self.assertGreaterEqual(len(scanner.host_packets(0xD1)), 1)  # the NAK
            app.exit()


if __name__ == "__main__":
    unittest.main()


def scan_ini(port, **scan):
    """[BCINFO] as settings() gives it, with a hand-written [SCAN] section."""
    bcinfo = "".join(f"{k}={v}\n" for k, v in settings(Port=port, AddEnter=1).items())
    return f"[BCINFO]\n{bcinfo}[SCAN]\n" + "".join(f"{k}={v}\n" for k, v in scan.items())


class ScanSectionTest(unittest.TestCase):
    """[SCAN]: readings that end at their terminator, UTF-8 text, typing paced for a slow
    target."""

    def test_readings_end_at_their_terminator_and_utf8_is_read_as_such(self):
        with PtyPort(11) as port, ScannerSim(port, "HHP") as sim, Target() as target, \
                Program(scan_ini(11, Terminator="CRLF", Encoding="auto")) as app:
            watch(app, identified)
            target.focus()
            sim.send_scan(b"6901234567892\r\n6901234567893\r\n")  # back to back, one write
            target.wait_typed("6901234567892<ENTER>6901234567893<ENTER>")
            sim.send_scan("京A12345\r\n".encode("utf-8"))
            sim.send_scan("京A12345\r\n".encode("gbk"))
            sim.send_scan(b"\xef\xbb\xbf" + "DE6K8HGJKZ_北京市海淀区中关村大街27号\r\n".encode())
            target.wait_typed("6901234567892<ENTER>6901234567893<ENTER>"
                              "京A12345<ENTER>京A12345<ENTER>")
            self.assertEqual(target.wait_texts(1), ["HGJKZ_北京市海淀区中关村大街27号"])
            app.exit()

    def test_a_long_code_sent_slowly_is_one_window_text(self):
        # A cradle pausing 8 ms after each byte never leaves the line quiet for 200 ms.
        code = "DE6K8ZCCCHGZ_" + "".join(str(i % 10) for i in range(287))
        with PtyPort(11) as port, ScannerSim(port, "HHP") as sim, Target() as target, \
                Program(settings(Port=11, AddEnter=1)) as app:
            watch(app, identified)
            target.focus()
            sim.send_scan(code, chunks=len(code), pause_s=0.008)
            self.assertEqual(target.wait_texts(1), [code[5:]])
            time.sleep(0.5)
            self.assertEqual(target.typed(), "")
            app.exit()

    def test_keys_mode_types_real_key_presses_and_gs_stands_for_the_separator(self):
        with PtyPort(11) as port, ScannerSim(port, "HHP") as sim, \
                Target(mark_packets=True) as target, \
                Program(scan_ini(11, KeyMode="keys", GS="<GS>")) as app:
            watch(app, identified)
            target.focus()
            sim.send_scan("Ab9-_/.:@Z,+=")
            target.wait_typed("Ab9-_/.:@Z,+=<ENTER>")
            sim.send_scan(b"0104012345678901\x1d10ABC\x1d21X")
            target.wait_typed("Ab9-_/.:@Z,+=<ENTER>0104012345678901<GS>10ABC<GS>21X<ENTER>")
            app.exit()

    def test_paced_keys_reach_a_target_that_drops_fast_ones_and_the_program_answers(self):
        code = "".join(str(i % 10) for i in range(60))
        with PtyPort(11) as port, ScannerSim(port, "HHP") as sim, \
                Target(drop_faster_ms=20) as target:
            # Unpaced, the target drops keys: what the delay is for.
            with Program(settings(Port=11, AddEnter=1)) as app:
                watch(app, identified)
                target.focus()
                sim.send_scan(code)
                wait_until(lambda: target.typed() != "", 10, what="some keys")
                app.pass_turns()
                unpaced = target.typed()
                self.assertLess(len(unpaced), len(code))
                app.exit()
            with Program(scan_ini(11, KeyDelay=30)) as app:
                watch(app, identified)
                target.focus()
                sim.send_scan("6901234567892")
                time.sleep(0.3)
                sim.send_scan(code)  # waits its turn behind the first
                target.wait_typed(f"{unpaced}6901234567892<ENTER>{code}<ENTER>", timeout=15)
                sim.send_scan(code)
                time.sleep(0.6)  # about 20 of its 61 keys typed
                started = time.monotonic()
                app.tray_click()
                wait_until(app.visible, 2, what="the window shown from the tray while typing")
                shown_after = time.monotonic() - started
                app.exit(timeout=5)
                self.assertLess(shown_after, 1.0)
