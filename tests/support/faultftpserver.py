"""The loopback FTP server of ftpserver.py with switches for faults.

The server is the same (pyftpdlib, "\\" a separator, cp1251 text); this
script only wraps its command handler. A test steers it while it runs
through a control file and follows it through an events file:

Control file (re-read at every new connection and every command; replace
it whole, e.g. by a rename, so it is never read half-written):

    generation <n>        a new number restarts the counting of commands
    hold-from <k>         connections from the k-th on (counted from 1 since
                          the server started) get no greeting until a later
                          control file lets them through
    fault <conn> <CMD> <occurrence> <action> [<argument>]

A fault fires once, at the given occurrence of the command word (USER,
RETR, ...; GREETING for the greeting), counted since the generation
began, on every connection (conn 0) or on the conn-th connection only.
Occurrence 0 makes a standing fault: it strikes every time, unrecorded
(a server without EPSV, say). Actions:

    drop              close the control connection instead of running the
                      command
    drop-reply        run the command, but close the control connection
                      instead of sending its final reply (after the data
                      of a transfer went through)
    reply <text>      answer with the text instead of running the command;
                      a 421 closes the connection after it, as servers do
    silent <ms>       answer nothing from here on, then hang up after ms
    reset-data <n>    run the transfer, but reset the data connection (RST)
                      once n bytes went through, answering 426

Events file, one line per event, in order:

    connect <conn>
    command <conn> <command line>
    fired <conn> <command line>
    close <conn>
"""

import argparse
import os
import socket
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ftpserver  # noqa: E402
from pyftpdlib.log import logger  # noqa: E402

HOLD_POLL_SECONDS = 0.005


class FaultSwitches:
    """The control file as last read, the counters, and the events file."""

    def __init__(self, control_path, events_path):
        self.control_path = control_path
        self.events = open(events_path, "a", encoding="cp1251",
                           errors="replace", buffering=1)
        self.generation = None
        self.hold_from = 0
        self.faults = []
        self.counts = {}
        self.connections = 0

    def refresh(self):
        try:
            with open(self.control_path, encoding="utf-8") as control:
                lines = control.read().splitlines()
        except FileNotFoundError:
            lines = []
        generation = None
        hold_from = 0
        faults = []
        for line in lines:
            words = line.split(" ", 5)
            if words[0] == "generation":
                generation = words[1]
            elif words[0] == "hold-from":
                hold_from = int(words[1])
            elif words[0] == "fault":
                faults.append({
                    "connection": int(words[1]),
                    "command": words[2].upper(),
                    "occurrence": int(words[3]),
                    "action": words[4],
                    "argument": words[5] if len(words) > 5 else "",
                })
        self.hold_from = hold_from
        if generation != self.generation:
            self.generation = generation
            self.faults = faults
            self.counts = {}

    def record(self, *words):
        self.events.write(" ".join(str(w) for w in words) + "\n")

    def take(self, connection, command):
        """The fault that fires at this command, or None."""
        self.refresh()
        for fault in self.faults:
            if fault["command"] != command:
                continue
            if fault["connection"] not in (0, connection):
                continue
            if fault["occurrence"] == 0:
                return fault
            key = id(fault)
            self.counts[key] = self.counts.get(key, 0) + 1
            if self.counts[key] == fault["occurrence"]:
                return fault
        return None


def with_faults(base, switches):
    class ResettingDTPHandler(base.dtp_handler):
        """Resets the data connection once the command channel's limit of
        bytes went through."""

        def use_sendfile(self):
            # sendfile() would pass the file by the byte count below.
            return False

        def _limit(self):
            return self.cmd_channel.reset_data_after

        def _reset(self):
            self.cmd_channel.reset_data_after = None
            self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                   struct.pack("ii", 1, 0))
            self._resp = ("426 Connection reset; transfer aborted.",
                          logger.debug)
            self.close()

        def send(self, data):
            limit = self._limit()
            if limit is None:
                return super().send(data)
            room = limit - self.tot_bytes_sent
            if room <= 0:
                self._reset()
                return 0
            return super().send(data[:room])

        def handle_read(self):
            super().handle_read()
            limit = self._limit()
            if limit is not None and self.tot_bytes_received >= limit:
                self._reset()

        def close(self):
            # A transfer shorter than the limit ends the fault all the same.
            self.cmd_channel.reset_data_after = None
            super().close()

    class FaultHandler(base):
        dtp_handler = ResettingDTPHandler

        def __init__(self, *args, **kwargs):
            switches.connections += 1
            self.connection = switches.connections
            self.reset_data_after = None
            self.drop_at_reply = False
            self.silenced = False
            self.recorded_close = False
            switches.record("connect", self.connection)
            super().__init__(*args, **kwargs)

        def handle(self):
            switches.refresh()
            if switches.hold_from and self.connection >= switches.hold_from:
                self.ioloop.call_later(HOLD_POLL_SECONDS, self.handle)
                return
            if self._closed:
                return
            fault = switches.take(self.connection, "GREETING")
            if fault is not None and self.apply(fault, "GREETING"):
                return
            super().handle()

        def pre_process_command(self, line, cmd, arg):
            switches.record("command", self.connection, line)
            if self.silenced:
                return
            fault = switches.take(self.connection, cmd)
            if fault is not None and self.apply(fault, line):
                return
            super().pre_process_command(line, cmd, arg)

        def apply(self, fault, line):
            """Carries out a fault; True when the command is not to run."""
            if fault["occurrence"] != 0:
                switches.record("fired", self.connection, line)
            action = fault["action"]
            if action == "drop":
                self.close()
                return True
            if action == "reply":
                self.respond(fault["argument"])
                if fault["argument"].startswith("421"):
                    self.close_when_done()
                return True
            if action == "silent":
                self.silenced = True
                self.ioloop.call_later(int(fault["argument"]) / 1000.0,
                                       self.close)
                return True
            if action == "drop-reply":
                self.drop_at_reply = True
                return False
            if action == "reset-data":
                self.reset_data_after = int(fault["argument"])
                return False
            raise ValueError("unknown fault action " + action)

        def respond(self, resp, *args, **kwargs):
            if self.drop_at_reply and not resp.startswith("1"):
                self.drop_at_reply = False
                self.close()
                return
            super().respond(resp, *args, **kwargs)

        def close(self):
            if not self.recorded_close:
                self.recorded_close = True
                switches.record("close", self.connection)
            super().close()

    return FaultHandler


def main():
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--control", required=True)
    parser.add_argument("--events", required=True)
    args, rest = parser.parse_known_args()
    switches = FaultSwitches(args.control, args.events)

    # ftpserver.main() builds its handler through the module's make_handler;
    # wrapping that adds the switches to an otherwise unchanged server.
    plain_make_handler = ftpserver.make_handler
    ftpserver.make_handler = lambda encoding: with_faults(
        plain_make_handler(encoding), switches)
    sys.argv = [sys.argv[0]] + rest
    ftpserver.main()


if __name__ == "__main__":
    main()
