#!/usr/bin/env python3
"""Runs pairset as a person at a console does: in a pseudo-terminal, where wine gives a Windows
program a real console. Checks what the screen shows, the key that a console opened for the run
alone asks for, and (under wine) that Ctrl+C while the new file is written leaves nothing behind.

    console_test.py native PAIRSET EXAMPLES_DIR
    console_test.py wine   PAIRSET.EXE EXAMPLES_DIR WINE_RUN [--ctrl-c] [--launcher EXE]
                           [--batch CONVERT_UNITS_BAT]

--batch also runs the batch file, with the program beside it, on a Western console (437).
"""
import os
import pty
import re
import select
import shutil
import signal
import sys
import tempfile
import time

PROMPT = "Нажмите любую клавишу, чтобы закрыть окно."

# What a console draws between the texts (the cursor hidden and shown again).
CONTROL_SEQUENCE = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]")


def run_in_terminal(command, folder, env, on_output=None, seconds=120):
    """Gives what the terminal showed and the wait status, or None for a run that did not end.
    on_output(shown, pid, terminal) is called as the screen fills, and may type or signal."""
    pid, terminal = pty.fork()
    if pid == 0:
        try:
            os.chdir(folder)
            os.execvpe(command[0], command, env)
        finally:
            os._exit(127)
    shown = b""
    status = None
    deadline = time.time() + seconds
    while time.time() < deadline:
        ready, _, _ = select.select([terminal], [], [], 0.02)
        if ready:
            try:
                data = os.read(terminal, 65536)
            except OSError:
                data = b""
            shown += data
        if on_output is not None:
            on_output(shown, pid, terminal)
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            # What it wrote after the last look is still in the terminal: read to its end (EIO
            # once nothing holds the other side; a pause where a helper still does, as wine's).
            while select.select([terminal], [], [], 0.2)[0]:
                try:
                    data = os.read(terminal, 65536)
                except OSError:
                    break
                if not data:
                    break
                shown += data
            break
    else:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        status = None
    os.close(terminal)
    return shown.decode("utf-8", "replace"), status


def main():
    mode, program, examples = sys.argv[1:4]
    # PAIRSET_UNDER_TEST runs the same cases on another build, such as the shipped one.
    program = os.environ.get("PAIRSET_UNDER_TEST") or program
    program, examples = os.path.abspath(program), os.path.abspath(examples)
    command = [program] if mode == "native" else [os.path.abspath(sys.argv[4]), program]
    ctrl_c = "--ctrl-c" in sys.argv
    launcher = sys.argv[sys.argv.index("--launcher") + 1] if "--launcher" in sys.argv else None
    batch = sys.argv[sys.argv.index("--batch") + 1] if "--batch" in sys.argv else None
    # PAIRSET_BATCH_UNDER_TEST runs the shipped batch file instead.
    if batch is not None:
        batch = os.environ.get("PAIRSET_BATCH_UNDER_TEST") or batch
    results = []

    def check(label, ok, detail):
        results.append(ok)
        print(("ok     " if ok else "FAILED ") + label + ("" if ok else ": " + detail))

    with tempfile.TemporaryDirectory() as folder:
        # Under wine the program may run as another user than the test (cmake/wine-run).
        os.chmod(folder, 0o777)
        for name in ("lathe-input.cn1", "lathe-output.cn1"):
            shutil.copy(os.path.join(examples, name), folder)
        utf8 = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8")
        # Under wine, a double-click: the launcher, copied as explorer.exe, starts the program
        # and leaves the console (wine's console in a terminal) to it alone.
        explorer = []
        if mode == "wine" and launcher is not None and not ctrl_c:
            shutil.copy(launcher, os.path.join(folder, "explorer.exe"))
            os.chmod(os.path.join(folder, "explorer.exe"), 0o755)
            explorer = command[:1] + [os.path.join(folder, "explorer.exe"),
                                      "Z:" + program.replace("/", "\\")]
        cases = [
            # label, command, environment, what the screen must show (a text, or a tuple of
            # texts), whether it asks for a key:
            # a console that Explorer opened for this run alone does; one opened by another
            # program (wine started from the terminal, as `start /wait` or a scheduled task),
            # a POSIX terminal or cmd's console never.
            ("cyrillic name in a message", command + ["Участок.cn1", "b", "c"], utf8,
             "Не могу открыть файл 'Участок.cn1'", False),
            ("success message", command + ["lathe-input.cn1", "lathe-output.cn1", "lathe.c13"],
             utf8, "PAIRSET завешилась успешно.", False),
        ]
        if explorer:
            cases += [
                ("double-click: cyrillic name", explorer + ["Участок.cn1", "b", "c"], utf8,
                 "Не могу открыть файл 'Участок.cn1'", True),
                ("double-click: success message",
                 explorer + ["lathe-input.cn1", "lathe-output.cn1", "lathe2.c13"], utf8,
                 "PAIRSET завешилась успешно.", True),
            ]
        if mode == "wine":
            windows_path = "Z:" + program.replace("/", "\\")
            cases.append(("started from cmd", command[:1] + ["cmd", "/c", windows_path, "x.cn1",
                                                            "b", "c"], utf8,
                          "Не могу открыть файл 'x.cn1'", False))
            # Started by another program in that program's console: not alone there.
            if launcher is not None:
                cases.append(("started by a program in its console", command[:1] + [
                    os.path.abspath(launcher), windows_path, "x.cn1", "b", "c"], utf8,
                    "Не могу открыть файл 'x.cn1'", False))
            # Alone in its console, but with standard input from NUL: nobody answers there.
            cases.append(("input from nul", ["sh", "-c", 'exec "$0" "$@" </dev/null'] + command +
                          ["x.cn1", "b", "c"], utf8, "Не могу открыть файл 'x.cn1'", False))
        if batch is not None and not ctrl_c:
            # On a Western console, where no Cyrillic letter can be written to a file, the list
            # of units not converted shows a name as the unit's own lines show it.
            shutil.copy(batch, os.path.join(folder, "convert-units.bat"))
            shutil.copy(program, os.path.join(folder, "pairset.exe"))
            western = dict(utf8, PAIRSET_WINE_LANG="en_US.UTF-8")
            cases.append(("batch file: a unit not converted, listed on a Western console",
                          command[:1] + ["cmd", "/c", "convert-units.bat", "ЖЖ"], western,
                          ("\n=== ЖЖ\n", "\n  ЖЖ\n"), False))
        if mode == "native":
            # A terminal whose locale is not UTF-8 gets the bytes it always got.
            cases.append(("non-UTF-8 terminal",
                          command + ["lathe-input.cn1", "lathe-output.cn1", "l.c13"],
                          dict(os.environ, LANG="C", LC_ALL="C"),
                          "\nPAIRSET завешилась успешно.".encode("cp866").decode("utf-8", "replace"),
                          False))
        if not ctrl_c:
            for label, run, env, expected, waits in cases:
                pressed = []

                def press_key_at_prompt(shown, pid, terminal):
                    if PROMPT.encode() in shown and not pressed:
                        pressed.append(True)
                        os.write(terminal, b"\r")

                shown, status = run_in_terminal(run, folder, env, press_key_at_prompt)
                text = CONTROL_SEQUENCE.sub("", shown.replace("\r", ""))
                parts = expected if isinstance(expected, tuple) else (expected,)
                check(label, all(part in text for part in parts), repr(shown[-300:]))
                check(label + (": asks for a key, then ends" if waits else ": does not wait"),
                      (PROMPT in shown) == waits and status is not None, repr(shown[-300:]))
        else:
            # Two sources of 300 MB: the run is long enough to be interrupted while it writes.
            for name, byte in (("in.cn1", b"i"), ("out.cn1", b"o")):
                with open(os.path.join(folder, name), "wb") as file:
                    file.write(b"DNC-terminal ucpu settings file (one) v1.0\0" + b"MILL".ljust(16, b"\0"))
                    for _ in range(300):
                        file.write(byte * 1_000_000)
            whole_size = 43 + 16 + 300_000_000 + 16 + 300_000_000

            # Replaced through a new file: Ctrl+C once the new file exists.
            sent = []

            def interrupt_new_file(shown, pid, terminal):
                if not sent and any(".t.c13.pairset-" in n for n in os.listdir(folder)):
                    os.kill(pid, signal.SIGINT)  # arrives at the program as CTRL_C_EVENT
                    sent.append(True)

            shown, status = run_in_terminal(command + ["in.cn1", "out.cn1", "t.c13"], folder, utf8,
                                            interrupt_new_file)
            left = sorted(n for n in os.listdir(folder) if n not in ("lathe-input.cn1",
                                                                     "lathe-output.cn1"))
            check("Ctrl+C reached the run while its new file existed", bool(sent), "never sent")
            check("Ctrl+C ends the run", status is not None, "still running")
            check("Ctrl+C leaves no new file and no target", left == ["in.cn1", "out.cn1"],
                  str(left))
            check("Ctrl+C prints no message", "PAIRSET" not in shown, repr(shown[-300:]))

            # Written in place (a file with a second name): reserving room lengthens the target
            # first, and Ctrl+C from then on waits until the whole result is in it.
            target, other = os.path.join(folder, "t.c13"), os.path.join(folder, "other.c13")
            with open(target, "wb") as file:
                file.write(b"previous")
            os.chmod(target, 0o666)
            os.link(target, other)
            sent.clear()

            def interrupt_in_place(shown, pid, terminal):
                if not sent and os.path.getsize(target) != len(b"previous"):
                    os.kill(pid, signal.SIGINT)
                    sent.append(True)

            shown, status = run_in_terminal(command + ["in.cn1", "out.cn1", "t.c13"], folder, utf8,
                                            interrupt_in_place)
            with open(target, "rb") as file:
                head = file.read(59)
                file.seek(-1_000_000, os.SEEK_END)
                tail = file.read()
            check("Ctrl+C reached the run while it wrote in place", bool(sent), "never sent")
            check("Ctrl+C during an in-place write ends the run", status is not None,
                  "still running")
            check("Ctrl+C during an in-place write leaves the whole result",
                  os.path.getsize(target) == whole_size and head.startswith(b"DNC-terminal") and
                  tail == b"o" * 1_000_000, f"{os.path.getsize(target)} bytes")
            check("the second name still names the target", os.path.samefile(target, other),
                  "two files")
            check("Ctrl+C during an in-place write leaves no undo copy",
                  not os.path.exists(target + ".pairset-undo"), "the copy is left")

    passed = sum(results)
    print(f"{passed} passed, {len(results) - passed} failed")
    return 0 if passed == len(results) else 1


if __name__ == "__main__":
    sys.exit(main())
