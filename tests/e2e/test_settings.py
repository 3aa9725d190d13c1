"""The tray icon, the settings dialog and the Settings command through the real Ordane.exe:
the dialog shows what Setting.ini holds, Cancel keeps everything, OK rewrites the file and
reopens the devices, the port conflict is refused, auto-start is registered and removed, and
the ports present are listed."""

import contextlib
import os
import subprocess
import unittest

from harness import (LIST_IDS, RUN_KEY, SETTING_KEYS, USER_RUN_KEY, PtyPort, Program, Target, check_id,
                     command_id, deny_registry_writes, frame_id, keep_registry, press_message_box,
                     reg_delete, reg_get, reg_set, settings, wait_until)
from sim.scanner import ScannerSim

WAITING = "等待扫描仪发送信息..."
FLEET_KEY = r"HKLM\Software\Policies\Ordane\BCINFO"
OK, CANCEL = command_id(1), command_id(2)


def scanner_settings(port, **extra):
    """A Metrologic scanner (the quickest identification) at 19200, even parity, two stop
    bits, no Enter; the card reader not in use."""
    values = dict(Scanner="Metrologic", Port=port, BaudRate=4, Bits=3, Parity=2, StopBits=1,
                  AddEnter=0, UsePort1=1, UsePort2=0, Port2=2, CardReader="华视")
    values.update(extra)
    return settings(**values)


def identified(app):
    wait_until(lambda: app.label(1) == WAITING and not app.visible() and app.command_enabled(5),
               20, what="scanner identified and the window hidden")


def open_dialog(app):
    """Brings the window back from the tray and runs the Settings command."""
    if not app.visible():
        app.tray_click()
        app.main.wait_visible(True)
    app.click(5)
    app.dialog.wait_visible(True)
    return app.dialog


@contextlib.contextmanager
def read_only(path):
    os.chmod(path, 0o444)
    if subprocess.run(["chattr", "+i", str(path)], capture_output=True).returncode != 0:
        os.chmod(path, 0o644)
        raise unittest.SkipTest("chattr +i is refused here: Wine as root would write the file")
    try:
        yield
    finally:
        subprocess.run(["chattr", "-i", str(path)], check=True)
        os.chmod(path, 0o644)


def refused_ok(test, app, dialog):
    """Clicks OK, answers the message that refuses it and returns the message's text; the
    dialog stays open and the file is not touched."""
    before = app.settings_path.read_bytes()
    dialog.click(OK)
    box = wait_until(app.message_box, 10, what="the message that refuses OK")
    press_message_box(pid=box["pid"])
    wait_until(lambda: app.message_box() is None, 10, what="message closed")
    test.assertTrue(dialog.visible())
    test.assertEqual(app.settings_path.read_bytes(), before)
    return box["text"]


def selection(dialog, name):
    index, entries = dialog.items(LIST_IDS[name])
    return entries[index] if index >= 0 else None


class TrayTest(unittest.TestCase):
    def test_hide_then_a_left_click_on_the_icon_shows_the_window(self):
        with Program(settings(UsePort1=0, UsePort2=0)) as app:
            app.main.wait_visible(True)
            app.click(4)
            app.main.wait_visible(False)
            app.main.tray(0x205)  # right button up: nothing
            app.main.tray(0x201)  # left button down: nothing either
            self.assertFalse(app.visible())
            app.tray_click()
            app.main.wait_visible(True)
            app.tray_click()  # already shown: stays as it is
            self.assertTrue(app.visible())
            app.exit()


class SettingsCommandTest(unittest.TestCase):
    def test_the_dialog_shows_the_stored_settings_and_cancel_keeps_them(self):
        with PtyPort(5) as port, ScannerSim(port, "Metrologic") as sim, Target() as target, \
                Program(scanner_settings(5)) as app:
            identified(app)
            before = app.settings_path.read_bytes()
            dialog = open_dialog(app)
            # The loops keep running while the dialog is open.
            sim.send_scan("DE6K8ZCCCHGZ_while-open")
            self.assertEqual(target.wait_texts(1), ["ZCCCHGZ_while-open"])
            # The reader's make and port are not read while it is off: they keep the defaults.
            self.assertEqual(
                {name: selection(dialog, name) for name in LIST_IDS if name != "cbPort2"},
                {"cbModel": "Metrologic", "cbPort": "COM5", "cbBaudRate": "19200",
                 "cbByteSize": "8", "cbStopBits": "2", "cbParity": "偶校验",
                 "cmCardModel": "华旭"})
            self.assertEqual([dialog.checked(check_id(n)) for n in (1, 2, 3, 4)], [0, 0, 0, 1])
            # The reader is off: its group is unusable, its title box is not.
            self.assertFalse(dialog.enabled(LIST_IDS["cbPort2"]))
            self.assertFalse(dialog.enabled(frame_id(2)))
            self.assertTrue(dialog.enabled(check_id(3)))
            self.assertTrue(dialog.enabled(LIST_IDS["cbBaudRate"]))
            self.assertFalse(dialog.enabled(OK), "OK before any change")
            # A change, then Cancel: nothing is written; the next showing keeps the change.
            dialog.select(LIST_IDS["cbBaudRate"], text="9600")
            wait_until(lambda: dialog.enabled(OK), 5, what="OK enabled by the change")
            dialog.click(CANCEL)
            dialog.wait_visible(False)
            self.assertEqual(app.settings_path.read_bytes(), before)
            self.assertTrue(app.visible())
            self.assertEqual(app.label(1), WAITING, "a cancelled dialog redid the start-up")
            dialog = open_dialog(app)
            self.assertEqual(selection(dialog, "cbBaudRate"), "9600")
            self.assertFalse(dialog.enabled(OK))
            dialog.close()  # the title bar acts as Cancel
            dialog.wait_visible(False)
            self.assertEqual(app.settings_path.read_bytes(), before)
            app.exit()

    def test_ok_after_a_baud_change_rewrites_the_file_and_reopens_the_scanner(self):
        with PtyPort(6) as port, ScannerSim(port, "Metrologic") as sim, \
                Program(scanner_settings(6)) as app:
            identified(app)
            self.assertEqual(port.termios()["speed"], 19200)
            queries = len(sim.queries)
            dialog = open_dialog(app)
            dialog.select(LIST_IDS["cbBaudRate"], text="115200")
            reader_port = selection(dialog, "cbPort2")  # off, so its default entry
            dialog.click(OK)
            dialog.wait_visible(False)
            # Every key, in the order OK writes them, from what the dialog shows.
            self.assertEqual(list(app.read_settings()), list(SETTING_KEYS))
            self.assertEqual(app.read_settings(), {
                "Scanner": "Metrologic", "Port": "6", "BaudRate": "7", "Bits": "3",
                "Parity": "2", "StopBits": "1", "AddEnter": "0", "UsePort2": "0",
                "UsePort1": "1", "Port2": reader_port[3:], "CardReader": "华旭"})
            # The port was opened again at the new speed and the scanner identified again.
            wait_until(lambda: port.termios()["speed"] == 115200, 10, what="port at 115200")
            app.wait_label(1, "检测到Metrologic条码扫描仪")
            identified(app)
            self.assertEqual(len(sim.queries), queries + 1)
            app.exit()

    def test_a_program_folder_named_in_korean_letters_reads_and_writes_its_settings(self):
        # Letters outside the ANSI code page (936): the scanner named in the file is found,
        # and OK writes the file.
        with PtyPort(7) as port, ScannerSim(port, "Metrologic"), \
                Program(scanner_settings(7), folder_prefix="ordane-한국어-") as app:
            identified(app)
            dialog = open_dialog(app)
            dialog.select(LIST_IDS["cbBaudRate"], text="115200")
            dialog.click(OK)
            dialog.wait_visible(False)
            self.assertEqual(app.read_settings()["BaudRate"], "7")
            self.assertEqual(app.read_settings()["CardReader"], "华旭")
            app.exit()

    def test_the_same_port_for_both_devices_is_refused_and_nothing_is_written(self):
        with PtyPort(2) as port, ScannerSim(port, "Metrologic"), \
                Program(scanner_settings(2)) as app:
            identified(app)
            dialog = open_dialog(app)
            dialog.click(check_id(3))  # use the card reader too ...
            wait_until(lambda: dialog.enabled(LIST_IDS["cbPort2"]), 5, what="reader group on")
            dialog.select(LIST_IDS["cbPort2"], text="COM2")  # ... on the scanner's port
            self.assertEqual(refused_ok(self, app, dialog), "条码扫描仪和二代证不能使用同一个端口")
            # With the reader switched off again, the same port is no conflict.
            dialog.click(check_id(3))
            dialog.click(OK)
            dialog.wait_visible(False)
            saved = app.read_settings()
            self.assertEqual((saved["Port"], saved["Port2"], saved["UsePort2"]), ("2", "2", "0"))

    def test_ok_on_a_read_only_file_says_so_and_the_dialog_stays_open(self):
        with PtyPort(2) as port, ScannerSim(port, "Metrologic"), \
                Program(scanner_settings(2)) as app:
            identified(app)
            dialog = open_dialog(app)
            dialog.click(check_id(1))  # Enter after a barcode
            # Read-only, and immutable: Wine running as root would write a read-only file.
            with read_only(app.settings_path):
                self.assertIn("无法写入配置文件Setting.ini", refused_ok(self, app, dialog))
            dialog.click(OK)  # writable again: saved
            dialog.wait_visible(False)
            self.assertEqual(app.read_settings()["AddEnter"], "1")
            app.exit()

    def test_auto_start_is_registered_with_the_programs_path_and_removed(self):
        # The test's program folder is a portable copy's (its user owns it): the user's own Run
        # key, never the machine's, which would start it for every user.
        for key in (RUN_KEY, USER_RUN_KEY):
            keep_registry(self, key, "Velmar")
            reg_delete(key, "Velmar")
        with PtyPort(3) as port, ScannerSim(port, "Metrologic") as sim, \
                Program(scanner_settings(3)) as app:
            identified(app)
            dialog = open_dialog(app)
            dialog.click(check_id(2))
            dialog.click(OK)
            dialog.wait_visible(False)
            exe = app.prefix.windows_path(app.exe)
            self.assertEqual(reg_get(USER_RUN_KEY, "Velmar"), exe)
            self.assertIsNone(reg_get(RUN_KEY, "Velmar"))
            self.assertEqual(app.read_settings()["AddEnter"], "0")
            # Only auto-start changed: no reopen, but detection runs again on the open port.
            app.wait_label(1, "检测到Metrologic条码扫描仪")
            identified(app)
            dialog = open_dialog(app)
            self.assertEqual(dialog.checked(check_id(2)), 1)
            dialog.click(check_id(2))
            dialog.click(OK)
            dialog.wait_visible(False)
            wait_until(lambda: reg_get(USER_RUN_KEY, "Velmar") is None, 5, what="entry removed")
            sim.wait_queries(3)  # and the scanner is asked again
            identified(app)
            app.exit()

    def test_a_run_key_refusing_the_auto_start_entry_is_told_and_the_rest_is_saved(self):
        keep_registry(self, USER_RUN_KEY, "Velmar")
        reg_delete(USER_RUN_KEY, "Velmar")
        deny_registry_writes(self, USER_RUN_KEY)  # as a locked-down profile's
        with PtyPort(5) as port, ScannerSim(port, "Metrologic"), \
                Program(scanner_settings(5)) as app:
            identified(app)
            dialog = open_dialog(app)
            dialog.click(check_id(1))  # Enter after a barcode ...
            dialog.click(check_id(2))  # ... and auto-start
            dialog.click(OK)
            box = wait_until(app.message_box, 10, what="the auto-start message")
            self.assertEqual(box["text"], "无法设置自动启动：没有修改注册表启动项的权限。\n"
                             "其他设置已经保存。请联系系统管理员设置自动启动（安装程序可以设置）。")
            press_message_box(pid=box["pid"])
            dialog.wait_visible(False)
            self.assertEqual(app.read_settings()["AddEnter"], "1")
            self.assertIsNone(reg_get(USER_RUN_KEY, "Velmar"))
            identified(app)
            dialog = open_dialog(app)
            self.assertEqual(dialog.checked(check_id(2)), 0, "the box shows the entry as it is")
            dialog.click(CANCEL)
            self.assertEqual(app.exit(), 0)

    def test_the_ports_present_are_listed_and_a_greyed_box_shows_greyed(self):
        # "UsePort2" 2 is the greyed box: the reader counts as in use (and fails to start
        # here, without its library), its box shows the third state.
        with PtyPort(4) as low, PtyPort(11) as high, \
                Program(settings(UsePort1=0, UsePort2=2)) as app:
            app.wait_label(12, "无法加载读卡器库sdtapi.dll")
            dialog = open_dialog(app)
            self.assertEqual((dialog.checked(check_id(3)), dialog.checked(check_id(4))), (2, 0))
            self.assertTrue(dialog.enabled(LIST_IDS["cbPort2"]))
            self.assertFalse(dialog.enabled(LIST_IDS["cbPort"]))
            ports = dialog.items(LIST_IDS["cbPort"])[1]
            reader_ports = dialog.items(LIST_IDS["cbPort2"])[1]
            self.assertIn(low.name, ports)
            self.assertIn(high.name, ports)
            self.assertEqual(ports, sorted(ports, key=lambda p: int(p[3:])))
            self.assertIn(low.name, reader_ports)
            self.assertNotIn(high.name, reader_ports)
            self.assertEqual(reader_ports[-4:], ["USB6", "USB7", "USB8", "USB9"])
            dialog.click(CANCEL)
            app.exit()

    def test_a_value_the_fleet_policy_fixes_is_used_greyed_and_never_saved(self):
        keep_registry(self, FLEET_KEY, "BaudRate")
        reg_set(FLEET_KEY, "BaudRate", 7, kind="dword")  # 115200, as group policy writes it
        self.addCleanup(reg_delete, FLEET_KEY)
        with PtyPort(8) as port, ScannerSim(port, "Metrologic"), \
                Program(scanner_settings(8)) as app:  # the file says 19200
            identified(app)
            self.assertEqual(port.termios()["speed"], 115200)
            dialog = open_dialog(app)
            self.assertEqual(selection(dialog, "cbBaudRate"), "115200")
            self.assertFalse(dialog.enabled(LIST_IDS["cbBaudRate"]))
            self.assertTrue(dialog.enabled(LIST_IDS["cbByteSize"]))
            dialog.click(check_id(1))  # Enter after each code
            wait_until(lambda: dialog.enabled(OK), 5, what="OK enabled by the change")
            dialog.click(OK)
            dialog.wait_visible(False)
            stored = app.read_settings()
            self.assertEqual((stored["AddEnter"], stored["BaudRate"]), ("1", "4"))
            identified(app)
            self.assertEqual(port.termios()["speed"], 115200)
            # Taken back while Ordane runs (a group policy refresh): the file's value counts
            # again, applied as OK applies it, and logged.
            reg_delete(FLEET_KEY, "BaudRate")
            wait_until(lambda: port.termios()["speed"] == 19200, 10,
                       what="the scanner reopened at the file's speed")
            identified(app)
            app.exit()


if __name__ == "__main__":
    unittest.main()
