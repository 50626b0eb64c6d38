"""A loopback FTP server for the tests, built on pyftpdlib.

It behaves like the Windows FTP servers the agent talks to: a backslash in a
path acts as a separator just as "/" does, and commands, replies and
listings travel in an 8-bit code page (cp1251 by default) instead of UTF-8.

Once the server listens it prints "PORT <number>" on stdout, so a caller that
asked for port 0 learns the port the system chose. It runs until it is
killed.
"""

import argparse
import logging
import sys
import warnings

# pyftpdlib is built on asynchat; its deprecation notice is noise here.
warnings.filterwarnings("ignore", category=DeprecationWarning)
import asynchat  # noqa: E402
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


class BackslashFS(AbstractedFS):
    """Treats "\\" in client paths as a separator, like "/"."""

    def ftpnorm(self, ftppath):
        return super().ftpnorm(ftppath.replace("\\", "/"))

    def format_list(self, basedir, listing, ignore_err=True):
        for line in super().format_list(basedir, listing, ignore_err):
            yield self.cmd_channel.recode_out(line)

    def format_mlsx(self, basedir, listing, perms, facts, ignore_err=True):
        for line in super().format_mlsx(basedir, listing, perms, facts, ignore_err):
            yield self.cmd_channel.recode_out(line)


def make_handler(encoding):
    class CodePageHandler(FTPHandler):
        """Talks the given code page on the control and listing channels.

        pyftpdlib itself always speaks UTF-8, so the bytes it produces are
        re-encoded on their way out and the client's bytes decoded on their
        way in.
        """

        abstracted_fs = BackslashFS
        unicode_errors = "replace"

        def decode(self, bytes):
            return bytes.decode(encoding, self.unicode_errors)

        def push(self, s):
            asynchat.async_chat.push(self, s.encode(encoding, self.unicode_errors))

        def recode_out(self, utf8_bytes):
            return utf8_bytes.decode("utf8", self.unicode_errors).encode(
                encoding, self.unicode_errors)

    return CodePageHandler


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", default="user")
    parser.add_argument("--password", default="pass")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--perm", default="elradfmwMT")
    parser.add_argument("--encoding", default="cp1251")
    parser.add_argument("--banner", default=None)
    parser.add_argument("--idle-timeout", type=int, default=300)
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args()

    logging.basicConfig(stream=sys.stderr,
                        level=logging.DEBUG if args.verbose else logging.WARNING)

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm=args.perm)

    handler = make_handler(args.encoding)
    handler.authorizer = authorizer
    handler.timeout = args.idle_timeout
    if args.banner is not None:
        handler.banner = args.banner

    server = FTPServer((args.host, args.port), handler)
    server.max_cons = 64
    print("PORT %d" % server.address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
