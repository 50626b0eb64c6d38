"""quorvel.exe under Wine as a black box, the parts its tests share: the scene
of one exchange cycle (a test FTP server on a free loopback port with price
and scale files, a till folder with one receipt, a scales folder), the
settings file that points an agent at it, starting and stopping the agent,
and the checks that one cycle went through.

Windows paths are the Linux paths on Wine's drive Z:.
"""

import os
import secrets
import subprocess
import time

SETTLE_SECONDS = 60
# The agent's time to end after "Закрыть программу" (quorvel_drive's bound).
STOP_SECONDS = 10
# quorvel_drive's own bounds together (finding the agent, its window, its
# end) and Wine's start of it.
DRIVE_SECONDS = 60
# The wait for the Linux process that ran the agent: once quorvel_drive saw
# the agent end, and after a failed close.
GONE_SECONDS = 30
FAILED_GONE_SECONDS = 5
RECEIPT = "0001.ch"


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def read(path, encoding=None):
    with open(path, "rb") as f:
        data = f.read()
    return data.decode(encoding) if encoding else data


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def read_settings(path):
    """Quorvel.ini as text, in the encoding the program keeps it in: UTF-16
    with a byte-order mark, or else the ANSI code page 1251; empty when there
    is none."""
    data = read(path) if os.path.isfile(path) else b""
    return data.decode("utf-16") if data.startswith((b"\xff\xfe", b"\xfe\xff")) else data.decode("cp1251")


def journals(folder):
    return sorted(name for name in os.listdir(folder)
                  if name.startswith(("Checks", "Price", "Scale")))


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


class CycleScene:
    """The server, till and scales folders of one cycle below a work folder;
    the server runs until close()."""

    def __init__(self, work, server_script):
        self.remote = os.path.join(work, "remote")
        self.till = os.path.join(work, "till")
        self.scales = os.path.join(work, "scales")
        for folder in ("remote/log", "remote/reports/checks", "remote/scale",
                       "till/reports/checks", "scales"):
            os.makedirs(os.path.join(work, folder))
        for name, data in (("remote/p1.txt", b"price one"), ("remote/p2.txt", b"price two"),
                           ("remote/scale/plu.dat", b"plu"),
                           ("till/reports/checks/" + RECEIPT, b"receipt")):
            write(os.path.join(work, name), data)
        # Credentials of this run only, so that no other agent on the machine
        # sends its journals into this server.
        self.user, self.password = "till-" + secrets.token_hex(4), secrets.token_hex(8)
        self.server, self.port = start_server(server_script, self.remote, self.user, self.password)

    def settings(self):
        """The text of a Quorvel.ini for this scene, auto-start on."""
        return ("[main]\r\nserver=127.0.0.1\r\nport=%d\r\nuser=%s\r\npass=%s\r\n"
                "kassaPath=%s\r\nScalePath=%s\r\nAutoStartThread=1\r\n"
                % (self.port, self.user, self.password, windows_path(self.till),
                   windows_path(self.scales)))

    def settled(self, agent):
        """Whether the agent in the folder agent finished its first cycle."""
        ini = read_settings(os.path.join(agent, "Quorvel.ini"))
        return (len(journals(os.path.join(self.remote, "log"))) == 3
                and all(key in ini for key in ("ChSync=", "PriceSync=", "ScaleSync="))
                and not journals(agent))

    def wait_settled(self, agent, process):
        deadline = time.monotonic() + SETTLE_SECONDS
        while not self.settled(agent) and time.monotonic() < deadline and process.poll() is None:
            time.sleep(0.1)
        return self.settled(agent)

    def check_cycle(self, agent, check):
        """Checks everything one cycle of the agent in agent moved: the
        receipt up, the price and scale files down and off the server, the
        three journals, the three stamps."""
        sent = os.path.join(self.remote, "reports", "checks", RECEIPT)
        check(os.listdir(os.path.dirname(sent)) == [RECEIPT], "receipt not on the server")
        check(os.path.exists(sent) and read(sent) == b"receipt", "receipt content")
        check(os.listdir(os.path.join(self.till, "reports", "checks")) == [],
              "receipt left in the till")
        staging = os.path.join(agent, "reports", "checks")
        check(os.path.isdir(staging), "no staging folder")
        check(os.path.isdir(staging) and os.listdir(staging) == [],
              "receipt left in the staging folder")
        for path, data in ((os.path.join(self.till, "p1.txt"), b"price one"),
                           (os.path.join(self.till, "p2.txt"), b"price two"),
                           (os.path.join(self.scales, "plu.dat"), b"plu")):
            check(os.path.exists(path) and read(path) == data, path + " not delivered")
        for name in ("p1.txt", "p2.txt", "scale/plu.dat"):
            check(not os.path.exists(os.path.join(self.remote, name)), name + " left on the server")
        for journal in journals(os.path.join(self.remote, "log")):
            text = read(os.path.join(self.remote, "log", journal), "cp1251")
            if journal.startswith("Checks"):
                check(text == "Загружен файл %s\r\n" % RECEIPT, "receipt journal " + repr(text))
            elif journal.startswith("Scale"):
                check(text == "Скачен файл plu.dat\r\n", "scale journal " + repr(text))
            else:
                check(text in ("Скачен файл p1.txt\r\nСкачен файл p2.txt\r\n",
                               "Скачен файл p2.txt\r\nСкачен файл p1.txt\r\n"),
                      "price journal " + repr(text))
        ini = read_settings(os.path.join(agent, "Quorvel.ini"))
        for key in ("ChSync=", "PriceSync=", "ScaleSync="):
            line = next((l for l in ini.splitlines() if l.startswith(key)), "")
            # "DD.MM.YYYY HH:mm:ss"
            stamp = line[len(key):]
            check(len(stamp) == 19 and stamp[2] == "." and stamp[5] == "." and stamp[13] == ":",
                  "stamp " + repr(line))

    def close(self):
        self.server.kill()
        self.server.wait()


def start_agent(wine_run, program, environment, errors, cwd):
    """Runs program (a Linux or a Windows path) through wine-run; its
    standard error goes to the open file errors."""
    return subprocess.Popen([wine_run, program], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=errors, cwd=cwd, env=environment)


def stop_agent(process, wine_run, drive, program, environment):
    """Ends a running agent the way its user does, by "Закрыть программу" in
    its tray menu; its exit code, or None when it did not end within
    STOP_SECONDS.

    The command goes to the agent's window through quorvel_drive (drive, run
    through wine_run), which also waits for the agent to end and says on its
    standard error what went wrong; program is the agent's executable, a
    Linux or a Windows path. The workers are in their ten-minute pause, and
    the end does not wait for them."""
    target = windows_path(program) if program.startswith("/") else program
    try:
        drive_run = subprocess.run([wine_run, drive, "close", target], stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                   env=environment, timeout=DRIVE_SECONDS)
        said = drive_run.stderr.decode("utf-8", "replace").strip()
        closed = drive_run.returncode == 0
    except subprocess.TimeoutExpired:
        said, closed = "quorvel_drive did not end within %d s" % DRIVE_SECONDS, False
    if said:
        print(said)
    # Once the drive tool has seen the Windows process end, the Linux process
    # that ran it may take a moment longer to go; after a failed close it
    # only shows whether the agent ended with another code.
    try:
        return process.wait(timeout=GONE_SECONDS if closed else FAILED_GONE_SECONDS)
    except subprocess.TimeoutExpired:
        return None


def end_agent(process):
    """Makes sure the agent is gone, killed if need be."""
    if process is not None and process.poll() is None:
        process.kill()
        process.wait()
