"""quorvel.exe as a black box under Wine: one full cycle against the
Windows-style test FTP server on loopback, then a clean end on Ctrl+C.

The agent runs from a fresh folder beside a Quorvel.ini with auto-start on
and Windows paths (Wine's drive Z: is the Linux root); the server listens on
a free loopback port, which the settings name.

    blackbox_cycle.py --exe quorvel.exe --wine-run cmake/wine-run --server ftpserver.py \
        --prefix build/windows/wine
"""

import argparse
import os
import secrets
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SETTLE_SECONDS = 60
STOP_SECONDS = 10


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def start_server(script, root, user, password):
    server = subprocess.Popen(
        ["/usr/bin/python3", script, "--root", root, "--port", "0", "--user", user,
         "--password", password],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    line = server.stdout.readline()
    if not line.startswith("PORT "):
        server.kill()
        raise RuntimeError("the test FTP server did not start: %r" % line)
    return server, int(line.split()[1])


def journals(folder):
    return sorted(name for name in os.listdir(folder)
                  if name.startswith(("Checks", "Price", "Scale")))


def read(path, encoding=None):
    with open(path, "rb") as f:
        data = f.read()
    return data.decode(encoding) if encoding else data


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--prefix", required=True, help="the build's Wine prefix")
    args = parser.parse_args()
    wine_run = os.path.abspath(args.wine_run)
    environment = dict(os.environ, QUORVEL_WINEPREFIX=os.path.abspath(args.prefix))

    failures = []

    def check(condition, what):
        if not condition:
            failures.append(what)

    with tempfile.TemporaryDirectory(prefix="quorvel-win-") as work:
        remote = os.path.join(work, "remote")
        agent = os.path.join(work, "agent")
        for folder in ("remote/log", "remote/reports/checks", "remote/scale",
                       "agent/till/reports/checks", "agent/scales"):
            os.makedirs(os.path.join(work, folder))
        for name, data in (("remote/p1.txt", b"price one"), ("remote/p2.txt", b"price two"),
                           ("remote/scale/plu.dat", b"plu"),
                           ("agent/till/reports/checks/0001.ch", b"receipt")):
            with open(os.path.join(work, name), "wb") as f:
                f.write(data)
        program = os.path.join(agent, "quorvel.exe")
        shutil.copyfile(args.exe, program)
        # Credentials of this run only, so that no other agent on the machine
        # sends its journals into this server.
        user, password = "till-" + secrets.token_hex(4), secrets.token_hex(8)
        server, port = start_server(args.server, remote, user, password)
        settings = ("[main]\r\nserver=127.0.0.1\r\nport=%d\r\nuser=%s\r\npass=%s\r\n"
                    "kassaPath=%s\r\nScalePath=%s\r\nAutoStartThread=1\r\n"
                    % (port, user, password, windows_path(os.path.join(agent, "till")),
                       windows_path(os.path.join(agent, "scales"))))
        with open(os.path.join(agent, "Quorvel.ini"), "wb") as f:
            f.write(settings.encode("cp1251"))

        errors = open(os.path.join(work, "stderr.txt"), "wb")
        process = None
        try:
            process = subprocess.Popen([wine_run, program], stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, stderr=errors, cwd=work,
                                       env=environment)
            def settled():
                ini = read(os.path.join(agent, "Quorvel.ini"))
                return (len(journals(os.path.join(remote, "log"))) == 3
                        and all(key in ini for key in (b"ChSync=", b"PriceSync=", b"ScaleSync="))
                        and not journals(agent))

            deadline = time.monotonic() + SETTLE_SECONDS
            while not settled() and time.monotonic() < deadline and process.poll() is None:
                time.sleep(0.1)
            check(settled(), "the cycle did not settle: %r" % read(os.path.join(agent, "Quorvel.ini")))
            check(process.poll() is None, "the agent ended by itself")

            check(os.listdir(os.path.join(remote, "reports", "checks")) == ["0001.ch"],
                  "receipt not on the server")
            check(read(os.path.join(remote, "reports", "checks", "0001.ch")) == b"receipt"
                  if os.path.exists(os.path.join(remote, "reports", "checks", "0001.ch")) else False,
                  "receipt content")
            check(os.listdir(os.path.join(agent, "till", "reports", "checks")) == [],
                  "receipt left in the till")
            check(os.path.isdir(os.path.join(agent, "reports", "checks")), "no staging folder")
            check(os.listdir(os.path.join(agent, "reports", "checks")) == [],
                  "receipt left in the staging folder")
            for name, data in (("till/p1.txt", b"price one"), ("till/p2.txt", b"price two"),
                               ("scales/plu.dat", b"plu")):
                path = os.path.join(agent, name)
                check(os.path.exists(path) and read(path) == data, name + " not delivered")
            for name in ("p1.txt", "p2.txt", "scale/plu.dat"):
                check(not os.path.exists(os.path.join(remote, name)), name + " left on the server")
            for journal in journals(os.path.join(remote, "log")):
                text = read(os.path.join(remote, "log", journal), "cp1251")
                if journal.startswith("Checks"):
                    check(text == "Загружен файл 0001.ch\r\n", "receipt journal " + repr(text))
                elif journal.startswith("Scale"):
                    check(text == "Скачен файл plu.dat\r\n", "scale journal " + repr(text))
                else:
                    check(text in ("Скачен файл p1.txt\r\nСкачен файл p2.txt\r\n",
                                   "Скачен файл p2.txt\r\nСкачен файл p1.txt\r\n"),
                          "price journal " + repr(text))
            ini = read(os.path.join(agent, "Quorvel.ini"), "cp1251")
            for key in ("ChSync=", "PriceSync=", "ScaleSync="):
                line = next((l for l in ini.splitlines() if l.startswith(key)), "")
                # "DD.MM.YYYY HH:mm:ss"
                stamp = line[len(key):]
                check(len(stamp) == 19 and stamp[2] == "." and stamp[5] == "." and stamp[13] == ":",
                      "stamp " + repr(line))

            # Ctrl+C: the workers are in their ten-minute pause; the end does
            # not wait for them.
            process.send_signal(signal.SIGINT)
            try:
                check(process.wait(timeout=STOP_SECONDS) == 0, "exit code after Ctrl+C")
            except subprocess.TimeoutExpired:
                check(False, "no end within %d s of Ctrl+C" % STOP_SECONDS)
        finally:
            if process is not None and process.poll() is None:
                process.kill()
                process.wait()
            server.kill()
            server.wait()
            errors.close()
        said = read(os.path.join(work, "stderr.txt"), "utf-8")
        for line in ("Состояние: Запущен", "Синхронизация работает"):
            check(line in said, "did not say " + line)
        if failures:
            print("agent said:\n" + said)
            for failure in failures:
                print("FAILED: " + failure)
            return 1
    print("one cycle and a clean end")
    return 0


if __name__ == "__main__":
    sys.exit(main())
