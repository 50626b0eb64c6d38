"""Starts the Linux-side test FTP servers for test programs running under
Wine, which cannot start and stop a Linux program themselves.

    serverbroker.py start --port-file F --prefix P   runs the broker in the
        background and returns once it listens; its port goes to F
    serverbroker.py stop --port-file F               ends it and its servers

A test program connects to 127.0.0.1 at that port and sends one line, the
fields separated by tabs (UTF-8):

    START <script below tests/support/> <server root as a Windows path> <arg>...

and gets "PORT <port> PID <pid>" once the server listens, or "ERROR <text>".
The server runs while that connection stays open: a "STOP" line, or the end
of the connection (also when the test program dies), ends it, and "STOPPED"
answers once it is gone.
"""

import argparse
import os
import select
import socket
import subprocess
import sys
import threading
import time

SUPPORT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support")
START_SECONDS = 15
STOP_SECONDS = 5


def linux_path(prefix, windows_path):
    """A Windows path of the prefix's drives as the Linux path it names."""
    drive, rest = windows_path[:2], windows_path[2:]
    if len(drive) != 2 or drive[1] != ":":
        raise ValueError("not a drive path: " + windows_path)
    root = os.path.realpath(os.path.join(prefix, "dosdevices", drive.lower()))
    return os.path.join(root, rest.replace("\\", "/").lstrip("/"))


def read_line(conn, deadline=None):
    data = b""
    while not data.endswith(b"\n"):
        timeout = None if deadline is None else max(0.0, deadline - time.monotonic())
        if not select.select([conn], [], [], timeout)[0]:
            return None
        chunk = conn.recv(4096)
        if not chunk:
            return None
        data += chunk
    return data.decode("utf-8").rstrip("\r\n")


def stop_server(server):
    if server.poll() is None:
        server.terminate()
        try:
            server.wait(timeout=STOP_SECONDS)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()


def serve_one(conn, prefix, servers, lock):
    server = None
    try:
        fields = (read_line(conn, time.monotonic() + START_SECONDS) or "").split("\t")
        if len(fields) < 3 or fields[0] != "START" or os.sep in fields[1]:
            conn.sendall(b"ERROR expected START <script> <root> <arg>...\n")
            return
        command = ["/usr/bin/python3", os.path.join(SUPPORT, fields[1]),
                   "--root", linux_path(prefix, fields[2])] + fields[3:]
        server = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        with lock:
            servers.add(server)
        ready = select.select([server.stdout], [], [], START_SECONDS)[0]
        line = server.stdout.readline().decode() if ready else ""
        if not line.startswith("PORT "):
            conn.sendall(b"ERROR the server did not start listening\n")
            return
        conn.sendall(("%s PID %d\n" % (line.strip(), server.pid)).encode())
        # Until STOP or the end of the connection.
        while read_line(conn) not in (None, "STOP"):
            pass
        stop_server(server)
        conn.sendall(b"STOPPED\n")
    except (OSError, ValueError) as error:
        try:
            conn.sendall(("ERROR %s\n" % error).encode())
        except OSError:
            pass
    finally:
        if server is not None:
            stop_server(server)
            with lock:
                servers.discard(server)
        conn.close()


def run_broker(port_file, prefix):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    servers, lock = set(), threading.Lock()
    written = port_file + ".new"
    with open(written, "w") as f:
        f.write("%d\n" % listener.getsockname()[1])
    os.replace(written, port_file)
    while True:
        conn, _ = listener.accept()
        # A "QUIT" from the stop command comes as the first line too; it is
        # told apart by a short look before a thread takes the connection.
        ready = select.select([conn], [], [], 0.5)[0]
        if ready and conn.recv(5, socket.MSG_PEEK) == b"QUIT\n":
            with lock:
                for server in list(servers):
                    stop_server(server)
            conn.sendall(b"BYE\n")
            conn.close()
            os.unlink(port_file)
            return
        threading.Thread(target=serve_one, args=(conn, prefix, servers, lock),
                         daemon=True).start()


def start(args):
    if os.path.exists(args.port_file):
        os.unlink(args.port_file)
    if os.fork() == 0:
        os.setsid()
        if os.fork() != 0:
            os._exit(0)
        # Nothing of the caller's stays open, so CTest does not wait for the
        # broker's end.
        null = os.open(os.devnull, os.O_RDWR)
        for fd in (0, 1, 2):
            os.dup2(null, fd)
        try:
            run_broker(args.port_file, args.prefix)
        finally:
            os._exit(0)
    deadline = time.monotonic() + START_SECONDS
    while not os.path.exists(args.port_file) and time.monotonic() < deadline:
        time.sleep(0.05)
    return 0 if os.path.exists(args.port_file) else 1


def stop(args):
    try:
        with open(args.port_file) as f:
            port = int(f.read())
        with socket.create_connection(("127.0.0.1", port), timeout=STOP_SECONDS * 4) as conn:
            conn.sendall(b"QUIT\n")
            conn.recv(16)
    except (OSError, ValueError):
        pass
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("action", choices=("start", "stop"))
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--prefix")
    args = parser.parse_args()
    return start(args) if args.action == "start" else stop(args)


if __name__ == "__main__":
    sys.exit(main())
