"""The end-to-end tools themselves: winctl, the fake target, COM links with the device
simulators, the registration server. If these fail, a failure of Ordane's own end-to-end
tests says nothing about Ordane."""

import struct
import subprocess
import tempfile
import threading
import unittest
from pathlib import Path

from harness import (REGISTRATION_PORT, TARGET_TITLE, VK_F9, PtyPort, RegistrationServer,
                     Target, Window, WinctlError, bin_file, foreground, http_get, message_box, prefix,
                     press_message_box, reg_delete, reg_get, reg_set, session, type_text,
                     wait_until, windows)
from sim.card_reader import HS_REQUEST, HX_ANSWER, HX_REQUEST, CardReaderSim
from sim.scanner import QUERIES, ScannerSim

CARD_RECORD = ("SFZXX_2.0|张三|1|01|19900101|北京市东城区 景山前街4号|110101199001011234|"
               "北京市公安局东城分局|20100101|20200101|")


def png_size(path):
    data = Path(path).read_bytes()[:24]
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG file"
    return struct.unpack(">II", data[16:24])


class FakeTargetTest(unittest.TestCase):
    """One fake target for the class: every Wine start costs a second or more."""

    @classmethod
    def setUpClass(cls):
        cls.target = Target(controls=True).start()

    @classmethod
    def tearDownClass(cls):
        cls.target.close()

    def setUp(self):
        self.target.focus()

    def test_window_text_reaches_the_first_child_and_is_logged_exactly(self):
        by_title = Window(title=TARGET_TITLE)
        by_title.settext(CARD_RECORD, first_child=True)
        by_title.settext("第二条\\带反斜杠\r\n两行", first_child=True)
        self.assertEqual(self.target.texts()[-2:], [CARD_RECORD, "第二条\\带反斜杠\r\n两行"])
        first_child = self.target.window.children()[0]
        self.assertEqual(first_child["class"], "OrdaneFakeTargetText")
        self.assertEqual(first_child["text"], "第二条\\带反斜杠\r\n两行")

    def test_keystrokes_reach_the_focused_edit_with_enter_as_the_key(self):
        self.assertTrue(self.target.has_focus())
        before = self.target.typed()
        text = "12中文a+^%~{}3\r"
        self.assertEqual(type_text(text), 2 * len(text))
        self.target.wait_typed(before + "12中文a+^%~{}3<ENTER>")
        self.assertEqual(foreground()["focus_class"].lower(), "edit")

    def test_controls_are_read_and_driven_by_id(self):
        w = self.target.window
        events = len(self.target.events())
        self.assertEqual(w.items(1403), (0, ["无校验", "奇校验", "偶校验"]))
        w.select(1403, text="偶校验")
        w.click(1005)
        w.click(1101)
        w.click(1201)
        w.key(VK_F9)
        w.tray()
        expected = ["command 1403 1", "command 1005 0", "command 1101 0", "command 1201 0",
                    "keydown 120", "tray 0 514"]
        wait_until(lambda: self.target.events()[events:] == expected, 10,
                   what=f"events {expected}")
        self.assertEqual(w.items(1403)[0], 2)
        self.assertEqual(w.checked(1101), 1)
        self.assertEqual(w.text(1005), "命令")
        self.assertTrue(w.enabled(1005))
        self.assertFalse(w.enabled(1006))
        with self.assertRaises(WinctlError):
            w.text(4242)

    def test_window_list_names_the_owning_program_and_screenshot_crops_to_it(self):
        mine = [x for x in windows(title=TARGET_TITLE) if x["hwnd"] == self.target.hwnd]
        self.assertEqual(len(mine), 1)
        self.assertTrue(mine[0]["visible"])
        self.assertTrue(mine[0]["exe"].lower().endswith("fake_target.exe"))
        self.assertEqual(mine[0]["pid"], self.target.pid)
        left, top, right, bottom = self.target.window.rect()
        with tempfile.TemporaryDirectory() as d:
            path = Path(d) / "target.png"
            self.target.window.screenshot(path)
            self.assertEqual(png_size(path), (right - left, bottom - top))


class MessageBoxTest(unittest.TestCase):
    def test_message_box_is_read_and_its_ok_pressed(self):
        session()
        shown = prefix().wine([bin_file("winctl.exe"), "show-msgbox", "--title", "提示",
                               "--text", "条码扫描仪Ordane已经在运行"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        try:
            box = wait_until(lambda: message_box(title="提示"), 20, what="message box")
            self.assertEqual(box["text"], "条码扫描仪Ordane已经在运行")
            self.assertEqual(box["buttons"].split(":")[0], "1")
            press_message_box(title="提示")
            out, _ = shown.communicate(timeout=15)
            self.assertEqual(out.decode(), "|1\nOK\n")  # IDOK
        finally:
            if shown.poll() is None:
                shown.kill()
                shown.wait()


def serial(port, write=b"", read=0, baud=9600, stop=0, wait_ms=2000):
    """One exchange through a Windows program: open COMn, set the line, write, read."""
    rec = session().call("serial", port=port, baud=baud, stop=stop, write=write.hex() or None,
                         read=read, wait=wait_ms)[0]
    return bytes.fromhex(rec[0])


class ComPortTest(unittest.TestCase):
    PORT = 7

    def test_pty_is_seen_as_com_port_with_the_line_a_program_sets(self):
        with PtyPort(self.PORT) as port:
            self.assertEqual(serial(self.PORT, b"\x00\xffabc", baud=19200, stop=1, wait_ms=0),
                             b"")
            self.assertEqual(port.read_exact(5, 5), b"\x00\xffabc")
            self.assertEqual(port.termios()["speed"], 19200)
            self.assertTrue(port.termios()["cstopb"])
            port.write(b"scan")
            # Bytes that arrive before the port is opened are purged by the open, as a
            # program's clear would.
            self.assertEqual(serial(self.PORT, b"?", read=4, wait_ms=300), b"")

    def test_scanner_simulator_answers_each_brand_query_promptly(self):
        expected = {"HHP": b"IT4600-050", "DataLogic": b"D432", "Metrologic": b"Metrologic012",
                    "NewLand": b"NLSHR103", "Denso": b"GT10QU"}
        with PtyPort(self.PORT) as port:
            for brand, marker in expected.items():
                with self.subTest(brand=brand):
                    query = b"".join(QUERIES[brand])
                    with ScannerSim(port, brand) as sim:
                        # The program reads 0.2 s after sending (Metrologic, NewLand).
                        reply = serial(self.PORT, query, read=25, wait_ms=200)
                        self.assertIn(marker, reply[:25])
                        self.assertEqual(sim.wait_queries(len(QUERIES[brand]), 1),
                                         QUERIES[brand])
                    with ScannerSim(port, brand, answer="wrong"):
                        reply = serial(self.PORT, query, read=25, wait_ms=500)
                        self.assertTrue(reply)
                        self.assertNotIn(marker.lower(), reply.lower())
            with ScannerSim(port, "HHP", model="IT4800-050", answer="right"):
                self.assertIn(b"IT4800-050", serial(self.PORT, QUERIES["HHP"][0], read=25))
            with ScannerSim(port, "HHP", answer="silent") as sim:
                self.assertEqual(serial(self.PORT, QUERIES["HHP"][0], read=25, wait_ms=500),
                                 b"")
                self.assertEqual(len(sim.wait_queries(1, 1)), 1)

    def test_scan_sent_in_chunks_arrives_whole(self):
        scan = "DE6K8HGFOZ_条码123"
        with PtyPort(self.PORT) as port, ScannerSim(port, "HHP") as sim:
            # The program's "?" says the port is open and cleared; then the scanner sends.
            def send():
                wait_until(lambda: b"?" in sim.received, 10, what="port opened")
                sim.send_scan(scan, chunks=3, pause_s=0.1)

            sender = threading.Thread(target=send)
            sender.start()
            data = serial(self.PORT, b"?", read=len(scan.encode("gbk")), wait_ms=5000)
            sender.join()
            self.assertEqual(data, scan.encode("gbk"))

    def test_card_reader_simulator_identifies_either_make(self):
        with PtyPort(self.PORT) as port:
            with CardReaderSim(port, "华视") as sim:
                answer = serial(self.PORT, HS_REQUEST, read=11, baud=115200)
                self.assertEqual(len(answer), 11)
                self.assertEqual(answer[:4] + answer[8:], bytes.fromhex("02000b03020b03"))
                self.assertEqual(sim.wait_requests(1, 1)[0]["speed"], 115200)
            with CardReaderSim(port, "华视", answer="wrong"):
                answer = serial(self.PORT, HS_REQUEST, read=11, baud=115200)
                self.assertTrue(all(answer[i] != b for i, b in
                                    zip((0, 1, 2, 3, 8, 9, 10), bytes.fromhex("02000b03020b03"))))
            for mode, matches in (("right", True), ("wrong", False)):
                with CardReaderSim(port, "华旭", answer=mode):
                    answer = serial(self.PORT, HX_REQUEST, read=9, baud=115200)
                    self.assertEqual(len(answer), 9)
                    self.assertEqual(answer == HX_ANSWER, matches)
            with CardReaderSim(port, "华旭", answer="silent"):
                self.assertEqual(serial(self.PORT, HX_REQUEST, read=9, wait_ms=500), b"")


class RegistrationServerTest(unittest.TestCase):
    URL = f"http://127.0.0.1:{REGISTRATION_PORT}/monitor/uploadinfo?id="

    def test_requests_are_recorded_and_answered_dropped_or_stalled(self):
        with RegistrationServer(reply=b"SUCCESS\r\n") as server:
            self.assertEqual(http_get(self.URL + "05.01-20101203"), (200, b"SUCCESS\r\n"))
            server.set_reply(b"EXIST", status=500)
            self.assertEqual(http_get(self.URL + "x"), (500, b"EXIST"))
            server.set_reply(mode="close")
            self.assertEqual(http_get(self.URL + "closed"), (0, b""))  # WinINet under Wine
            server.set_reply(mode="stall")
            with self.assertRaises(WinctlError):
                http_get(self.URL + "stalled", timeout_ms=1000)
            self.assertEqual(server.wait_requests(4, 5)[:2],
                             ["/monitor/uploadinfo?id=05.01-20101203",
                              "/monitor/uploadinfo?id=x"])
            self.assertIn("/monitor/uploadinfo?id=stalled", server.requests)


class RegistryTest(unittest.TestCase):
    KEY = r"HKLM\Software\OrdaneE2E"

    def test_values_round_trip_and_missing_reads_as_none(self):
        reg_delete(self.KEY)
        self.assertIsNone(reg_get(self.KEY, "upload"))
        reg_set(self.KEY, "upload", "1")
        self.assertEqual(reg_get(self.KEY, "upload"), "1")
        reg_set(self.KEY, "upload", "1", kind="sz0")
        self.assertEqual(reg_get(self.KEY, "upload"), "1\0")
        reg_delete(self.KEY, "upload")
        self.assertIsNone(reg_get(self.KEY, "upload"))
        reg_delete(self.KEY)


if __name__ == "__main__":
    unittest.main()
