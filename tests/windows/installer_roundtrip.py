"""quorvel-setup.exe under Wine, the way IT people use it on a till: a silent
install with a prepared Quorvel.ini beside the installer, one exchange cycle
of the installed agent, a refused install while it runs, a silent upgrade
that keeps the settings, and a silent uninstall that leaves the till's files.

The install folder has a space and Cyrillic letters in its name; the
prepared settings are UTF-16, as Windows writes them, and point at the test
FTP server on a free loopback port.

    installer_roundtrip.py --setup quorvel-setup.exe --exe quorvel.exe \
        --drive quorvel_drive.exe --wine-run cmake/wine-run --server ftpserver.py \
        --prefix build/windows/wine
"""

import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import wineagent

PRODUCT = "Quorvel Sync"
RUN_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
UNINSTALL_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\QuorvelSync"
# The installer's exit code when it refuses to touch a running agent.
REFUSED = 3
SETUP_SECONDS = 60
# The uninstaller hands over to a copy of itself in the temporary folder and
# returns at once; the copy does the work.
UNINSTALL_SECONDS = 30


class WinePrefix:
    """Windows programs of the build's prefix, run through wine-run."""

    def __init__(self, wine_run, prefix, work):
        self.wine_run = os.path.abspath(wine_run)
        self.prefix = os.path.abspath(prefix)
        self.work = work
        self.environment = dict(os.environ, QUORVEL_WINEPREFIX=self.prefix)

    def run(self, *command):
        """The exit code of a program that runs to its end."""
        return subprocess.run([self.wine_run] + list(command), stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              cwd=self.work, env=self.environment,
                              timeout=SETUP_SECONDS).returncode

    def run_command_line(self, line):
        """The exit code of a command line typed into cmd.exe as it is.

        NSIS takes "/D=" only unquoted, with the spaces of the folder in it;
        handed over as separate arguments, Wine would quote it. A batch file
        holds the line in the console's code page."""
        batch = os.path.join(self.work, "command.bat")
        wineagent.write(batch, ("@%s\r\n@exit /b %%ERRORLEVEL%%\r\n" % line).encode("cp866"))
        return self.run("cmd.exe", "/c", wineagent.windows_path(batch))

    def registry_values(self, key):
        """The values of a registry key, or None when there is no such key."""
        exported = os.path.join(self.work, "key.reg")
        if os.path.exists(exported):
            os.remove(exported)
        if self.run("reg", "export", key, wineagent.windows_path(exported), "/y") != 0:
            return None
        return parse_registry_export(wineagent.read(exported, "utf-16"))

    def shortcut(self):
        """The start-menu entry of the prefix's user, or None."""
        found = glob.glob(os.path.join(self.prefix, "drive_c", "users", "*", "AppData", "Roaming",
                                       "Microsoft", "Windows", "Start Menu", "Programs",
                                       PRODUCT + ".lnk"))
        return found[0] if found else None


def parse_registry_export(text):
    """The values of the first key of a .reg export: text for strings,
    numbers for DWORDs."""
    def unescape(quoted):
        return re.sub(r"\\(.)", r"\1", quoted)

    values = {}
    headers = 0
    for line in text.splitlines():
        if line.startswith("["):
            headers += 1
            if headers > 1:
                break
        match = re.match(r'^"((?:[^"\\]|\\.)*)"=(.*)$', line)
        if not match:
            continue
        data = match.group(2)
        if data.startswith('"') and data.endswith('"'):
            values[unescape(match.group(1))] = unescape(data[1:-1])
        elif data.startswith("dword:"):
            values[unescape(match.group(1))] = int(data[len("dword:"):], 16)
    return values


def content(path):
    """The bytes of a file, or None when there is none."""
    return wineagent.read(path) if os.path.isfile(path) else None


def files_below(folder):
    return sorted(os.path.relpath(os.path.join(root, name), folder)
                  for root, _, names in os.walk(folder) for name in names)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--setup", required=True, help="quorvel-setup.exe")
    parser.add_argument("--exe", required=True, help="the quorvel.exe it should install")
    parser.add_argument("--drive", required=True, help="quorvel_drive.exe, which closes the agent")
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--prefix", required=True, help="the build's Wine prefix")
    args = parser.parse_args()

    failures = []

    def check(condition, what):
        if not condition:
            failures.append(what)
        return condition

    def report(said=""):
        if said:
            print("agent said:\n" + said)
        for failure in failures:
            print("FAILED: " + failure)
        return 1 if failures else 0

    with tempfile.TemporaryDirectory(prefix="quorvel-setup-") as work:
        wine = WinePrefix(args.wine_run, args.prefix, work)

        def install(installer, folder=None):
            line = '"%s" /S' % wineagent.windows_path(installer)
            return wine.run_command_line(line + (" /D=" + folder if folder else ""))

        def uninstall(folder):
            return wine.run_command_line('"%s\\uninstall.exe" /S' % folder)
        scene = wineagent.CycleScene(work, args.server)
        # The installer as IT people hand it out, with the settings beside it.
        handout = os.path.join(work, "handout")
        os.makedirs(handout)
        setup = os.path.join(handout, "quorvel-setup.exe")
        shutil.copyfile(args.setup, setup)
        prepared = b"\xff\xfe" + scene.settings().encode("utf-16-le")
        wineagent.write(os.path.join(handout, "Quorvel.ini"), prepared)
        # The same installer alone, for upgrades that keep the settings.
        bare = os.path.join(work, "bare", "quorvel-setup.exe")
        os.makedirs(os.path.dirname(bare))
        shutil.copyfile(args.setup, bare)

        folder = os.path.join(work, "Обмен с кассой")
        target = wineagent.windows_path(folder)
        program = os.path.join(folder, "quorvel.exe")
        settings = os.path.join(folder, "Quorvel.ini")
        uninstaller = os.path.join(folder, "uninstall.exe")

        try:
            # A fresh silent install.
            if not check(install(setup, target) == 0, "silent install failed"):
                return report()
            check(content(program) == content(args.exe), "installed program differs")
            check(os.path.isfile(uninstaller), "no uninstaller")
            check(content(settings) == prepared, "prepared settings not taken over as they were")
            check(files_below(folder) == ["Quorvel.ini", "quorvel.exe", "uninstall.exe"],
                  "installed files: %r" % files_below(folder))
            shortcut = wine.shortcut()
            check(shortcut is not None, "no start-menu entry")
            if shortcut:
                link = wineagent.read(shortcut)
                check(any((target + "\\quorvel.exe").encode(e) in link for e in ("utf-16-le", "cp1251")),
                      "start-menu entry leads elsewhere")
            run = wine.registry_values(RUN_KEY) or {}
            check(run.get(PRODUCT) == '"%s\\quorvel.exe"' % target, "Run entry: %r" % run.get(PRODUCT))
            entry = wine.registry_values(UNINSTALL_KEY) or {}
            for name, value in (("DisplayName", PRODUCT), ("InstallLocation", target),
                                ("UninstallString", '"%s\\uninstall.exe"' % target),
                                ("QuietUninstallString", '"%s\\uninstall.exe" /S' % target)):
                check(entry.get(name) == value, "uninstall entry %s: %r" % (name, entry.get(name)))

            # One cycle of the installed agent, started from its folder.
            errors = open(os.path.join(work, "stderr.txt"), "wb")
            process = None
            try:
                process = wineagent.start_agent(wine.wine_run, target + "\\quorvel.exe",
                                                wine.environment, errors, folder)
                check(scene.wait_settled(folder, process),
                      "the cycle did not settle: %r" % wineagent.read_settings(settings))
                check(process.poll() is None, "the agent ended by itself")
                scene.check_cycle(folder, check)

                # Installing over the running agent changes nothing.
                kept = content(settings)
                code = install(setup, target)
                check(code == REFUSED, "install over the running agent ended with %d" % code)
                check(content(settings) == kept, "settings replaced under the running agent")
                check(content(program) == content(args.exe), "program touched")
                check(process.poll() is None, "the agent ended during the refused install")

                # Stopped as its user stops it; if it does not stop, it is
                # killed below, which leaves nothing a later start would miss.
                code = wineagent.stop_agent(process, wine.wine_run, args.drive,
                                            target + "\\quorvel.exe", wine.environment)
                check(code == 0, "the installed agent's end by \"Закрыть программу\": %r" % code)
            finally:
                wineagent.end_agent(process)
                errors.close()
            said = wineagent.read(os.path.join(work, "stderr.txt"), "utf-8")

            # An upgrade without settings beside the installer goes into the
            # installed folder by itself and keeps its settings (the stamps of
            # the cycle); the spoilt uninstaller shows it was written anew.
            kept = content(settings)
            fresh_uninstaller = content(uninstaller)
            wineagent.write(uninstaller, b"spoilt")
            check(install(bare) == 0, "silent upgrade failed")
            check(content(uninstaller) == fresh_uninstaller, "upgrade went elsewhere")
            check(content(settings) == kept, "upgrade changed the settings")

            # What the agent and the till leave there stays on uninstall.
            till_files = {
                "Quorvel.ini": kept,
                os.path.join("reports", "checks", "0002.ch"): b"unsent receipt",
                os.path.join("reports", "checks", "0002.z"): b"unsent report",
                "Checks20260101120000": "Загружен файл 0003.ch\r\n".encode("cp1251"),
                "notes.txt": b"the shop's own",
            }
            for name, data in till_files.items():
                wineagent.write(os.path.join(folder, name), data)
            check(uninstall(target) == 0, "silent uninstall failed")
            deadline = time.monotonic() + UNINSTALL_SECONDS
            while (os.path.exists(uninstaller) or os.path.exists(program)) and time.monotonic() < deadline:
                time.sleep(0.1)
            check(not os.path.exists(program), "program left")
            check(not os.path.exists(uninstaller), "uninstaller left")
            check(wine.shortcut() is None, "start-menu entry left")
            check(PRODUCT not in (wine.registry_values(RUN_KEY) or {}), "Run entry left")
            check(wine.registry_values(UNINSTALL_KEY) is None, "uninstall entry left")
            check(files_below(folder) == sorted(till_files), "left: %r" % files_below(folder))
            for name, data in till_files.items():
                path = os.path.join(folder, name)
                check(os.path.exists(path) and wineagent.read(path) == data, name + " not kept")

            # A folder with nothing of the till's in it goes with the program.
            empty = os.path.join(work, "Quorvel Sync")
            check(install(bare, wineagent.windows_path(empty)) == 0,
                  "install without settings failed")
            check(files_below(empty) == ["quorvel.exe", "uninstall.exe"],
                  "installed without settings: %r" % files_below(empty))
            check(uninstall(wineagent.windows_path(empty)) == 0,
                  "second uninstall failed")
            deadline = time.monotonic() + UNINSTALL_SECONDS
            while os.path.exists(empty) and time.monotonic() < deadline:
                time.sleep(0.1)
            check(not os.path.exists(empty), "empty install folder left")
        finally:
            scene.close()
        if report(said if failures else ""):
            return 1
    print("installed, one cycle, refused while running, upgraded, uninstalled; the till's files kept")
    return 0


if __name__ == "__main__":
    sys.exit(main())
