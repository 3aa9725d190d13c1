#!/usr/bin/env python3
"""The whole story of Ordane under Wine, with simulated devices (run by scripts/demo.sh).

An HHP scanner on COM3 and a 华视 card reader on COM5 (both pty-backed), the simulated
sdtapi.dll, a loopback registration server and the fake business application. Ordane starts,
identifies both devices and hides to the tray; a barcode, a 2-D code and an ID card are then
delivered, and what the business application received is printed. Screenshots of the main
window and the settings dialog go to the folder given with --shots.
"""

import argparse
import subprocess
import sys
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tests" / "e2e"))

from harness import (UPLOAD_KEY, WINE_LOADER, PtyPort, Program, RegistrationServer,  # noqa: E402
                     Target, prefix, reg_delete, reg_get, screenshot, settings, wait_until)
from sim.card_reader import CardReaderSim  # noqa: E402
from sim.scanner import ScannerSim  # noqa: E402

LINES = {1: "Label1 ", 2: "Label2 ", 3: "Label3 ", 7: "Label7 ", 10: "Label10", 11: "Label11",
         12: "Label12", 13: "Label13"}
SAM_ID = "05.01-20101203-0008323712-2110118836"
CARD = ("张三".ljust(15) + "1" + "01" + "19900101" + "北京市东城区景山前街4号".ljust(35)
        + "110101199001011234" + "北京市公安局东城分局".ljust(15) + "20100101" + "20300101")


class LineWatcher(threading.Thread):
    """Prints every change of the main window's status lines and of its visibility."""

    def __init__(self, app):
        super().__init__(daemon=True)
        self.app = app
        self.stop = threading.Event()
        self.started = time.monotonic()

    def run(self):
        last = {}
        while not self.stop.is_set():
            try:
                now = self.app.labels()
                now["visible"] = self.app.visible()
            except Exception:  # the window is not there (yet, or any more)
                time.sleep(0.05)
                continue
            for key, value in now.items():
                if last.get(key) != value:
                    stamp = f"{time.monotonic() - self.started:5.1f} s"
                    if key == "visible":
                        print(f"  {stamp}  window  {'shown' if value else 'hidden'}", flush=True)
                    elif value or key in last:
                        print(f"  {stamp}  {LINES[key]} {value!r}", flush=True)
            last = now
            time.sleep(0.05)


def set_scale(percent):
    """The prefix's display DPI, as Windows' scaling setting sets it (read by new programs of
    a new Wine session: the running one is ended first)."""
    dpi = 96 * percent // 100
    pfx = prefix()
    subprocess.run(["wineserver", "-k"], env=pfx.env(None), check=False)
    subprocess.run([WINE_LOADER, "reg", "add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels",
                    "/t", "REG_DWORD", "/d", str(dpi), "/f"], env=pfx.env(None), check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=pfx.env(None), check=False)


def step(text):
    print(f"\n== {text}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--shots", default=str(REPO / "build" / "demo"),
                        help="folder for main-window.png and settings-dialog.png")
    parser.add_argument("--scale", type=int, default=100,
                        help="display scaling in percent (100, 125, 150, 200): the prefix's "
                             "LogPixels; the screenshots are then named *-<scale>.png")
    args = parser.parse_args()
    shots = Path(args.shots)
    shots.mkdir(parents=True, exist_ok=True)
    suffix = "" if args.scale == 100 else f"-{args.scale}"
    set_scale(args.scale)

    reg_delete(UPLOAD_KEY, "upload")
    ini = settings(Scanner="HHP", Port=3, BaudRate=3, AddEnter=1, UsePort1=1, UsePort2=1,
                   Port2=5, CardReader="华视")
    with PtyPort(3) as scanner_port, PtyPort(5) as reader_port, \
            ScannerSim(scanner_port, "HHP") as scanner, CardReaderSim(reader_port, "华视"), \
            RegistrationServer(b"SUCCESS") as server, Target() as target:
        app = Program(ini, sdtapi=True, reader={"samid": SAM_ID})
        try:
            step("Ordane.exe starts (Setting.ini: HHP scanner on COM3, 华视 reader on COM5)")
            for key, value in ini.items():
                print(f"  {key}={value}")
            print("  status lines as they change:")
            app.start()
            watcher = LineWatcher(app)
            watcher.start()
            wait_until(lambda: app.label(1) == "等待扫描仪发送信息..." and not app.visible()
                       and app.command_enabled(5), 30, what="both devices started")
            time.sleep(0.3)
            watcher.stop.set()
            watcher.join()
            print(f"  registration server saw: {server.requests}")
            print(f"  registry flag upload = {reg_get(UPLOAD_KEY, 'upload')!r}")

            step("a barcode is scanned: typed into the focused window, Enter after it")
            target.focus()
            scanner.send_scan("6901234567892")
            print(f"  typed: {target.wait_typed('6901234567892<ENTER>')!r}")

            step("a 2-D code with a known type is scanned: window text of the target's child")
            scanner.send_scan("DE6K8ZCCCHGZ_LSVAM4187C2184517|2012-05-01")
            print(f"  window text: {target.wait_texts(1)[-1]!r}")

            step("an ID card is laid on the reader: one record, with a beep")
            app.set_reader(samid=SAM_ID, card=CARD)
            record = target.wait_texts(2)[-1]
            app.set_reader(samid=SAM_ID)
            print(f"  window text: {record!r}")

            step("the tray icon is clicked: the window comes back; Settings opens the dialog")
            app.tray_click()
            app.main.wait_visible(True)
            time.sleep(0.5)
            # Client areas: without a window manager under Xvfb nothing draws the frames.
            screenshot(shots / f"main-window{suffix}.png", app.main.rect(client=True))
            app.click(5)
            app.dialog.wait_visible(True)
            time.sleep(0.5)
            screenshot(shots / f"settings-dialog{suffix}.png", app.dialog.rect(client=True))
            app.dialog.click(1202)  # Cancel
            app.dialog.wait_visible(False)
            print(f"  screenshots at {args.scale} %: {shots / f'main-window{suffix}.png'}, "
                  f"{shots / f'settings-dialog{suffix}.png'}")

            step("Exit")
            print(f"  Ordane.exe ended with code {app.exit()}")
            step("what the business application received")
            print(f"  keys:         {target.typed()!r}")
            for text in target.texts():
                print(f"  window text:  {text!r}")
        finally:
            app.cleanup()
    return 0


if __name__ == "__main__":
    sys.exit(main())
