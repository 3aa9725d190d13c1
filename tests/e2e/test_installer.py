"""The installer as IT staff run it on many workstations: a silent installation into a folder
of their choosing, Ordane started from there delivering a scan, an upgrade over the running
program that keeps its Setting.ini, and a silent removal that leaves the settings and the
registration flag unless asked to remove them too."""

import os
import shutil
import subprocess
import unittest

from harness import (RUN_KEY, UPLOAD_KEY, WINE_LOADER, PtyPort, Program, Target, bin_dir,
                     keep_registry, needs_32bit_programs, prefix, reg_delete, reg_get, reg_set, settings,
                     wait_until)
from sim.scanner import ScannerSim

UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Ordane"
SHORTCUT = "ProgramData/Microsoft/Windows/Start Menu/Programs/Ordane.lnk"


def setup_exe():
    found = sorted(bin_dir().glob("Ordane-*-setup.exe"))
    if not found:
        raise unittest.SkipTest("no Ordane-*-setup.exe in the build: makensis (nsis) missing")
    return found[-1]


def sz(key, value):
    """A REG_SZ as the installer writes it (with its terminating NUL, as is usual)."""
    data = reg_get(key, value)
    return data[:-1] if isinstance(data, str) and data.endswith("\0") else data


def run(pfx, command_line: str, timeout=120) -> int:
    """A command line exactly as typed (NSIS wants /D= unquoted, even with spaces)."""
    done = subprocess.run([WINE_LOADER, "cmd", "/c", command_line], env=pfx.env(None),
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=timeout)
    return done.returncode


def uninstall(pfx, folder, *options, timeout=60) -> int:
    process = pfx.wine([folder / "uninstall.exe", "/S", *options], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    return process.wait(timeout)


@needs_32bit_programs("the NSIS installer and its uninstaller are 32-bit programs")
class InstallerTest(unittest.TestCase):
    def test_silent_install_run_upgrade_and_uninstall(self):
        for key, value in ((RUN_KEY, "Velmar"), (UPLOAD_KEY, "upload")):
            keep_registry(self, key, value)
        pfx = prefix()
        setup = setup_exe()
        version = setup.name[len("Ordane-"):-len("-setup.exe")].removesuffix("-x64")
        base = pfx.temp_dir("setup-")
        local_setup = base / "setup.exe"  # a short path for cmd
        local_setup.write_bytes(setup.read_bytes())
        folder = base / "条码 Ordane"  # a space and Chinese, as under Program Files
        install = f"{pfx.windows_path(local_setup)} /S /D={pfx.windows_path(base)}\\条码 Ordane"
        exe = f"{pfx.windows_path(base)}\\条码 Ordane\\Ordane.exe"
        reg_delete(UNINSTALL_KEY)
        reg_delete(RUN_KEY, "Velmar")

        self.assertEqual(run(pfx, install), 0)
        self.assertEqual(sorted(p.name for p in folder.iterdir()),
                         ["Ordane.exe", "Setting.ini", "uninstall.exe"])  # no sdtapi.dll
        self.assertEqual((folder / "Setting.ini").read_bytes(), b"")
        self.assertEqual(sz(RUN_KEY, "Velmar"), f'"{exe}"')
        self.assertEqual(sz(UNINSTALL_KEY, "DisplayVersion"), version)
        self.assertEqual(sz(UNINSTALL_KEY, "DisplayIcon"), exe + ",0")
        self.assertEqual(sz(UNINSTALL_KEY, "Publisher"), "Ordane")
        self.assertTrue((pfx.drive_c / SHORTCUT).exists())

        with Program(installed=folder) as app:  # the installer's empty file: first use
            app.wait_label(1, "初次使用请设置端口")
            app.exit()

        # Set up as a clerk would, then a scan from the installed program.
        configured = settings(Scanner="HHP", Port=3, AddEnter=1, UsePort1=1, UsePort2=0)
        with PtyPort(3) as port, ScannerSim(port, "HHP") as sim, Target() as target, \
                Program(configured, installed=folder) as app:
            stored = app.settings_path.read_bytes()
            wait_until(lambda: app.label(1) == "等待扫描仪发送信息..." and not app.visible(),
                       20, what="scanner identified")
            target.focus()
            sim.send_scan("6901234567892")
            target.wait_typed("6901234567892<ENTER>")

            # The upgrade closes the running program, keeps the settings, leaves auto-start off.
            self.assertEqual(run(pfx, install.replace("/S ", "/S /NOAUTOSTART ")), 0)
            app.wait_exit(10)
        self.assertEqual((folder / "Setting.ini").read_bytes(), stored)
        self.assertIsNone(reg_get(RUN_KEY, "Velmar"))

        reg_set(UPLOAD_KEY, "upload", "1")
        try:
            self.assertEqual(uninstall(pfx, folder), 0)
            # The uninstaller runs on from a copy of itself: wait for its work.
            wait_until(lambda: not (folder / "uninstall.exe").exists(), 30, what="uninstalled")
            self.assertEqual([p.name for p in folder.iterdir()], ["Setting.ini"])
            self.assertIsNone(reg_get(UNINSTALL_KEY, "DisplayVersion"))
            self.assertFalse((pfx.drive_c / SHORTCUT).exists())
            self.assertEqual(reg_get(UPLOAD_KEY, "upload"), "1")

            # Asked to, the removal takes the settings and the registration flag too.
            self.assertEqual(run(pfx, install), 0)
            self.assertEqual(uninstall(pfx, folder, "/PURGE"), 0)
            wait_until(lambda: not folder.exists(), 30, what="purged")
            self.assertIsNone(reg_get(UPLOAD_KEY, "upload"))
            self.assertIsNone(reg_get(RUN_KEY, "Velmar"))
        finally:
            reg_set(UPLOAD_KEY, "upload", "1")
            if not os.environ.get("ORDANE_E2E_KEEP"):
                shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
