"""quorvel.exe as a black box under Wine: one full cycle against the
Windows-style test FTP server on loopback, then a clean end by "Закрыть
программу" in its tray menu.

The agent runs from a fresh folder beside a Quorvel.ini with auto-start on
and Windows paths (Wine's drive Z: is the Linux root); the server listens on
a free loopback port, which the settings name. The menu command reaches the
agent's window through quorvel_drive.

    blackbox_cycle.py --exe quorvel.exe --drive quorvel_drive.exe --wine-run cmake/wine-run \
        --server ftpserver.py --prefix build/windows/wine
"""

import argparse
import os
import shutil
import sys
import tempfile

import wineagent


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--drive", required=True, help="quorvel_drive.exe")
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
        agent = os.path.join(work, "agent")
        os.makedirs(agent)
        program = os.path.join(agent, "quorvel.exe")
        shutil.copyfile(args.exe, program)
        scene = wineagent.CycleScene(work, args.server)
        wineagent.write(os.path.join(agent, "Quorvel.ini"), scene.settings().encode("cp1251"))

        errors = open(os.path.join(work, "stderr.txt"), "wb")
        process = None
        try:
            process = wineagent.start_agent(wine_run, program, environment, errors, work)
            check(scene.wait_settled(agent, process),
                  "the cycle did not settle: %r" % wineagent.read(os.path.join(agent, "Quorvel.ini")))
            check(process.poll() is None, "the agent ended by itself")
            scene.check_cycle(agent, check)
            code = wineagent.stop_agent(process, wine_run, args.drive, program, environment)
            check(code is not None,
                  "no end within %d s of \"Закрыть программу\"" % wineagent.STOP_SECONDS)
            check(code in (None, 0), "exit code %r after \"Закрыть программу\"" % code)
        finally:
            wineagent.end_agent(process)
            scene.close()
            errors.close()
        said = wineagent.read(os.path.join(work, "stderr.txt"), "utf-8")
        check("Синхронизация работает" in said, "did not say Синхронизация работает")
        if failures:
            print("agent said:\n" + said)
            for failure in failures:
                print("FAILED: " + failure)
            return 1
    print("one cycle and a clean end")
    return 0


if __name__ == "__main__":
    sys.exit(main())
