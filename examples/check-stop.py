#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Stops the demo panel early and checks that it leaves nothing behind.

Usage: check-stop.py DEMO CASE, with CASE one of
  sigterm      plain lines, SIGTERM once the panel polls, started outside the
               source tree without --script;
  keep-log     the same with --keep-log: the folder stays;
  sigint-live  the live view on a terminal, SIGINT as from Ctrl-C;
  sigterm-silent  SIGTERM while the dosing unit's simulator is stopped
               (SIGSTOP): it must still end on SIGTERM, not be killed;
  usage        bad usage and a missing script.

This checker makes itself the reaper of orphans, so a child the demo leaves
running (or unreaped) comes to it instead of to PID 1; and the demo's
temporary folder goes into an empty folder of its own (TMPDIR), which must
be empty again afterwards.
"""
import ctypes
import os
import pty
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

PR_SET_CHILD_SUBREAPER = 36
STARTED_TIMEOUT_S = 30
EXIT_TIMEOUT_S = 15


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


class Demo:
    """The demo running with its output collected as it comes."""

    def __init__(self, argv, env, terminal=False):
        self.text = ""
        self.lock = threading.Lock()
        if terminal:
            master, slave = pty.openpty()
            self.proc = subprocess.Popen(argv, stdin=slave, stdout=slave, stderr=slave, env=env, cwd="/",
                                         close_fds=True)
            os.close(slave)
            self.fd = master
        else:
            self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                         stderr=subprocess.STDOUT, env=env, cwd="/")
            self.fd = self.proc.stdout.fileno()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        while True:
            try:
                chunk = os.read(self.fd, 4096)
            except OSError:   # the terminal's other side is gone
                chunk = b""
            if not chunk:
                return
            with self.lock:
                self.text += chunk.decode(errors="replace")

    def output(self):
        with self.lock:
            return self.text

    def wait_for(self, pattern, timeout):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if re.search(pattern, self.output()):
                return True
            if self.proc.poll() is not None:
                return bool(re.search(pattern, self.output()))
            time.sleep(0.05)
        return False

    def finish(self, timeout):
        try:
            status = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise Failure("the demo did not end within %d s of the signal" % timeout)
        self.reader.join(5)
        if self.proc.stdout is None:
            os.close(self.fd)
        return status


def orphans():
    """Processes whose parent is this checker: the demo's leftovers."""
    me = os.getpid()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                cmdline = f.read().replace(b"\0", b" ").decode(errors="replace").strip()
        except OSError:
            continue
        fields = stat[stat.rindex(")") + 2:].split()
        if int(fields[1]) == me:
            found.append((int(entry), fields[0], cmdline))
    return found


def end_orphans():
    for pid, _, _ in orphans():
        try:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        except OSError:
            pass


def check_nothing_left(scratch):
    left = orphans()
    check(not left, "children left behind: %s" % ", ".join("%d (%s, state %s)" % (p, c, s) for p, s, c in left))
    files = []
    for root, dirs, names in os.walk(scratch):
        files += [os.path.join(root, n) for n in dirs + names]
    check(not files, "files left behind: %s" % ", ".join(files))


def stop(demo_path, scratch, signo, extra=(), terminal=False, duration=120, when=r"polling every"):
    env = dict(os.environ, TMPDIR=scratch)
    demo = Demo([demo_path, "--duration", str(duration)] + list(extra), env, terminal)
    try:
        check(demo.wait_for(when, STARTED_TIMEOUT_S), "the demo never showed: " + when)
        demo.proc.send_signal(signo)
        status = demo.finish(EXIT_TIMEOUT_S)
    finally:
        if demo.proc.poll() is None:
            demo.proc.kill()
            demo.proc.wait()
    text = demo.output()
    print(text)
    name = signal.Signals(signo).name
    check(status == 0, "the demo exited with %s on %s" % (status, name))
    check("summary: ran " in text and "stopped by " + name in text, "no summary naming " + name)
    return text


def case_sigterm(demo_path, scratch):
    text = stop(demo_path, scratch, signal.SIGTERM)
    check(re.search(r"script /\S*examples/plc-script\.json: valid", text),
          "the default script was not found from another folder")
    check_nothing_left(scratch)


def case_keep_log(demo_path, scratch):
    text = stop(demo_path, scratch, signal.SIGTERM, ["--keep-log"])
    kept = re.search(r"summary: files kept in (\S+)", text)
    check(kept, "the demo did not say where it kept its files")
    folder = kept.group(1)
    check(os.path.dirname(folder) == scratch, "kept folder %s is not in TMPDIR" % folder)
    check(os.path.getsize(os.path.join(folder, "press.log")) > 0, "the press simulator's log is not kept")
    shutil.rmtree(folder)
    check_nothing_left(scratch)


def case_sigint_live(demo_path, scratch):
    text = stop(demo_path, scratch, signal.SIGINT, terminal=True)
    check(re.search(r"the libraries' own lines go to \S+/panel\.log", text), "the live view was not shown")
    check_nothing_left(scratch)


def case_sigterm_silent(demo_path, scratch):
    if not shutil.which("socat"):
        print("socat is not installed: the demo has no serial device to silence")
        return
    text = stop(demo_path, scratch, signal.SIGTERM, ["--keep-log"], duration=10,
                when=r"the dosing unit goes silent")
    check("dosing unit silent for" in text and "still silent at the end" in text,
          "the summary does not tell of the silence that was under way")
    folder = re.search(r"summary: files kept in (\S+)", text).group(1)
    with open(os.path.join(folder, "dosing.log")) as f:
        log = f.read()
    # Killed after the grace period, it would have said nothing.
    check("stopping on SIGTERM" in log, "the stopped simulator was not ended by SIGTERM: %r" % log[-200:])
    shutil.rmtree(folder)
    check_nothing_left(scratch)


def case_usage(demo_path, scratch):
    env = dict(os.environ, TMPDIR=scratch)
    for args, expected in ((["--duration", "1"], r"^tvk-demo-panel: --duration"),
                           (["--no-such-option"], r"^tvk-demo-panel: .*--no-such-option"),
                           (["--durationn", "3"], r"^did you mean --duration instead of --durationn\?$"),
                           (["--script", os.path.join(scratch, "missing.json")],
                            r"^tvk-demo-panel: script \S+missing\.json not found$")):
        run = subprocess.run([demo_path] + args, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                             text=True, timeout=EXIT_TIMEOUT_S)
        print("%s -> %d: %s" % (" ".join(args), run.returncode, run.stderr.strip()))
        check(run.returncode == 2, "%s: exit status %d, not 2" % (" ".join(args), run.returncode))
        check(re.search(expected, run.stderr, re.M), "%s: unexpected message %r" % (" ".join(args), run.stderr))
        check("NOT valid" not in run.stdout, "%s: called the script not valid" % " ".join(args))
    check(not os.listdir(scratch), "bad usage left files behind")


CASES = {"sigterm": case_sigterm, "keep-log": case_keep_log, "sigint-live": case_sigint_live,
         "sigterm-silent": case_sigterm_silent, "usage": case_usage}


def main():
    if len(sys.argv) != 3 or sys.argv[2] not in CASES:
        print(__doc__)
        return 2
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        print("cannot become the reaper of orphans: %s" % os.strerror(ctypes.get_errno()))
        return 1
    scratch = tempfile.mkdtemp(prefix="tvk-demo-stop-")
    try:
        CASES[sys.argv[2]](os.path.abspath(sys.argv[1]), scratch)
    except Failure as failure:
        print("demo stop check: %s" % failure)
        return 1
    finally:
        end_orphans()
        shutil.rmtree(scratch, ignore_errors=True)
    print("demo stop check: ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
