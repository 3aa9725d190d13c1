"""Start-up of the real Ordane.exe: settings file missing or damaged, the second instance,
the scanner port opened with the configured line, and Exit."""

import os
import time
import unittest
from pathlib import Path

from harness import PtyPort, Program, Target, press_message_box, settings, wait_until
from sim.card_reader import CardReaderSim
from sim.scanner import ScannerSim
from test_card_reader import CARD, SAM_ID, card_text

SCANNER_INITIALISING = "扫描仪正在初始化,请稍等..."
HINT = "确认设置正确和设备已经连接到电脑"
STATUS_LINES = (1, 2, 3, 7, 10, 11, 12, 13)


def port_in_use(port: PtyPort) -> bool:
    """Whether a process other than the test holds the pty behind the COM port open. (Wine
    does not refuse a second open of a serial port, so this is looked at from Linux.)"""
    me = os.getpid()
    for fd_dir in Path("/proc").glob("[0-9]*/fd"):
        if int(fd_dir.parent.name) == me:
            continue
        try:
            if any(os.readlink(fd) == port.device for fd in fd_dir.iterdir()):
                return True
        except OSError:
            continue
    return False


class SettingsFileTest(unittest.TestCase):
    def assert_only_label1(self, app, text):
        app.wait_label(1, text)
        app.main.wait_visible(True)
        self.assertEqual({n: app.label(n) for n in STATUS_LINES if n != 1},
                         {n: "" for n in STATUS_LINES if n != 1})

    def test_without_a_settings_file_asks_for_the_first_set_up(self):
        with Program(None) as app:
            self.assert_only_label1(app, "初次使用请设置端口")
            self.assertEqual(app.exit(), 0)

    def test_a_damaged_file_is_reported_and_nothing_is_opened(self):
        # No "UsePort1": the file cannot be read; the scanner port it names stays free.
        with PtyPort(4) as port, Program(settings(Port=4, UsePort1=None)) as app:
            self.assert_only_label1(app, "配置文件已被损坏请重新设置")
            self.assertFalse(port_in_use(port))
            app.exit()

    def test_a_port_number_too_large_for_the_field_is_damage(self):
        with Program(settings(Port=4294967299)) as app:
            self.assert_only_label1(app, "配置文件已被损坏请重新设置")
            app.exit()

    def test_neither_device_in_use_leaves_every_line_empty_and_the_window_shown(self):
        with Program(settings(UsePort1=0, UsePort2=0)) as app:
            # Load has run once the lines are cleared; the window then stays up for good.
            app.main.wait_visible(True)
            wait_until(lambda: app.labels() == {n: "" for n in STATUS_LINES}, 10,
                       what="eight empty lines")
            self.assertTrue(app.visible())
            app.exit()


class SecondInstanceTest(unittest.TestCase):
    def test_a_second_start_is_refused_with_a_message_and_the_first_runs_on(self):
        with Program(settings(UsePort1=0, UsePort2=0)) as app:
            app.main.wait_visible(True)
            second = app.start_again()
            try:
                box = wait_until(lambda: _second_box(app), 20,
                                 what="the second instance's message box")
                self.assertEqual(box["title"], "提示")
                self.assertEqual(box["text"], "条码扫描仪Ordane已经在运行")
                self.assertEqual(box["buttons"], "1:确定")  # OK alone
                press_message_box(pid=box["pid"])
                self.assertEqual(second.wait(timeout=15), 0)
            finally:
                if second.poll() is None:
                    second.kill()
            # The first is unaffected and still the only main window of that program.
            self.assertTrue(app.running())
            self.assertTrue(app.visible())
            self.assertEqual(app.exit(), 0)


def _second_box(app):
    box = app.message_box()
    return box if box and box["text"] else None


class ScannerPortTest(unittest.TestCase):
    def test_the_scanner_port_opens_with_the_configured_line(self):
        # The reader does not answer: the scanner's port is opened with the configured line
        # all the same, and the reader's identification goes out over its own port.
        with PtyPort(3) as scanner, PtyPort(2) as reader_port, \
                CardReaderSim(reader_port, "华视", answer="silent") as reader, \
                Program(settings(Port=3, BaudRate=4, StopBits=1, UsePort2=1, Port2=2),
                        sdtapi=True) as app:
            app.wait_label(12, "没有识别到读卡器")
            self.assertEqual(app.label(13), HINT)
            line = scanner.termios()
            self.assertEqual((line["speed"], line["cstopb"]), (19200, True))
            self.assertTrue(port_in_use(scanner))
            # The identification went out once over the reader's own port at 115200.
            self.assertEqual([r["speed"] for r in reader.wait_requests(1)], [115200])
            # The scanner is asked meanwhile; nothing answers, and the commands work again.
            app.wait_label(1, "没有检测到条码扫描仪", timeout=20)
            self.assertEqual(app.exit(), 0)
            wait_until(lambda: not port_in_use(scanner), 10, what="scanner port freed")

    def test_a_scanner_adapter_plugged_in_after_start_is_found_while_the_reader_works(self):
        with PtyPort(2) as reader_port, CardReaderSim(reader_port, "华视"), Target() as target, \
                Program(settings(Port=11, UsePort2=1, Port2=2), sdtapi=True,
                        reader={"samid": SAM_ID, "card": card_text(*CARD)}) as app:
            app.wait_label(1, "无法打开条码扫描仪端口")
            self.assertEqual(app.label(2), HINT)
            self.assertTrue(app.visible())
            target.wait_texts(1, timeout=15)  # the card reader works meanwhile
            app.set_reader(samid=SAM_ID)
            time.sleep(6)
            with PtyPort(11) as scanner_port, ScannerSim(scanner_port, "HHP") as sim:
                app.wait_label(1, "等待扫描仪发送信息...", timeout=15)
                self.assertEqual(app.label(3), "设备:HHP")
                target.focus()
                sim.send_scan("6901234567892")
                target.wait_typed("6901234567892<ENTER>")
                app.exit()

    def test_a_make_stored_in_gbk_by_another_program_reads_back(self):
        ini = ("[BCINFO]\r\nUsePort1=0\r\nUsePort2=1\r\nPort2=2\r\n"
               "CardReader=华视\r\n").encode("gbk")
        with PtyPort(2) as reader_port, CardReaderSim(reader_port, "华视"), \
                Program(ini, sdtapi=True, reader={"samid": ""}) as app:
            app.wait_label(10, "设备:华视")
            self.assertEqual(app.label(11), "型号:CVR-100U")
            app.exit()


class ExitTest(unittest.TestCase):
    def test_closing_the_window_ends_the_program_and_frees_the_port(self):
        with PtyPort(6) as scanner, \
                Program(settings(Port=6, Scanner="HHP")) as app:
            # Nothing answers: once detection gave up (it asks again every 2 s on a freshly
            # opened port), the commands work again.
            app.wait_label(1, "没有检测到条码扫描仪")
            app.close()
            self.assertEqual(app.wait_exit(), 0)
            wait_until(lambda: not port_in_use(scanner), 10, what="scanner port freed")


if __name__ == "__main__":
    unittest.main()
