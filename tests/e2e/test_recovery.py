"""What a counter meets in the field, through the real Ordane.exe: a scanner adapter pulled
out and plugged back in, a change of brand between Symbol and another on one port, a reply
that comes after the identification gave up, a greyed "use" box, and a Symbol scanner
whose packets are damaged or which was switched off and on."""

import threading
import time
import unittest

from harness import (LIST_IDS, PtyPort, Program, Target, command_id, reg_delete, reg_set, settings,
                     wait_until)
from sim.scanner import ScannerSim
from sim.ssi_scanner import PARAM_DECODE_FORMAT, SsiScanner
from test_scanner import HINT, WAITING, identified, watch

PORT_FAILED = "无法打开条码扫描仪端口"
NOT_DETECTED = "没有检测到条码扫描仪"
SERIALCOMM = r"HKLM\HARDWARE\DEVICEMAP\SERIALCOMM"


class RecoveryTest(unittest.TestCase):
    def test_an_unplugged_scanner_is_reported_and_works_again_once_plugged_back(self):
        port = PtyPort(9)
        sim = ScannerSim(port, "HHP").start()
        try:
            with Target() as target, Program(settings(Port=9)) as app:
                watch(app, identified)
                target.focus()
                sim.send_scan("111")
                target.wait_typed("111<ENTER>")
                sim.stop()
                port.close()  # the adapter is pulled out
                app.wait_label(1, PORT_FAILED)
                self.assertEqual(app.label(2), HINT)
                app.main.wait_visible(True)
                port = PtyPort(9)  # and plugged back in: the same COM number
                sim = ScannerSim(port, "HHP").start()
                watch(app, identified, timeout=20)
                self.assertEqual(len(sim.queries), 1)
                self.assertEqual(app.label(2), "")
                target.focus()
                sim.send_scan("222")
                target.wait_typed("111<ENTER>222<ENTER>")
                self.assertEqual(app.exit(), 0)
        finally:
            sim.stop()
            port.close()

    def test_a_scanner_whose_adapter_came_back_as_another_port_is_followed_there(self):
        port = PtyPort(3)
        sim = ScannerSim(port, "HHP").start()
        try:
            with Target() as target, Program(settings(Port=3)) as app:
                watch(app, identified)
                sim.stop()
                port.close()  # the adapter is pulled out of one socket ...
                app.wait_label(1, PORT_FAILED)
                port = PtyPort(20)  # ... and put into another: the same scanner, as COM20,
                # which its driver names as Windows' do (Wine lists only its boot-time ports)
                self.addCleanup(reg_delete, SERIALCOMM, "ordane-e2e-com20")
                reg_set(SERIALCOMM, "ordane-e2e-com20", "COM20")
                sim = ScannerSim(port, "HHP").start()
                watch(app, identified, timeout=20)
                self.assertEqual(len(sim.queries), 1)
                self.assertEqual(app.label(2), "条码扫描仪已改用COM20")
                self.assertEqual(app.read_settings()["Port"], "20")
                target.focus()
                sim.send_scan("333")
                target.wait_typed("333<ENTER>")
                app.tray_click()
                app.main.wait_visible(True)
                app.click(5)
                app.dialog.wait_visible(True)
                selected, ports = app.dialog.items(LIST_IDS["cbPort"])
                self.assertIn("COM20", ports)
                self.assertEqual(ports[selected], "COM20")
                app.dialog.click(command_id(2))
                app.dialog.wait_visible(False)
                self.assertEqual(app.exit(), 0)
        finally:
            sim.stop()
            port.close()

    def test_the_brand_changes_between_hhp_and_symbol_on_the_same_port(self):
        with PtyPort(10) as port, Target() as target, \
                Program(settings(Port=10)) as app:
            sim = ScannerSim(port, "HHP").start()
            watch(app, identified)
            for brand in ("Symbol", "HHP"):
                sim.stop()
                sim = (SsiScanner(port) if brand == "Symbol" else ScannerSim(port, "HHP")).start()
                app.tray_click()
                app.main.wait_visible(True)
                app.click(5)
                app.dialog.wait_visible(True)
                app.dialog.select(LIST_IDS["cbModel"], text=brand)
                app.dialog.click(command_id(1))
                app.dialog.wait_visible(False)
                seen = watch(app, identified, timeout=20)
                self.assertNotIn(PORT_FAILED, [s[0] for s in seen], brand)
                self.assertEqual(app.label(3), f"设备:{brand}")
                target.focus()
                if isinstance(sim, SsiScanner):
                    sim.scan(b"SYM42")
                    target.wait_typed("SYM42<ENTER>")
                else:
                    sim.send_scan("HHP42")
                    target.wait_typed("SYM42<ENTER>HHP42<ENTER>")
            sim.stop()
            self.assertEqual(app.exit(), 0)

    def test_a_reply_that_comes_too_late_for_the_identification_is_not_a_scan(self):
        # The first 25 bytes, all the identification reads, hold no model; the rest, with
        # the model, stays in the port after the identification has failed.
        late = b"\x06" * 25 + b"P_NAME:IT4600-050\x06."
        with PtyPort(11) as port, ScannerSim(port, "HHP", reply=late), Target() as target, \
                Program(settings(Port=11)) as app:
            app.wait_label(1, NOT_DETECTED, timeout=20)
            target.focus()
            app.pass_turns()  # many timer intervals: a loop still reading would have typed it
            # A scan would have changed the first line to the waiting text.
            self.assertEqual((app.label(1), app.label(2)), (NOT_DETECTED, HINT))
            self.assertEqual(target.typed(), "")
            self.assertEqual(app.exit(), 0)

    def test_a_greyed_scanner_box_at_start_up_is_a_scanner_in_use(self):
        with PtyPort(8) as port, ScannerSim(port, "HHP") as sim, Target() as target, \
                Program(settings(Port=8, UsePort1=2)) as app:
            watch(app, identified)
            self.assertEqual(len(sim.queries), 1)
            target.focus()
            sim.send_scan("333")
            target.wait_typed("333<ENTER>")
            self.assertEqual(app.exit(), 0)

    def test_a_symbol_scanner_survives_a_damaged_resend_and_a_power_cycle(self):
        with PtyPort(7) as port, SsiScanner(port) as scanner, Target() as target, \
                Program(settings(Scanner="Symbol", Port=7)) as app:
            watch(app, identified)
            target.focus()
            scanner.scan(b"6901234567892")
            target.wait_typed("6901234567892<ENTER>")
            # The second scan's first packet has a bad checksum: the host NAKs it and the
            # scanner resends it with the retransmit bit, equal to the packet before.
            scanner.scan(b"6901234567892", corrupt_first=True)
            target.wait_typed("6901234567892<ENTER>" * 2)
            self.assertGreaterEqual(len(scanner.host_packets(0xD1)), 1)
            # Switched off and on, the scanner has forgotten the packet format: its next
            # reading goes out raw, and the link asks for packets again.
            scanner.params[PARAM_DECODE_FORMAT] = 0x00
            # A power cycle takes far longer than the link's 200 ms burst: the raw reading is
            # not in the burst of the packet before (typed now within 0.1 s of it).
            time.sleep(0.5)
            scanner.scan(b"raw reading")
            self.assertTrue(scanner.wait_for(lambda: scanner.packeted))
            scanner.scan(b"4006381333931")
            target.wait_typed("6901234567892<ENTER>" * 2 + "4006381333931<ENTER>")
            self.assertEqual(app.exit(), 0)

    def test_a_reading_before_the_unplug_then_ok_and_a_scanner_slow_to_wake_on_replug(self):
        reading = "SN-6901234567892-4006381333931-0123456789"  # 41 characters
        port = PtyPort(9)
        sim = ScannerSim(port, "HHP").start()
        try:
            with Target() as target, Program(settings(Port=9)) as app:
                watch(app, identified)
                target.focus()
                sim.send_scan(reading)
                target.wait_typed(reading + "<ENTER>")
                # The adapter is pulled while a reading is still arriving, so no pause has ended
                # it however long this machine takes: the sender's end closes the line's last fd.
                cut = threading.Event()
                sending = threading.Thread(target=sim.send_scan, args=("SN-" + "6" * 2000,),
                                           kwargs={"baud": 9600, "stop": cut})
                sending.start()
                time.sleep(0.3)
                sim.stop()
                port.close()
                cut.set()
                sending.join()
                app.wait_label(1, PORT_FAILED)
                app.main.wait_visible(True)
                self.assertEqual(target.typed(), reading + "<ENTER>")  # the part is dropped
                self.assertTrue(target.has_focus(), "the failure took the keyboard focus")
                # The clerk confirms the dialog without a change while the adapter is still out.
                app.click(5)
                app.dialog.wait_visible(True)
                self.assertTrue(app.dialog.enabled(command_id(1)))
                app.dialog.click(command_id(1))
                app.dialog.wait_visible(False)
                app.wait_label(1, PORT_FAILED)
                time.sleep(3.0)
                port = PtyPort(9)  # plugged back; the scanner answers only once powered up
                sim = ScannerSim(port, "HHP", wakes_after_s=6.0).start()
                app.wait_label(1, NOT_DETECTED, timeout=20)
                watch(app, identified, timeout=40)
                target.focus()
                sim.send_scan("555")
                target.wait_typed(reading + "<ENTER>555<ENTER>")
                self.assertEqual(app.exit(), 0)
        finally:
            sim.stop()
            port.close()


if __name__ == "__main__":
    unittest.main()
