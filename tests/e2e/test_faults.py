"""Faults injected around the real Ordane.exe: a registration server that refuses, answers
with an error that says SUCCESS, cuts its reply short or sends megabytes of garbage; a
machine key that refuses the acceptance flag; a damaged or vanished Setting.ini; a card
library whose calls lie, fail or take half a minute; Exit, the close box and the Settings
command in the middle of a reading, an identification and a card read; the taskbar coming
back. Nothing may crash, hang for good, deliver what a failed step read, or record an
acceptance that did not happen."""

import os
import threading
import time
import unittest

from harness import (UPLOAD_KEY, PtyPort, Program, RegistrationServer, Target, bin_file,
                     deny_registry_writes, keep_registry, prefix, reg_delete, reg_get, reg_set,
                     settings, wait_until)
from sim.card_reader import CardReaderSim
from sim.scanner import ScannerSim
from sim.ssi_scanner import SsiScanner
import test_card_reader
from test_card_reader import CARD, SAM_ID, WAITING as READER_WAITING, card_text, reader_settings
from test_scanner import identified, watch

DAMAGED = "配置文件已被损坏请重新设置"
RECORD = ("SFZXX_2.0|张三|1|01|19900101|北京市东城区 景山前街4号|110101199001011234|"
          "北京市公安局东城分局|20100101|20300101|")
MIB = 1 << 20


class RegistrationFaultTest(unittest.TestCase):
    def setUp(self):
        keep_registry(self, UPLOAD_KEY, "upload")
        reg_delete(UPLOAD_KEY, "upload")

    def test_no_bad_answer_is_taken_for_acceptance_and_start_up_always_completes(self):
        garbage = bytes((i * 7919 + 13) % 251 for i in range(10 * MIB))
        answers = {
            "refused": None,
            "error 500 saying SUCCESS": dict(reply=b"SUCCESS", status=500),
            "cut off mid-body": dict(mode="raw", reply=b"HTTP/1.0 200 OK\r\n"
                                     b"Content-Length: 100\r\n\r\nSUCCESS"),
            "10 MB of garbage": dict(mode="raw", reply=b"HTTP/1.0 200 OK\r\n\r\n" + garbage),
        }
        peaks = {}
        for number, (case, answer) in enumerate(answers.items(), start=2):
            with self.subTest(case), PtyPort(number) as port, CardReaderSim(port, "华视"):
                server = RegistrationServer(**answer).start() if answer else None
                try:
                    with Program(reader_settings(number), sdtapi=True,
                                 reader={"samid": SAM_ID}) as app:
                        if server:
                            server.wait_request()
                        app.wait_label(12, "初始化完成,读卡器开始工作", timeout=30)
                        app.main.wait_visible(False)
                        self.assertIsNone(reg_get(UPLOAD_KEY, "upload"))
                        peaks[case] = app.main.usage()["peak_working_set"]
                        self.assertEqual(app.exit(), 0)
                finally:
                    if server:
                        server.stop()
        # The client keeps at most 1 MiB of a reply, so 10 MB read leave the program's peak
        # near that of a start-up without a server (a client keeping it all peaks ~19 MB higher).
        self.assertLess(peaks["10 MB of garbage"] - peaks["refused"], 4 * MIB, peaks)

    def test_a_machine_key_refusing_the_flag_leaves_the_reader_working_and_reports_again(self):
        reg_set(UPLOAD_KEY, "upload", "0")  # the key exists, its flag not set ...
        deny_registry_writes(self, UPLOAD_KEY)  # ... and this account may not change it
        with RegistrationServer(b"SUCCESS") as server, PtyPort(8) as port, \
                CardReaderSim(port, "华视"), Target() as target:
            with Program(reader_settings(8), sdtapi=True,
                         reader={"samid": SAM_ID, "card": card_text(*CARD)}) as app:
                server.wait_request()
                self.assertEqual(target.wait_texts(1)[0], RECORD)
                self.assertEqual(reg_get(UPLOAD_KEY, "upload"), "0")
                self.assertEqual(app.exit(), 0)
            with Program(reader_settings(8), sdtapi=True, reader={"samid": SAM_ID}) as app:
                server.wait_requests(2)
                self.assertEqual(app.exit(), 0)


class SettingsFileFaultTest(unittest.TestCase):
    def test_ten_megabytes_of_garbage_are_a_damaged_file(self):
        noise = bytes((i * 31 + 7) % 256 for i in range(10 * MIB))
        with Program(noise) as app:
            app.wait_label(1, DAMAGED, timeout=30)
            self.assertTrue(app.visible())
            self.assertEqual(app.exit(), 0)

    def test_a_file_deleted_while_running_changes_nothing_until_ok_writes_it_again(self):
        with PtyPort(9) as port, ScannerSim(port, "Metrologic") as sim, Target() as target, \
                Program(settings(Scanner="Metrologic", Port=9)) as app:
            watch(app, identified)
            os.remove(app.settings_path)
            target.focus()
            sim.send_scan("123")
            target.wait_typed("123<ENTER>")
            app.tray_click()
            app.main.wait_visible(True)
            app.click(5)
            app.dialog.wait_visible(True)
            app.dialog.click(1100 + 1)  # Add Enter off: a change, OK is enabled
            app.dialog.click(1200 + 1)
            app.dialog.wait_visible(False)
            wait_until(lambda: app.read_settings() is not None, 5, what="Setting.ini written")
            self.assertEqual(app.read_settings()["Scanner"], "Metrologic")
            self.assertEqual(app.read_settings()["AddEnter"], "0")
            self.assertEqual(app.exit(), 0)


class CardLibraryFaultTest(unittest.TestCase):
    def setUp(self):
        keep_registry(self, UPLOAD_KEY, "upload")
        reg_delete(UPLOAD_KEY, "upload")

    def start(self, port, **reader):
        reader.setdefault("samid", SAM_ID)
        return Program(reader_settings(port), sdtapi=True, reader=reader)

    @staticmethod
    def first_read(app):
        """The library's log line of the first card read: the lengths it handed out."""
        return next(c for c in app.reader_calls() if c.startswith("SDT_ReadBaseMsg"))

    def test_statuses_outside_the_documented_ones_give_no_record(self):
        with PtyPort(2) as port, CardReaderSim(port, "华视"), Target() as target, \
                self.start(2) as app:
            app.main.wait_visible(False)
            for keys in ({"find_status": 7}, {"select_status": 0}, {"read_status": 159},
                         {"read_status": -1}, {"open_status": 1}):
                with self.subTest(**keys):
                    app.set_reader(samid=SAM_ID, card=card_text(*CARD), **keys)
                    count = len(app.reader_calls())
                    wait_until(lambda: len(app.reader_calls()) > count + 8, 10,
                               what="two card polls")
                    self.assertEqual(target.texts(), [])
                    # The library refuses a step taken after a refusal by itself: the program
                    # must not have tried one.
                    self.assertEqual(app.reader_anomalies(since=count), [])
            app.set_reader(samid=SAM_ID, card=card_text(*CARD))
            self.assertEqual(target.wait_texts(1)[0], RECORD)  # and a good read still works
            self.assertEqual(app.exit(), 0)

    def test_a_text_length_far_above_the_buffer_is_cut_to_it(self):
        with PtyPort(3) as port, CardReaderSim(port, "华视"), Target() as target, \
                self.start(3, card=card_text(*CARD), textlen=4000000000) as app:
            self.assertEqual(target.wait_texts(1)[0], RECORD)
            self.assertIn("-> 144 textLen=4000000000 photoLen=1024", self.first_read(app))
            self.assertEqual(app.exit(), 0)

    def test_a_photo_length_that_lies_changes_nothing(self):
        with PtyPort(5) as port, CardReaderSim(port, "华视"), Target() as target, \
                self.start(5, card=card_text(*CARD), photolen=4000000000) as app:
            self.assertEqual(target.wait_texts(1)[0], RECORD)
            self.assertIn("-> 144 textLen=256 photoLen=4000000000", self.first_read(app))
            self.assertEqual(app.exit(), 0)

    def test_an_id_without_terminator_or_longer_than_its_buffer_is_cut_to_the_buffer(self):
        for number, length in ((6, 50), (7, 120)):
            with self.subTest(length=length), RegistrationServer(b"SUCCESS") as server, \
                    PtyPort(number) as port, CardReaderSim(port, "华视"), \
                    self.start(number, samid_unterminated=length) as app:
                sent = server.wait_request().split("id=", 1)[1]
                app.wait_label(12, "初始化完成,读卡器开始工作", timeout=30)
                # Fifty bytes less the last, as for any id the library ends itself.
                self.assertEqual(sent, (SAM_ID * 3)[:49])
                self.assertEqual(app.exit(), 0)
                reg_delete(UPLOAD_KEY, "upload")

    def test_a_library_without_one_of_its_functions_is_reported_as_missing(self):
        with PtyPort(8) as port, CardReaderSim(port, "华视"), \
                Program(reader_settings(8), sdtapi=bin_file("sdtapi_incomplete.dll")) as app:
            app.wait_label(12, "无法加载读卡器库sdtapi.dll")
            self.assertTrue(app.visible())
            self.assertEqual(app.exit(), 0)

    def test_a_call_that_never_returns_holds_neither_window_nor_scanner_nor_exit(self):
        with PtyPort(4) as reader_port, CardReaderSim(reader_port, "华视"), \
                PtyPort(3) as scanner_port, ScannerSim(scanner_port, "HHP") as sim, \
                Target() as target, \
                Program(settings(Port=3, UsePort2=1, Port2=4), sdtapi=True,
                        reader={"samid": SAM_ID}) as app:
            watch(app, identified)
            app.wait_label(12, READER_WAITING)
            calls = len(app.reader_calls())
            # About 49 days: the next call does not come back while this test runs.
            app.set_reader(samid=SAM_ID, card=card_text(*CARD), delay_ms=4294967295)
            app.wait_label(12, "读卡器无响应,正在重试...", timeout=10)
            self.assertEqual(len(app.reader_calls()), calls)  # none answered, none piled up
            started = time.monotonic()
            app.tray_click()
            app.main.wait_visible(True, timeout=1)
            self.assertLess(time.monotonic() - started, 1.0)
            target.focus()
            sim.send_scan("6901234567892")
            target.wait_typed("6901234567892<ENTER>")
            app.tray_click()
            app.main.wait_visible(True, timeout=1)
            started = time.monotonic()
            app.click(6)
            app.main.wait_visible(False, timeout=1)  # Exit answers at once ...
            self.assertLess(time.monotonic() - started, 1.0)
            # ... and the program ends as without the stuck call: about 4 s under Wine either
            # way (measured; Wine without a window manager holds a window's destruction).
            app.main.wait_gone(timeout=8)
            self.assertLess(time.monotonic() - started, 8.0)
            self.assertEqual(app.wait_exit(timeout=10), 0)


    def test_a_call_that_never_returns_at_start_up_holds_neither_window_nor_scanner_nor_exit(self):
        with PtyPort(4) as reader_port, CardReaderSim(reader_port, "华视"), \
                PtyPort(3) as scanner_port, ScannerSim(scanner_port, "HHP") as sim, \
                Target() as target, \
                Program(settings(Port=3, UsePort2=1, Port2=4), sdtapi=True,
                        reader={"samid": SAM_ID, "delay_ms": 4294967295}) as app:
            app.main.wait_visible(True, timeout=10)
            app.wait_label(12, "读卡器无响应,正在重试...", timeout=15)
            started = time.monotonic()
            app.tray_click()
            app.main.wait_visible(True, timeout=1)
            self.assertLess(time.monotonic() - started, 1.0)
            app.wait_label(1, "等待扫描仪发送信息...", timeout=15)
            target.focus()
            sim.send_scan("6901234567892")
            target.wait_typed("6901234567892<ENTER>")
            started = time.monotonic()
            app.click(6)
            app.main.wait_visible(False, timeout=1)
            self.assertLess(time.monotonic() - started, 1.0)
            app.main.wait_gone(timeout=8)
            self.assertEqual(app.wait_exit(timeout=10), 0)


class HeldProgramTest(unittest.TestCase):
    """Readings scanned while a card read takes 0.75 s and the business application takes
    3 s to accept a window text: each arrives once, whole, in order, where it belongs."""

    BARCODES = ("1111111", "2222222", "3333333", "4444444")

    def run_with(self, scanner_factory, brand, send):
        with PtyPort(5) as reader_port, CardReaderSim(reader_port, "华视"), \
                PtyPort(6) as scanner_port, scanner_factory(scanner_port) as sim, \
                Target(stall_settext_ms=3000) as target, \
                Program(settings(Scanner=brand, Port=6, UsePort2=1, Port2=5), sdtapi=True,
                        reader={"samid": SAM_ID}) as app:
            watch(app, identified)
            app.wait_label(12, READER_WAITING)
            target.focus()
            app.set_reader(samid=SAM_ID, card=card_text(*CARD), delay_ms=150)
            target.wait_texts(1, timeout=10)  # the business application is now being held
            for code in self.BARCODES:
                send(sim, code)
                time.sleep(0.7)
            send(sim, "ZCCCHGZ_0042" if brand == "Symbol" else "DE6K8ZCCCHGZ_0042")
            expected = "".join(code + "<ENTER>" for code in self.BARCODES)
            target.wait_typed(expected, timeout=20)
            wait_until(lambda: "ZCCCHGZ_0042" in target.texts(), 20, what="the 2-D code")
            app.set_reader(samid=SAM_ID)
            time.sleep(1.0)
            self.assertEqual(target.typed(), expected)
            self.assertEqual(target.texts().count("ZCCCHGZ_0042"), 1)
            self.assertTrue(all(t in (RECORD, "ZCCCHGZ_0042") for t in target.texts()))
            self.assertEqual(app.exit(), 0)

    def test_serial_readings(self):
        self.run_with(lambda port: ScannerSim(port, "HHP"), "HHP",
                      lambda sim, code: sim.send_scan(code))

    def test_symbol_readings(self):
        self.run_with(SsiScanner, "Symbol", lambda sim, code: sim.scan(code))


class MidOperationTest(unittest.TestCase):
    def test_exit_in_the_middle_of_a_reading_ends_the_program_cleanly(self):
        with PtyPort(5) as port, ScannerSim(port, "HHP") as sim, \
                Program(settings(Port=5)) as app:
            watch(app, identified)
            # 28 800 bytes at 9600 bit/s take 30 s: Exit comes once the reading is under way.
            stop = threading.Event()
            worker = threading.Thread(target=sim.send_scan, args=("9" * 28800,),
                                      kwargs={"baud": 9600, "stop": stop}, daemon=True)
            worker.start()
            try:
                app.wait_label(1, "扫描仪正在读取信息,请稍等...")
                app.tray_click()
                app.main.wait_visible(True)
                app.click(6)
                self.assertEqual(app.wait_exit(timeout=15), 0)
                self.assertTrue(worker.is_alive(), "the program ended only with the reading")
            finally:
                stop.set()
                worker.join()

    def test_commands_wait_for_the_identification_and_a_close_request_ends_it_after(self):
        with PtyPort(6) as port, ScannerSim(port, "HHP"), Program(settings(Port=6)) as app:
            app.wait_label(1, "正在检测连机条码扫描仪...", timeout=20)
            app.click(5)
            app.click(6)
            self.assertTrue(app.running())
            app.close()  # as the installer asks: carried out once the identification is done
            self.assertEqual(app.wait_exit(timeout=30), 0)
            self.assertFalse(app.dialog.exists())

    def test_the_session_ending_ends_the_program_as_exit_does_with_its_log_line(self):
        with PtyPort(6) as port, ScannerSim(port, "HHP"), Program(settings(Port=6)) as app:
            watch(app, identified)
            app.main.post(0x0016, wparam=1)  # WM_ENDSESSION: Windows logs off
            self.assertEqual(app.wait_exit(timeout=15), 0)
        folders = test_card_reader.DiagnosticLogTest.LOG_FOLDERS
        logs = [folder / "ordane.log" for pattern in folders
                for folder in prefix().drive_c.glob(pattern)]
        last = logs[0].read_bytes().decode("utf-8").splitlines()[-1]
        self.assertIn("exit: ", last)

    def test_the_settings_command_during_a_slow_card_read_opens_once_the_read_returns(self):
        with PtyPort(7) as port, CardReaderSim(port, "华视"), \
                Program(reader_settings(7), sdtapi=True, reader={"samid": SAM_ID}) as app:
            app.main.wait_visible(False)
            app.set_reader(samid=SAM_ID, delay_ms=2000)
            time.sleep(1.0)
            app.tray_click()
            app.click(5)
            app.dialog.wait_visible(True, timeout=30)
            app.set_reader(samid=SAM_ID)
            app.dialog.click(1200 + 2)  # Cancel
            app.dialog.wait_visible(False)
            self.assertEqual(app.exit(), 0)

    def test_after_the_taskbar_comes_back_the_icon_is_there_again_and_brings_the_window_back(self):
        with Program(settings(UsePort1=0, UsePort2=0)) as app:
            app.click(4)
            app.main.wait_visible(False)
            wait_until(app.main.tray_icon, 10, what="the icon in the notification area")
            self.assertTrue(app.main.tray_icon(remove=True))  # the shell restarts, icons lost
            self.assertFalse(app.main.tray_icon())
            app.main.post(app.main.registered_message("TaskbarCreated"))
            wait_until(app.main.tray_icon, 10, what="the icon added again")
            app.tray_click()
            app.main.wait_visible(True)
            self.assertEqual(app.exit(), 0)


if __name__ == "__main__":
    unittest.main()
