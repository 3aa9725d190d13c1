"""The installer as IT staff run it on many workstations: a silent installation into a folder
of their choosing (one a user made beforehand refused), Ordane started from there
delivering a scan, an upgrade over the running program that keeps its Setting.ini and the
auto-start choice, and a silent removal that returns only when done, typed by hand or run
through Apps & Features' quiet command, and that leaves the settings and the registration flag unless asked to remove them too."""

import os
import re
import shutil
import subprocess
import tempfile
import threading
import unittest
import zipfile
from pathlib import Path

from harness import (ARCH, RUN_KEY, UPLOAD_KEY, WINE_LOADER, PtyPort, Program, Target, Winctl,
                     bin_dir, bin_file, keep_registry, needs_32bit_programs, prefix, reg_delete,
                     reg_get, reg_set, session, settings, wait_until)
from sim.scanner import ScannerSim

UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Ordane"
EVENT_SOURCE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Ordane"
SHORTCUT = "ProgramData/Microsoft/Windows/Start Menu/Programs/Ordane.lnk"
SESSION_MANAGER = r"HKLM\System\CurrentControlSet\Control\Session Manager"


def build_version() -> str:
    cache = (bin_dir().parent / "CMakeCache.txt").read_text(errors="replace")
    return re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.+)$", cache, re.M).group(1)


def setup_exe() -> Path:
    """The package this build made of its Ordane.exe; missing or older than it, a failure."""
    setup = bin_dir() / f"Ordane-{build_version()}{'-x64' if ARCH == 'x64' else ''}-setup.exe"
    if not setup.exists():
        raise AssertionError(f"{setup} was not built (is makensis installed?)")
    if setup.stat().st_mtime < (bin_dir() / "Ordane.exe").stat().st_mtime:
        raise AssertionError(f"{setup} is older than the Ordane.exe beside it: not this build's")
    return setup


def pe_machine(path: Path) -> str:
    """The processor a Windows program is made for, from its PE header."""
    data = path.read_bytes()
    header = int.from_bytes(data[0x3C:0x40], "little")
    assert data[header:header + 4] == b"PE\0\0", f"{path} is not a Windows program"
    machine = int.from_bytes(data[header + 4:header + 6], "little")
    return {0x14C: "x86", 0x8664: "x64"}.get(machine, hex(machine))


def sz(key, value):
    """A REG_SZ as the installer writes it (with its terminating NUL, as is usual)."""
    data = reg_get(key, value)
    return data[:-1] if isinstance(data, str) and data.endswith("\0") else data


def run(pfx, command_line: str, timeout=120) -> int:
    """A command line exactly as typed (NSIS wants /D= unquoted, even with spaces)."""
    done = subprocess.run([WINE_LOADER, "cmd", "/c", command_line], env=pfx.env(None),
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=timeout)
    return done.returncode


def run_quoted(pfx, line: str) -> int:
    """In a batch file: the command line exactly as written (cmd /c would strip its quotes)."""
    batch = pfx.temp_dir("uninstall-") / "uninstall.bat"
    batch.write_bytes(f"@{line}\r\n@exit /b %errorlevel%\r\n".encode("gbk"))
    try:
        return run(pfx, pfx.windows_path(batch))
    finally:
        shutil.rmtree(batch.parent, ignore_errors=True)


def uninstall(pfx, *options) -> int:
    """The removal as a deployment tool runs it: Apps & Features' quiet command, plus options."""
    quiet = sz(UNINSTALL_KEY, "QuietUninstallString")
    exe, rest = quiet.split('" ', 1)
    return run_quoted(pfx, " ".join([exe + '"', *options, rest]))


def everyone_may_write(pfx, folder) -> bool:
    """Whether the folder's access list lets Everyone write (Wine keeps a folder's list as its
    Unix mode: the entry for Everyone is the "others" bits)."""
    sddl = session().value("acl", path=pfx.windows_path(folder))
    for ace in sddl.split("(")[1:]:
        kind, _, rights, _, _, who = ace.rstrip(")").split(";")
        if kind == "A" and who == "WD":
            mask = {"FA": 0x1F01FF}.get(rights) or int(rights, 16)
            return bool(mask & 0x2)  # FILE_WRITE_DATA / FILE_ADD_FILE
    return False


@needs_32bit_programs("the 32-bit package's NSIS installer and uninstaller are 32-bit programs",
                      when=ARCH == "x86")
class InstallerTest(unittest.TestCase):
    def test_silent_install_run_upgrade_and_uninstall(self):
        for key, value in ((RUN_KEY, "Velmar"), (UPLOAD_KEY, "upload")):
            keep_registry(self, key, value)
        pfx = prefix()
        setup = setup_exe()
        version = build_version()
        base = pfx.temp_dir("setup-")
        local_setup = base / "setup.exe"  # a short path for cmd
        local_setup.write_bytes(setup.read_bytes())
        folder = base / "条码 Ordane"  # a space and Chinese, as under Program Files
        install = f"{pfx.windows_path(local_setup)} /S /D={pfx.windows_path(base)}\\条码 Ordane"
        exe = f"{pfx.windows_path(base)}\\条码 Ordane\\Ordane.exe"
        reg_delete(UNINSTALL_KEY)
        reg_delete(RUN_KEY, "Velmar")
        # The installer, as the uninstaller it writes (checked below), is a program of the
        # package's own bitness: the 64-bit package's needs no 32-bit support in Windows.
        self.assertEqual(pe_machine(setup), ARCH)
        # Windows older than 7 SP1 is refused before anything is done (Wine tells the program
        # the version named for it).
        old_windows = r"HKCU\Software\Wine\AppDefaults\setup.exe"
        reg_set(old_windows, "Version", "vista")
        try:
            self.assertEqual(run(pfx, install), 7)
            self.assertFalse(folder.exists())
        finally:
            reg_delete(old_windows)

        # A folder above the chosen one that anyone may change (as a first-level folder of a data
        # drive inherits "Authenticated Users: Modify"): refused before anything is made in it.
        shared = base / "shared"
        shared.mkdir()
        shared.chmod(0o777)
        self.assertEqual(run(pfx, f"{pfx.windows_path(local_setup)} /S "
                                  f"/D={pfx.windows_path(shared)}\\Ordane"), 8)
        self.assertEqual(list(shared.iterdir()), [])
        self.assertIsNone(reg_get(UNINSTALL_KEY, "DisplayVersion"))

        # NSIS puts its default folder in place of a relative /D= without a word: refused.
        self.assertEqual(run(pfx, f"{pfx.windows_path(local_setup)} /S /D=Apps\\Ordane"), 11)
        self.assertIsNone(reg_get(UNINSTALL_KEY, "DisplayVersion"))

        if ARCH == "x64":
            # The 32-bit package installed (its entry in the 32-bit view, which a 64-bit
            # program reaches below Wow6432Node): one Ordane per computer, refused with 9.
            other = UNINSTALL_KEY.replace(r"HKLM\Software", r"HKLM\Software\Wow6432Node")
            reg_set(other, "InstallLocation", "C:\\Program Files (x86)\\Ordane")
            try:
                self.assertEqual(run(pfx, install), 9)
            finally:
                reg_delete(other)
            self.assertFalse(folder.exists())
            self.assertIsNone(reg_get(UNINSTALL_KEY, "DisplayVersion"))

        # Made beforehand by a user, writable by everyone as under a drive root, with a library
        # in it: refused with 12, nothing in it or about it changed.
        folder.mkdir()
        folder.chmod(0o777)
        (folder / "WltRS.dll").write_bytes(b"MZ planted")
        self.assertEqual(run(pfx, install), 12)
        self.assertEqual([p.name for p in folder.iterdir()], ["WltRS.dll"])
        self.assertTrue(everyone_may_write(pfx, folder))
        self.assertIsNone(reg_get(UNINSTALL_KEY, "DisplayVersion"))
        shutil.rmtree(folder)

        self.assertEqual(run(pfx, install), 0)
        self.assertFalse(everyone_may_write(pfx, folder))
        self.assertEqual(sorted(p.name for p in folder.iterdir()),
                         ["Ordane.exe", "Setting.ini", "uninstall-ordane.exe",
                          "uninstall.exe"])  # no sdtapi.dll
        self.assertEqual((folder / "Setting.ini").read_bytes(), b"")
        self.assertEqual(pe_machine(folder / "uninstall-ordane.exe"), ARCH)
        self.assertEqual(sz(RUN_KEY, "Velmar"), f'"{exe}"')
        self.assertEqual(sz(UNINSTALL_KEY, "DisplayVersion"), version)
        self.assertEqual(sz(UNINSTALL_KEY, "DisplayIcon"), exe + ",0")
        self.assertEqual(sz(UNINSTALL_KEY, "Publisher"), "Ordane")
        # The event source, whose messages Ordane.exe holds (Wine keeps no event log to show them).
        self.assertEqual(sz(EVENT_SOURCE_KEY, "EventMessageFile"), exe)
        self.assertEqual(reg_get(EVENT_SOURCE_KEY, "TypesSupported"), 7)
        self.assertTrue((pfx.drive_c / SHORTCUT).exists())

        with Program(installed=folder) as app:  # the installer's empty file: first use
            app.wait_label(1, "初次使用请设置端口")
            app.exit()

        # Set up as a clerk would, then a scan from the installed program.
        configured = settings(Scanner="HHP", Port=3, AddEnter=1, UsePort1=1, UsePort2=0)
        with PtyPort(3) as port, ScannerSim(port, "HHP") as sim, Target() as target, \
                Program(configured, installed=folder) as app, Program() as portable:
            stored = app.settings_path.read_bytes()
            wait_until(lambda: app.label(1) == "等待扫描仪发送信息..." and not app.visible(),
                       20, what="scanner identified")
            target.focus()
            sim.send_scan("6901234567892")
            target.wait_typed("6901234567892<ENTER>")

            # The upgrade closes the running program, keeps the settings, leaves auto-start off;
            # a copy of Ordane.exe in another folder (a portable one) is not its business.
            self.assertEqual(run(pfx, install.replace("/S ", "/S /NOAUTOSTART ")), 0)
            app.wait_exit(10)
            self.assertTrue(portable.running())
        self.assertEqual((folder / "Setting.ini").read_bytes(), stored)
        self.assertIsNone(reg_get(RUN_KEY, "Velmar"))
        self.assertEqual(run(pfx, install), 0)  # a later upgrade keeps auto-start off
        self.assertIsNone(reg_get(RUN_KEY, "Velmar"))

        reg_set(UPLOAD_KEY, "upload", "1")
        try:
            # Done when it returns: a reinstall right after cannot race the removal. Typed as
            # IT staff would, without Apps & Features' help.
            self.assertEqual(run_quoted(pfx, f'"{exe[:-len("Ordane.exe")]}uninstall.exe" /S'), 0)
            self.assertFalse((folder / "Ordane.exe").exists())
            # Its own file goes the moment it has ended.
            wait_until(lambda: [p.name for p in folder.iterdir()] == ["Setting.ini"], 10,
                       what="uninstall.exe removed")
            self.assertIsNone(reg_get(UNINSTALL_KEY, "DisplayVersion"))
            self.assertIsNone(reg_get(EVENT_SOURCE_KEY, "EventMessageFile"))
            self.assertFalse((pfx.drive_c / SHORTCUT).exists())
            self.assertEqual(reg_get(UPLOAD_KEY, "upload"), "1")

            # A second name a user gave Setting.ini elsewhere (Users may write it) blocks no
            # upgrade: Setting.ini gets a file of its own with the same bytes, and the rights
            # given to it are not the other file's.
            elsewhere = base / "elsewhere.ini"
            os.link(folder / "Setting.ini", elsewhere)
            self.assertEqual(run(pfx, install), 0)
            self.assertEqual((folder / "Setting.ini").stat().st_nlink, 1)
            self.assertEqual((folder / "Setting.ini").read_bytes(), elsewhere.read_bytes())
            self.assertEqual(run_quoted(pfx, f'"{exe[:-len("Ordane.exe")]}uninstall.exe" /S'), 0)
            wait_until(lambda: [p.name for p in folder.iterdir()] == ["Setting.ini"], 10,
                       what="uninstall.exe removed")
            (folder / "Setting.ini").unlink()

            # Asked to, the removal takes the settings and the registration flag too, but not
            # the key's other values.
            self.assertEqual(run(pfx, install), 0)
            self.assertEqual(sz(RUN_KEY, "Velmar"), f'"{exe}"')  # a first installation: on
            reg_set(UPLOAD_KEY, "other", "kept")
            self.assertEqual(uninstall(pfx, "/PURGE"), 0)
            self.assertFalse((folder / "Setting.ini").exists())
            wait_until(lambda: not folder.exists(), 10, what="folder removed")
            self.assertIsNone(reg_get(UPLOAD_KEY, "upload"))
            self.assertEqual(reg_get(UPLOAD_KEY, "other"), "kept")
            self.assertIsNone(reg_get(RUN_KEY, "Velmar"))
        finally:
            reg_delete(UPLOAD_KEY, "other")
            reg_set(UPLOAD_KEY, "upload", "1")
            if not os.environ.get("ORDANE_E2E_KEEP"):
                shutil.rmtree(base, ignore_errors=True)


    def fresh_setup(self):
        """The package in a temporary folder of the prefix, and no Ordane installed."""
        base = prefix().temp_dir("setup-")
        self.addCleanup(shutil.rmtree, base, True)
        (base / "setup.exe").write_bytes(setup_exe().read_bytes())
        for key in (UNINSTALL_KEY, EVENT_SOURCE_KEY):
            reg_delete(key)
            self.addCleanup(reg_delete, key)
        return base, prefix().windows_path(base / "setup.exe")

    def test_a_helper_that_cannot_run_leaves_the_installer_silent(self):
        """No page (nor a plug-in) in session 0 unless the helper said it is not the system
        account: without /S too, the installer ends by itself."""
        base, setup = self.fresh_setup()
        dead = r"HKCU\Software\Wine\AppDefaults\ordane_setup_tool.exe"
        reg_set(dead + r"\DllOverrides", "advapi32", "")  # a library it imports: it cannot start
        self.addCleanup(reg_delete, dead)
        self.assertEqual(run(prefix(), f"{setup} /D={prefix().windows_path(base)}\\O", 30), 6)
        self.assertFalse((base / "O").exists())

    def test_a_reinstall_right_after_a_removal_waits_for_it_and_survives_the_restart(self):
        """Ordane.exe held by another program through the removal: it ends with 3010, leaving
        the file and the folder to be deleted, by name, at the next restart. A reinstallation
        right after waits for the removal's last step and takes those deletions back."""
        keep_registry(self, RUN_KEY, "Velmar")
        pfx = prefix()
        base, setup = self.fresh_setup()
        pending = (SESSION_MANAGER, "PendingFileRenameOperations")
        reg_delete(*pending)
        self.addCleanup(reg_delete, *pending)
        folder = base / "Ordane"
        install = f"{setup} /S /D={pfx.windows_path(folder)}"
        self.assertEqual(run(pfx, install), 0)
        holder = Winctl(pfx)  # a winctl of its own: what it holds stays open until it ends
        self.addCleanup(holder.close)
        holder.call("hold", path=pfx.windows_path(folder / "Ordane.exe"))
        self.assertEqual(uninstall(pfx), 3010 & 0xFF)  # the low byte, all a Linux process keeps

        # The lock, in the 32-bit view's ProgramFilesDir (C:\Program Files where a 64-bit prefix
        # lacks it), is held by the removal's last step a moment after it has returned, then
        # here for 8 s: the reinstallation waits instead of ending with 1618.
        view = r"HKLM\Software\Wow6432Node" if ARCH == "x64" else r"HKLM\Software"
        programs = sz(view + r"\Microsoft\Windows\CurrentVersion", "ProgramFilesDir")
        lock = pfx.drive_c / (programs or "C:\\Program Files")[3:] / "Ordane-setup.lock"
        wait_until(lambda: not lock.exists(), 15, what="the removal's last step done")
        lock.touch()
        self.addCleanup(lock.unlink, True)
        holder.call("hold", path=pfx.windows_path(lock))
        threading.Timer(8, holder.close).start()

        def in_folder():
            names = (reg_get(*pending) or b"").decode("utf-16-le").upper().split("\0")
            return [n for n in names if n.startswith("\\??\\" + pfx.windows_path(folder).upper())]

        self.assertTrue(in_folder())
        self.assertEqual(run(pfx, install), 0)
        self.assertEqual(in_folder(), [])
        with Program(installed=folder) as app:
            app.wait_label(1, "初次使用请设置端口")
            app.exit()


class LockFileTest(unittest.TestCase):
    def test_the_installers_lock_file_is_for_administrators_and_system_only(self):
        """A user who could open it would hold every installation off with 1618."""
        pfx = prefix()
        folder = pfx.temp_dir("lock-")
        self.addCleanup(shutil.rmtree, folder, True)
        lock = folder / "Ordane-setup.lock"
        for made_before in (False, True):  # made by the helper; an earlier version's, open to all
            if made_before:
                lock.write_bytes(b"")
                lock.chmod(0o666)
            self.assertEqual(helper_exit_code(pfx, "lock-file", pfx.windows_path(lock)), 0)
            sddl = session().value("acl", path=pfx.windows_path(lock))
            allowed = sorted(ace.rstrip(")").split(";")[-1] for ace in sddl.split("(")[1:]
                             if ace.startswith("A;"))
            # Wine keeps a file's list as its Unix mode: administrators are its owner there.
            self.assertFalse({"WD", "BU", "AU"} & set(allowed), sddl)
            self.assertIn("SY", allowed)


CHROME_LNA = r"HKLM\SOFTWARE\Policies\Google\Chrome\LocalNetworkAccessAllowedForUrls"
EDGE_LNA = r"HKLM\SOFTWARE\Policies\Microsoft\Edge\LocalNetworkAccessAllowedForUrls"
LNA_RECORD = r"HKLM\SOFTWARE\Ordane\LocalNetworkAccess"
PUBLIC_HTTP_ORIGIN = 0x20000002


def helper_exit_code(pfx, *args) -> int:
    """The installer's helper run as ExecWait runs it, its full exit code (a Linux process's
    return code keeps only the low byte): told by the batch file that ran it."""
    words = [pfx.windows_path(bin_file("ordane_setup_tool.exe")), *args]
    batch = pfx.temp_dir("helper-") / "helper.bat"
    batch.write_bytes(("@" + " ".join(f'"{w}"' for w in words) +
                       "\r\n@echo exit=%errorlevel%\r\n").encode("gbk"))
    try:
        done = subprocess.run([WINE_LOADER, "cmd", "/c", pfx.windows_path(batch)],
                              env=pfx.env(None), capture_output=True, timeout=60)
    finally:
        shutil.rmtree(batch.parent, ignore_errors=True)
    return int(re.search(rb"exit=(-?\d+)", done.stdout).group(1)) & 0xFFFFFFFF


def allow_list(key) -> list:
    """The list as the browsers read it: "1", "2" … up to the first missing number."""
    entries = []
    while (data := sz(key, str(len(entries) + 1))) is not None:
        entries.append(data)
    return entries


@unittest.skipUnless(ARCH == "x64", "the browsers' policy is in the 64-bit registry view, which "
                                    "only the 64-bit winctl reads")
class BrowserLocalNetworkAccessTest(unittest.TestCase):
    """/BRIDGELNA's registry part, the helper's lna-check, lna-grant and lna-revoke, as the
    installer and the removal run them, alone (the installer's test needs more)."""

    def setUp(self):
        for key in (CHROME_LNA, EDGE_LNA, LNA_RECORD):
            reg_delete(key)
            self.addCleanup(reg_delete, key)

    def test_https_origins_are_granted_beside_others_and_only_ours_taken_back(self):
        pfx = prefix()
        reg_set(CHROME_LNA, "1", "https://other.example")
        reg_set(EDGE_LNA, "1", "https://a.example")  # IT named it already

        # An http page on a public address: refused, and nothing written.
        public = "https://a.example http://8.8.8.8"
        self.assertEqual(helper_exit_code(pfx, "lna-check", public), PUBLIC_HTTP_ORIGIN)
        self.assertEqual(helper_exit_code(pfx, "lna-grant", public), PUBLIC_HTTP_ORIGIN)
        self.assertEqual(allow_list(CHROME_LNA), ["https://other.example"])
        self.assertEqual(helper_exit_code(pfx, "lna-check", "http://192.168.1.5:8080 https://a.example"), 0)

        origins = "https://a.example,https://b.example:8443 http://127.0.0.1:8080"
        self.assertEqual(helper_exit_code(pfx, "lna-grant", origins), 0)
        self.assertEqual(allow_list(CHROME_LNA),
                         ["https://other.example", "https://a.example", "https://b.example:8443"])
        self.assertEqual(allow_list(EDGE_LNA), ["https://a.example", "https://b.example:8443"])

        # Someone adds an entry after ours; an upgrade grants again without doubling ours.
        reg_set(CHROME_LNA, "4", "https://later.example")
        self.assertEqual(helper_exit_code(pfx, "lna-grant", origins), 0)
        self.assertEqual(sorted(allow_list(CHROME_LNA)),
                         ["https://a.example", "https://b.example:8443", "https://later.example",
                          "https://other.example"])

        # The removal takes back exactly what was written; the others' entries stay readable,
        # one that is no string moved down as it is.
        reg_set(CHROME_LNA, "5", 7, kind="dword")
        self.assertEqual(helper_exit_code(pfx, "lna-revoke"), 0)
        self.assertEqual(allow_list(CHROME_LNA)[:2], ["https://other.example", "https://later.example"])
        self.assertEqual(reg_get(CHROME_LNA, "3"), 7)
        self.assertIsNone(reg_get(CHROME_LNA, "5"))
        reg_delete(CHROME_LNA, "3")
        self.assertEqual(allow_list(EDGE_LNA), ["https://a.example"])
        self.assertIsNone(reg_get(EDGE_LNA, "2"))
        self.assertIsNone(reg_get(LNA_RECORD + r"\Chrome", "2"))
        self.assertEqual(helper_exit_code(pfx, "lna-revoke"), 0)  # nothing recorded: nothing done
        self.assertEqual(allow_list(CHROME_LNA), ["https://other.example", "https://later.example"])

        # Everything named already: nothing written, and granting again still works.
        for _ in range(2):
            self.assertEqual(helper_exit_code(pfx, "lna-grant", "https://later.example"), 0)
        self.assertEqual(allow_list(CHROME_LNA), ["https://other.example", "https://later.example"])
        self.assertEqual(allow_list(EDGE_LNA), ["https://a.example", "https://later.example"])


@needs_32bit_programs("the 32-bit package's NSIS installer, which writes the uninstaller, is a "
                      "32-bit program", when=ARCH == "x86")
class ReleaseTest(unittest.TestCase):
    def test_signed_release_verifies_and_its_checksums_match(self):
        """scripts/release.sh --sign with a throw-away certificate (it rebuilds build/release or
        build/release-x64): the programs, the uninstaller the setup writes and the setup verify
        against it."""
        for tool in ("osslsigncode", "openssl", "makensis"):
            if not shutil.which(tool):
                raise unittest.SkipTest(f"{tool} missing")
        root = Path(__file__).resolve().parents[2]
        pfx = prefix()
        with tempfile.TemporaryDirectory() as tmp:
            cert, key, pkcs12 = (Path(tmp) / n for n in ("cert.pem", "key.pem", "cert.pfx"))
            for command in (["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                             "-subj", "/CN=Ordane test signer", "-keyout", key, "-out", cert],
                            ["pkcs12", "-export", "-inkey", key, "-in", cert, "-out", pkcs12,
                             "-passout", "pass:throw-away"]):
                subprocess.run(["openssl", *command], check=True, capture_output=True)
            env = dict(os.environ, ORDANE_SIGN_PASSWORD="throw-away")
            env.pop("ORDANE_SIGN_TIMESTAMP", None)  # no time-stamp server here: --unstamped
            # The package of the program under test: its registry view is the harness's.
            built = subprocess.run([root / "scripts" / "release.sh", "--server", "203.0.113.7",
                                    "--publisher", "Test Publisher", "--sign", pkcs12,
                                    "--unstamped",
                                    "--arch", ARCH, "--out", Path(tmp) / "dist"], env=env,
                                   capture_output=True, text=True, timeout=600)
            self.assertEqual(built.returncode, 0, built.stdout + built.stderr)
            dist = Path(tmp) / "dist"
            # The signatures have no time stamp: verified as for a stamped release, refused.
            unstamped = subprocess.run(
                [root / "scripts" / "lib" / "verify_signature.sh",
                 next(dist.glob("Ordane-*-setup.exe"))],
                env=dict(env, ORDANE_SIGN_PFX=str(pkcs12)), capture_output=True, text=True)
            self.assertEqual(unstamped.returncode, 1, unstamped.stdout + unstamped.stderr)
            self.assertIn("has no time stamp", unstamped.stderr)
            release_bin = root / "build" / ("release-x64" if ARCH == "x64" else "release") / "bin"
            subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=dist, check=True,
                           capture_output=True)
            with zipfile.ZipFile(next(dist.glob("Ordane-*-policies.zip"))) as policies:
                self.assertEqual(sorted(policies.namelist()),
                                 ["PolicyDefinitions/Ordane.admx",
                                  "PolicyDefinitions/en-US/Ordane.adml",
                                  "PolicyDefinitions/zh-CN/Ordane.adml"])
            self.assertIn("policies.zip", (dist / "SHA256SUMS").read_text())
            setup = next(dist.glob("Ordane-*-setup.exe"))
            self.assertIn("Registration server: 203.0.113.7",
                          next(dist.glob("Ordane-*-release.txt")).read_text())

            # The uninstaller exists only inside the setup: installed, it is written out.
            folder = pfx.temp_dir("signed-") / "Ordane"
            local = folder.parent / "setup.exe"
            shutil.copy(setup, local)
            reg_delete(UNINSTALL_KEY)
            self.assertEqual(run(pfx, f"{pfx.windows_path(local)} /S /NOAUTOSTART "
                                      f"/D={pfx.windows_path(folder)}"), 0)
            try:
                for signed in (setup, release_bin / "ordane_setup_tool.exe",
                               folder / "Ordane.exe", folder / "uninstall.exe",
                               folder / "uninstall-ordane.exe"):
                    checked = subprocess.run(["osslsigncode", "verify", "-CAfile", cert,
                                              "-in", signed], capture_output=True, text=True)
                    self.assertEqual(checked.returncode, 0, f"{signed}: {checked.stdout}")
                    self.assertIn("Message digest algorithm  : SHA256", checked.stdout)
            finally:
                self.assertEqual(uninstall(pfx, "/PURGE"), 0)
                if not os.environ.get("ORDANE_E2E_KEEP"):
                    shutil.rmtree(folder.parent, ignore_errors=True)



class ReleaseSigningTest(unittest.TestCase):
    def test_signing_without_a_time_stamp_is_refused_before_anything_is_built(self):
        root = Path(__file__).resolve().parents[2]
        with tempfile.TemporaryDirectory() as tmp:
            pkcs12 = Path(tmp) / "cert.pfx"
            pkcs12.write_bytes(b"")  # readable is all that is asked before building
            env = dict(os.environ, ORDANE_SIGN_PASSWORD="throw-away")
            env.pop("ORDANE_SIGN_TIMESTAMP", None)
            env.pop("ORDANE_SIGN_UNSTAMPED", None)
            refused = subprocess.run([root / "scripts" / "release.sh", "--server", "203.0.113.7",
                                      "--sign", pkcs12, "--out", Path(tmp) / "dist"], env=env,
                                     capture_output=True, text=True, timeout=600)
            self.assertEqual(refused.returncode, 2, refused.stdout + refused.stderr)
            self.assertIn("ORDANE_SIGN_TIMESTAMP", refused.stderr)
            self.assertFalse((Path(tmp) / "dist").exists())


if __name__ == "__main__":
    unittest.main()
