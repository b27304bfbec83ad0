#!/usr/bin/env python3
"""Whole runs of the built tool: typed at on a terminal as a user would, and
fed from a pipe or from the end of input; the Windows exe under wine, typed at
through its console; and its arguments. Usage:
main_test.py --version X.Y.Z path/to/div100
main_test.py --wine WINE --driver win32_driver.exe --version X.Y.Z div100.exe"""

import argparse
import ctypes
import os
import pty
import re
import resource
import select
import shlex
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unittest

TOOL = WINE = DRIVER = VERSION = None
COUNT_LINES = re.compile(rb"\A[0-9]+ cycles, div\r\n[0-9]+ cycles, magic number\r\n")
# Where the machine cannot resolve the counts: why, and the figures measured
# without CPUID. Expected where /proc/cpuinfo names a hypervisor; under wine,
# whose processor may be emulated, only checked where it shows.
DOUBT_LINES = re.compile(
    rb"Counts unresolved: (?:CPUID traps to a hypervisor(?:, counter step [0-9]+ ticks)?"
    rb"|counter step [0-9]+ ticks)\r\n"
    rb"(?:Latency in core cycles, no CPUID: [0-9]+\.[0-9] div, [0-9]+\.[0-9] magic number\r\n)?"
    rb"|x86 code is emulated here: no count or figure measures an x86 core\r\n")
MAX_LINE = 79
RANGE_PROMPT = b"Press any key to test range..."
EXIT_PROMPT = b"Press any key to exit..."
AFTER_COUNTS = (RANGE_PROMPT + b"\r\n"
                + b"".join(b"%d\r\n" % n for n in range(4294001000, 4294967001, 1000))
                + b"mismatch at 4294967295\r\n" + EXIT_PROMPT + b"\r\n")
LFLAG = 3
IFLAG = 0
CC = 6
PR_SET_CHILD_SUBREAPER = 36


def read_to_end(fd, what, timeout=60):
    """Everything until the end of fd, within timeout seconds."""
    deadline = time.monotonic() + timeout
    out = b""
    while True:
        if not select.select([fd], [], [], max(0, deadline - time.monotonic()))[0]:
            raise AssertionError("timed out waiting for the end of " + what)
        chunk = os.read(fd, 65536)
        if not chunk:
            return out
        out += chunk


def read_until(fd, out, text, timeout=30):
    """out and what fd gives until text is in it, within timeout seconds."""
    deadline = time.monotonic() + timeout
    while text not in out:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            raise AssertionError("no %r in %r" % (text, out[-200:]))
        chunk = os.read(fd, 65536)
        if not chunk:
            raise AssertionError("output ended before %r" % text)
        out += chunk
    return out


def hypervisor_present():
    with open("/proc/cpuinfo") as info:
        return any(line.startswith("flags") and " hypervisor" in line for line in info)


def i386_under_qemu():
    """Whether the exe is a 32-bit one and i386 programs (wine's 32-bit side)
    run under qemu's translator here: scripts/test's binfmt_misc entry, which
    comes before the kernel's own loader."""
    with open(TOOL, "rb") as exe:
        header = exe.read(4096)
    (pe,) = struct.unpack_from("<I", header, 0x3C)
    if struct.unpack_from("<H", header, pe + 4)[0] != 0x14C:  # IMAGE_FILE_MACHINE_I386
        return False
    try:
        with open("/proc/sys/fs/binfmt_misc/qemu-i386") as entry:
            return entry.readline().strip() == "enabled"
    except OSError:
        return False


class TranscriptCase(unittest.TestCase):
    def assert_transcript(self, out, prefix=False):
        counts = COUNT_LINES.match(out)
        self.assertIsNotNone(counts, out[:80])
        doubt = DOUBT_LINES.match(out, counts.end())
        if WINE is None:
            self.assertEqual(doubt is not None, hypervisor_present(), out[:300])
            if doubt and not doubt.group(0).startswith(b"x86"):
                self.assertIn(b"CPUID traps to a hypervisor", doubt.group(0))
                self.assertIn(b"Latency in core cycles", doubt.group(0))
        elif i386_under_qemu():  # wine's 32-bit side translated by qemu
            self.assertTrue(doubt and doubt.group(0).startswith(b"x86 code is emulated"), out[:300])
        if doubt:
            lines = doubt.group(0).split(b"\r\n")[:-1]
            self.assertTrue(all(len(line) <= MAX_LINE for line in lines), lines)
        rest = out[doubt.end() if doubt else counts.end():]
        self.assertEqual(rest, AFTER_COUNTS[:len(rest)] if prefix else AFTER_COUNTS)

    def answer_only_fresh_keys(self, run):
        """The scenario of a whole run, up to the exit prompt, on a terminal
        or at a Windows console: keys typed before each prompt are
        discarded, and each prompt waits for a new key."""
        run.type(b"wx")  # during the start delay: must not answer the range prompt
        run.read_until(RANGE_PROMPT)
        self.assertTrue(run.still_waiting(), "the range prompt took a key typed before it")
        run.type(b"\r")
        run.read_until(b"4294001000\r\n")
        run.type(b"yy")  # during the range check: must not answer the exit prompt
        run.read_until(EXIT_PROMPT)
        self.assertTrue(run.still_waiting(), "the exit prompt took a key typed before it")


class Arguments(unittest.TestCase):
    """--help and --version answer at once, without measuring or waiting;
    anything else is refused, having done nothing."""

    def run_with(self, *arguments):
        command = ([WINE, TOOL] if WINE else [TOOL]) + list(arguments)
        return subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, timeout=90)

    def test_help_and_version_answer_and_exit_0(self):
        help_names = ["-h", "--help"] + (["/?"] if WINE else [])
        for argument in help_names + ["-V", "--version"]:
            with self.subTest(argument=argument):
                run = self.run_with(argument)
                self.assertEqual((run.returncode, run.stderr), (0, b""))
                if argument in help_names:
                    self.assertTrue(run.stdout.startswith(b"Usage: div100 [--help | --version]\r\n"))
                    self.assertTrue(run.stdout.endswith(b"\r\n2 for an unknown argument.\r\n"))
                else:
                    self.assertEqual(run.stdout, b"div100 %s\r\n" % VERSION.encode())

    def test_of_help_and_version_together_the_first_answers(self):
        for arguments, answer in ((["--version", "--help"], "--version"),
                                  (["-h", "-V"], "--help")):
            with self.subTest(arguments=arguments):
                self.assertEqual(self.run_with(*arguments).stdout, self.run_with(answer).stdout)

    def test_an_unknown_argument_is_named_with_the_usage_and_exits_2(self):
        usage = self.run_with("--help").stdout
        for arguments in (["--bogus"], ["--help", "x"]) + (() if WINE else (["/?"],)):
            with self.subTest(arguments=arguments):
                run = self.run_with(*arguments)
                self.assertEqual((run.returncode, run.stdout), (2, b""))
                self.assertEqual(run.stderr, b"div100: unknown argument: %s\r\n%s"
                                 % (arguments[-1].encode(), usage))


    def test_an_argument_outside_ascii_is_shown_as_typed(self):
        """On Linux cut at 200 bytes on a character's first byte; on Windows
        at a console (wine's, on a terminal) in the console's characters."""
        if not WINE:
            run = self.run_with("x" + "é" * 150)
            line = run.stderr.split(b"\r\n")[0]
            self.assertEqual(line.decode(), "div100: unknown argument: x" + "é" * 99)
            return
        pid, terminal = pty.fork()
        if pid == 0:
            os.execvp(WINE, [WINE, TOOL, "ünïcödé"])
        self.addCleanup(os.close, terminal)
        shown = b""
        while b"Usage" not in shown:  # what the terminal shows, its control sequences left out
            self.assertTrue(select.select([terminal], [], [], 60)[0], "no line in %r" % shown)
            shown += os.read(terminal, 4096)
        self.assertEqual(os.waitpid(pid, 0)[1] >> 8, 2)
        shown = re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", shown)
        self.assertIn("div100: unknown argument: ünïcödé\r".encode(), shown)


class Job:
    """The tool as a job of a terminal session, run the way a job-control shell
    runs it: a session leader on a fresh pseudo-terminal (a forked helper)
    starts it in a process group of its own, in the foreground or in the
    background, takes the terminal back when it stops or ends, and on command
    brings it to the foreground ("f", with SIGCONT only if it is stopped, as
    bash does) or continues it in the background ("b"). With
    leader, the tool itself leads the session, as under ssh or setsid; with
    other_input, its standard input is a second terminal; with through, it is
    started through that command (strace -D, which keeps the tool's pid). Its
    standard output is a pipe, so the bytes are exact; anything that shows on
    the terminal is echo."""

    def __init__(self, background=False, leader=False, other_input=False, through=(),
                 terminal_output=False):
        out_r, out_w = os.pipe()
        status_r, status_w = os.pipe()
        go_r, go_w = os.pipe()
        self.input_master = None
        # A fresh terminal's modes, read before the tool can change them.
        scratch, scratch_slave = pty.openpty()
        self.modes_before = termios.tcgetattr(scratch)
        os.close(scratch)
        os.close(scratch_slave)
        if other_input:
            self.input_master, input_slave = pty.openpty()
        pid, self.master = pty.fork()
        if pid == 0:
            resource.setrlimit(resource.RLIMIT_CORE, (0, 0))  # the synchronous signals dump none
            if other_input:
                os.dup2(input_slave, 0)
            if not terminal_output:
                os.dup2(out_w, 1)
            command = [*through, TOOL]
            signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # as a shell leaves it
            if leader:
                os.execvp(command[0], command)
            self._shell(status_w, go_r, background, command)
        for fd in (out_w, status_w, go_r) + ((input_slave,) if other_input else ()):
            os.close(fd)
        if terminal_output:  # what the terminal shows, key mode echoing nothing
            os.close(out_r)
            out_r = os.dup(self.master)
        self.out_fd, self.status_fd, self.go_fd = out_r, status_r, go_w
        self.console = self.input_master or self.master
        self.pid = pid if leader else int(self._line("the pid of the job"))
        self.helper = None if leader else pid
        self.out = b""

    @staticmethod
    def _shell(status_w, go_r, background, command):
        try:
            signal.signal(signal.SIGTTOU, signal.SIG_IGN)
            child = os.fork()
            if child == 0:
                os.setpgid(0, 0)
                if not background:
                    os.tcsetpgrp(2, os.getpid())
                signal.signal(signal.SIGTTOU, signal.SIG_DFL)
                os.execvp(command[0], command)
            try:
                os.setpgid(child, child)
            except PermissionError:  # EACCES: it has run the tool already, in its own group
                pass
            if not background:
                os.tcsetpgrp(2, child)
            os.write(status_w, b"%d\n" % child)
            os.dup2(os.open(os.devnull, os.O_WRONLY), 1)  # the output pipe is the tool's alone
            ended = stopped = False
            while True:
                if select.select([go_r], [], [], 0.01)[0]:
                    command = os.read(go_r, 1)
                    if command == b"l":  # what a shell would read next: one line
                        os.write(status_w, os.read(2, 100).hex().encode() + b"\n")
                        os._exit(0)
                    if command == b"f":
                        os.tcsetpgrp(2, child)
                    if command == b"b" or stopped:  # bash continues only a stopped job
                        os.kill(child, signal.SIGCONT)
                        stopped = False
                if not ended:
                    pid, status = os.waitpid(child, os.WUNTRACED | os.WNOHANG)
                    if pid:
                        os.tcsetpgrp(2, os.getpgrp())  # the shell takes the terminal back
                        os.write(status_w, b"%d\n" % status)
                        stopped = os.WIFSTOPPED(status)
                        ended = not stopped
        finally:
            os._exit(1)

    def _line(self, what, timeout=30):
        """The helper shell's next line, saying what: every wait has a
        deadline, and a helper gone before its line has ended is a failure."""
        deadline = time.monotonic() + timeout
        line = b""
        while not line.endswith(b"\n"):
            if not select.select([self.status_fd], [], [], max(0, deadline - time.monotonic()))[0]:
                raise AssertionError("timed out waiting for " + what)
            byte = os.read(self.status_fd, 1)
            if not byte:
                raise AssertionError("the job's shell ended before " + what)
            line += byte
        return line

    def modes(self):
        return termios.tcgetattr(self.console)

    def in_key_mode(self):
        lflag = self.modes()[LFLAG]
        return not lflag & (termios.ICANON | termios.ECHO)

    def await_true(self, condition, what, timeout=10):
        deadline = time.monotonic() + timeout
        while not condition():
            if time.monotonic() > deadline:
                raise AssertionError("timed out waiting for " + what)
            time.sleep(0.01)

    def type(self, keys):
        os.write(self.console, keys)

    def read_until(self, text, timeout=30):
        self.out = read_until(self.out_fd, self.out, text, timeout)

    def still_waiting(self, seconds=0.5):
        """True when nothing more is printed for a while."""
        return not select.select([self.out_fd], [], [], seconds)[0]

    def take(self):
        """The output so far, without waiting for more."""
        while select.select([self.out_fd], [], [], 0)[0]:
            chunk = os.read(self.out_fd, 65536)
            if not chunk:
                break
            self.out += chunk
        return self.out

    def status(self, what, timeout=30):
        if self.helper is None or self.status_fd is None:
            deadline = time.monotonic() + timeout
            while time.monotonic() < deadline:
                try:
                    pid, status = os.waitpid(self.pid, os.WUNTRACED | os.WNOHANG)
                except ChildProcessError:  # not yet left to us by its shell
                    pid = 0
                if pid:
                    return status
                time.sleep(0.01)
            raise AssertionError("timed out waiting for " + what)
        return int(self._line(what, timeout))

    def go(self, command):
        os.write(self.go_fd, command)

    def fg(self):
        """fg, and key mode back."""
        self.go(b"f")
        self.await_true(self.in_key_mode, "key mode after fg")

    def left_for_the_shell(self):
        """What the shell reads next from the terminal, after an Enter."""
        self.type(b"\r")
        self.go(b"l")
        return bytes.fromhex(self._line("what the shell read").decode())

    def finish(self, timeout=30):
        """The rest of the output, and what showed on the terminal."""
        self.out += read_to_end(self.out_fd, "the output", timeout)
        echo = b""
        while self.master is not None and select.select([self.master], [], [], 0.1)[0]:
            try:
                chunk = os.read(self.master, 1024)
            except OSError:
                break
            if not chunk:
                break
            echo += chunk
        return echo

    def hang_up(self):
        """Closes the terminal, as closing its window does: the helper shell,
        its session leader, dies of the hang-up; the tool, a job in the
        background, is left running."""
        os.close(self.master)
        os.close(self.status_fd)
        self.master = self.status_fd = None

    def close(self):
        for pid in (self.pid, self.helper):
            try:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
            except (ProcessLookupError, ChildProcessError, TypeError):
                pass
        for fd in (self.out_fd, self.status_fd, self.go_fd, self.master, self.input_master):
            if fd is not None:
                os.close(fd)
        self.out_fd = self.status_fd = self.go_fd = self.master = self.input_master = None


class OnATerminal(TranscriptCase):
    def start(self, key_mode=True, **how):
        job = Job(**how)
        self.addCleanup(job.close)
        if key_mode:
            job.await_true(job.in_key_mode, "key mode")
        return job

    def assert_ended_by(self, job, sig):
        status = job.status("the end by %s" % signal.Signals(sig).name)
        self.assertTrue(os.WIFSIGNALED(status) and os.WTERMSIG(status) == sig, status)
        self.assertEqual(job.modes(), job.modes_before)

    def assert_exited(self, job, code=0):
        status = job.status("the exit")
        self.assertTrue(os.WIFEXITED(status) and os.WEXITSTATUS(status) == code, status)

    def assert_stopped_by(self, job, sig):
        status = job.status("the stop by %s" % signal.Signals(sig).name)
        self.assertTrue(os.WIFSTOPPED(status) and os.WSTOPSIG(status) == sig, status)
        self.assertEqual(job.modes(), job.modes_before)

    def test_a_whole_run_answers_only_fresh_keys_and_echoes_nothing(self):
        job = self.start()
        self.answer_only_fresh_keys(job)
        self.assertTrue(job.in_key_mode())
        job.type(b"\x1b[A")  # Up: its first byte answers, the rest goes nowhere
        self.assert_exited(job)
        self.assertEqual(job.modes(), job.modes_before)
        self.assertEqual(job.left_for_the_shell(), b"\n")
        self.assertEqual(job.finish(), b"\r\n", "echo: only the shell's Enter")
        self.assert_transcript(job.out)

    def test_every_signal_that_ends_the_process_puts_the_terminal_back_first(self):
        for key, sig in [(b"\x03", signal.SIGINT), (b"\x1c", signal.SIGQUIT)] + [
                (None, s) for s in (signal.SIGTERM, signal.SIGHUP, signal.SIGUSR1, signal.SIGUSR2,
                                    signal.SIGALRM, signal.SIGVTALRM, signal.SIGPROF,
                                    signal.SIGXCPU, signal.SIGABRT, signal.SIGRTMIN,
                                    signal.SIGPIPE, signal.SIGILL, signal.SIGTRAP, signal.SIGBUS,
                                    signal.SIGFPE, signal.SIGSEGV, signal.SIGSYS, signal.SIGIO)]:
            with self.subTest(signal=sig):
                job = self.start()
                if key:
                    job.type(key)
                else:
                    os.kill(job.pid, sig)
                self.assert_ended_by(job, sig)

    def test_a_stopped_or_background_run_comes_back_to_key_mode_and_dies_by_a_signal(self):
        job = self.start()
        job.type(b"\x1a")
        self.assert_stopped_by(job, signal.SIGTSTP)
        job.go(b"b")  # bg: it runs on without the terminal
        job.read_until(RANGE_PROMPT)
        self.assertEqual(job.modes(), job.modes_before)
        os.kill(job.pid, signal.SIGTSTP)
        self.assert_stopped_by(job, signal.SIGTSTP)
        job.fg()
        job.type(b"k")
        job.read_until(RANGE_PROMPT + b"\r\n")
        self.assertEqual(job.out.count(RANGE_PROMPT), 1, "a pipe's transcript changed")
        job.type(b"\x1a")
        self.assert_stopped_by(job, signal.SIGTSTP)
        os.kill(job.pid, signal.SIGTERM)  # kill %1, as bash does it
        os.kill(job.pid, signal.SIGCONT)
        self.assert_ended_by(job, signal.SIGTERM)

    def test_a_prompt_on_the_terminal_shows_again_after_fg(self):
        job = self.start(terminal_output=True)
        job.read_until(RANGE_PROMPT)
        job.type(b"\x1a")
        self.assert_stopped_by(job, signal.SIGTSTP)
        job.out = b""
        job.go(b"f")
        job.read_until(b"\r\n" + RANGE_PROMPT)
        self.assertTrue(job.still_waiting(), "shown more than once")
        job.type(b"k")
        job.read_until(b"4294001000")

    def test_a_continue_without_a_stop_writes_the_prompt_no_more_than_once(self):
        job = self.start(terminal_output=True)
        job.read_until(RANGE_PROMPT)
        for _ in range(3):
            os.kill(job.pid, signal.SIGCONT)
        self.assertTrue(job.still_waiting(), "the prompt written again")
        job.type(b"k")
        job.read_until(b"4294001000")
        self.assertEqual(job.out.count(RANGE_PROMPT), 1)

    def test_two_runs_on_one_terminal_keep_key_mode_for_each_other_and_give_it_back(self):
        """`div100 </dev/tty & div100; wait`: both in one process group, the
        second finds the terminal in the first's key mode; whichever ends
        first, the other still takes a key without Enter, and the terminal
        is left as it was found."""
        other = os.path.join(tempfile.mkdtemp(), "other")
        self.addCleanup(shutil.rmtree, os.path.dirname(other))
        job = self.start(through=["sh", "-c", '"$0" </dev/tty >"%s" & "$0"; wait' % other])

        def outputs():
            with open(other, "rb") as written:
                return [job.take(), written.read()]

        for prompt in (RANGE_PROMPT, EXIT_PROMPT):
            job.await_true(lambda: all(prompt in out for out in outputs()), "both at %r" % prompt, 60)
            for answered, key in enumerate((b"a", b"b"), 1):
                job.await_true(job.in_key_mode, "key mode before %r" % key)
                job.type(key)
                job.await_true(lambda: sum(prompt + b"\r\n" in out for out in outputs()) == answered,
                               "%d runs past %r" % (answered, prompt))
        self.assert_exited(job)
        self.assertEqual(job.modes(), job.modes_before)
        self.assertEqual(job.left_for_the_shell(), b"\n")
        self.assertEqual(job.finish(), b"\r\n", "echo: only the shell's Enter")
        for out in outputs():
            self.assert_transcript(out)

    def test_a_terminal_that_cannot_be_polled_ends_each_prompt_and_says_why(self):
        job = self.start(key_mode=False, through=["sh", "-c", 'ulimit -n 0 && exec "$0"'])
        self.assert_exited(job)
        job.left_for_the_shell()
        self.assertIn(b"div100: no key can come: the terminal cannot be polled (Invalid argument)",
                      job.finish())
        self.assert_transcript(job.out)

    def test_a_run_started_in_the_background_takes_key_mode_in_the_foreground(self):
        job = self.start(key_mode=False, background=True)
        job.read_until(RANGE_PROMPT)
        self.assertEqual(job.modes(), job.modes_before)
        job.fg()
        job.type(b"k")
        job.read_until(RANGE_PROMPT + b"\r\n")
        os.kill(job.pid, signal.SIGHUP)
        self.assert_ended_by(job, signal.SIGHUP)

    def test_a_run_in_the_background_leaves_a_line_typed_at_the_shell_alone(self):
        job = self.start(key_mode=False, background=True)
        job.read_until(RANGE_PROMPT)
        job.type(b"ls\r")
        self.assertFalse(select.select([job.status_fd], [], [], 1)[0], "it stopped or ended")
        self.assertEqual(job.left_for_the_shell(), b"ls\n")

    def test_a_stop_that_does_not_happen_leaves_key_mode_on(self):
        for how in [dict(leader=True), dict(other_input=True)]:
            with self.subTest(**how):
                job = self.start(**how)
                os.write(job.master, b"\x1a")
                if how.get("other_input"):
                    self.assert_stopped_by(job, signal.SIGTSTP)
                    job.go(b"f")
                else:
                    time.sleep(0.5)  # the stop's handler has run: key mode is back at once,
                job.await_true(job.in_key_mode, "key mode after ^Z", timeout=2)  # not at a prompt
                self.assertTrue(job.still_waiting(0), "key mode came back only with the counts")
                job.read_until(RANGE_PROMPT)
                job.type(b"k")
                job.read_until(b"4294001000\r\n")
                os.kill(job.pid, signal.SIGTERM)
                self.assert_ended_by(job, signal.SIGTERM)

    def test_a_burst_of_one_fatal_signal_gives_the_terminal_back_first(self):
        for trial in range(30):
            sig = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)[trial % 3]
            with self.subTest(trial=trial):
                job = self.start(leader=True)
                burst = subprocess.Popen(["sh", "-c", 'while kill -%d "$0"; do :; done' % sig,
                                          str(job.pid)], stderr=subprocess.DEVNULL)
                self.assert_ended_by(job, sig)  # the kills stop once it is reaped
                burst.wait(timeout=30)
                job.close()

    def test_ttin_and_ttou_stop_it_with_the_terminal_given_back(self):
        for sig in (signal.SIGTTIN, signal.SIGTTOU):
            with self.subTest(signal=sig):
                job = self.start()
                os.kill(job.pid, sig)
                self.assert_stopped_by(job, sig)
                job.fg()
                os.kill(job.pid, signal.SIGTERM)
                self.assert_ended_by(job, signal.SIGTERM)

    def test_modes_set_while_it_is_stopped_are_the_ones_given_back(self):
        job = self.start()
        job.type(b"\x1a")
        self.assert_stopped_by(job, signal.SIGTSTP)
        changed = job.modes()
        changed[IFLAG] &= ~termios.IXON  # stty -ixon
        changed[CC][termios.VINTR] = b"\x07"  # stty intr ^G
        termios.tcsetattr(job.console, termios.TCSANOW, changed)
        job.modes_before = job.modes()
        job.fg()
        os.kill(job.pid, signal.SIGTERM)
        self.assert_ended_by(job, signal.SIGTERM)

    def test_a_hung_up_terminal_ends_each_key_wait(self):
        job = self.start(key_mode=False, background=True)
        job.read_until(RANGE_PROMPT)
        job.hang_up()
        self.assert_exited(job)
        job.finish()
        self.assert_transcript(job.out)

    def test_every_key_typed_once_its_prompt_shows_counts_and_the_last_give_back_stands(self):
        """Every ioctl is held 0.1 s on its way in and 0.2 s on its way out: a
        discard that came after its prompt would take the key typed at the
        prompt, and a SIGCONT handled between the final restore of the modes
        and its record would take key mode again for good."""
        job = self.start(leader=True, through=[
            "strace", "-D", "-o", "/dev/null", "-e",
            "inject=ioctl:delay_enter=100000:delay_exit=200000"])
        for prompt in (RANGE_PROMPT, EXIT_PROMPT):
            job.read_until(prompt)
            job.type(b"k")
        job.await_true(lambda: not job.in_key_mode(), "the modes given back")
        os.kill(job.pid, signal.SIGCONT)  # while the restore is on its way out
        self.assert_exited(job)
        self.assertEqual(job.modes(), job.modes_before)
        job.finish()
        self.assert_transcript(job.out)


class WithoutATerminal(TranscriptCase):
    def run_tool(self, shell_input):
        run = subprocess.run(["/bin/sh", "-c", 'exec "$0" ' + shell_input, TOOL],
                             stdout=subprocess.PIPE, timeout=60)
        self.assertEqual(run.returncode, 0)
        self.assert_transcript(run.stdout)

    def test_at_end_of_input_each_key_wait_ends_at_once(self):
        self.run_tool("</dev/null")

    def test_with_standard_input_closed_or_unreadable_the_run_still_ends(self):
        self.run_tool("<&-")
        self.run_tool("0>&1")  # the write end of the output pipe
        self.run_tool("</")

    def assert_output_lost(self, run, reason):
        self.assertEqual((run.returncode, run.stderr),
                         (1, b"div100: cannot write the output: " + reason + b"\r\n"))

    def test_output_that_cannot_be_written_ends_the_run_with_status_1_and_why(self):
        for redirect, reason in [(">/dev/full", b"No space left on device"),
                                 (">&-", b"Bad file descriptor")]:
            run = subprocess.run(["/bin/sh", "-c", 'exec "$0" </dev/null ' + redirect, TOOL],
                                 stderr=subprocess.PIPE, timeout=60)
            self.assert_output_lost(run, reason)
        with tempfile.TemporaryFile() as out:
            limit = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
            run = subprocess.run([TOOL], stdin=subprocess.DEVNULL, stdout=out,
                                 stderr=subprocess.PIPE, preexec_fn=limit, timeout=60)
            self.assert_output_lost(run, b"File too large")
            out.seek(0)
            written = out.read()
        self.assertEqual(len(written), 4096)
        self.assert_transcript(written, prefix=True)

    def test_a_pipe_answers_each_prompt_with_one_byte(self):
        with subprocess.Popen([TOOL], stdin=subprocess.PIPE, stdout=subprocess.PIPE) as tool:
            tool.stdin.write(b"ab")
            tool.stdin.flush()  # and kept open: only the two bytes can answer
            out = read_to_end(tool.stdout.fileno(), "the output on two bytes")
            self.assertEqual(tool.wait(timeout=10), 0)
        self.assert_transcript(out)

    def test_a_reader_that_goes_away_ends_the_run_by_sigpipe(self):
        tool = subprocess.Popen([TOOL], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        self.addCleanup(tool.kill)
        self.assertTrue(select.select([tool.stdout], [], [], 60)[0], "no first line")
        self.assertRegex(tool.stdout.readline(), rb"\A[0-9]+ cycles, div\r\n\Z")
        tool.stdout.close()  # as head -1 does
        self.assertEqual(tool.wait(timeout=60), -signal.SIGPIPE)


class ConsoleRun:
    """The exe at a console of its own, as at a Windows console: the driver
    starts it in a console that wine gives a program only inside a terminal,
    hence script(1), whose input stays open so that the console never meets
    the end of input. The driver appends the tool's output to a transcript
    and types each byte appended to a keys file as a key."""

    def __init__(self, case, *options):
        folder = tempfile.TemporaryDirectory()
        case.addCleanup(folder.cleanup)
        self.transcript = os.path.join(folder.name, "transcript")
        self.keys = os.path.join(folder.name, "keys")
        open(self.keys, "wb").close()
        command = [WINE, DRIVER, *options, "Z:" + TOOL, "Z:" + self.transcript, "Z:" + self.keys]
        self.driver = subprocess.Popen(["script", "-q", "-e", "-c", shlex.join(command), "/dev/null"],
                                       stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        case.addCleanup(self.close)
        self.out = b""

    def type(self, keys):
        with open(self.keys, "ab") as typed:
            typed.write(keys)

    def take(self):
        if os.path.exists(self.transcript):
            with open(self.transcript, "rb") as printed:
                self.out = printed.read()

    def read_until(self, text, timeout=120):
        deadline = time.monotonic() + timeout
        while self.take() or text not in self.out:
            if time.monotonic() > deadline or self.driver.poll() is not None:
                raise AssertionError("no %r in %r" % (text, self.out[-200:]))
            time.sleep(0.05)

    def still_waiting(self, seconds=1.0):
        """True when nothing more is printed for a while and the tool runs on."""
        before = len(self.out)
        time.sleep(seconds)
        self.take()
        return len(self.out) == before and self.driver.poll() is None

    def exit_code(self):
        said = read_to_end(self.driver.stdout.fileno(), "the driver's run", 60)
        said = re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", said)
        self.driver.wait(timeout=10)
        self.take()
        code = re.search(rb"exit=(\d+)", said)
        if not code:
            raise AssertionError(said.decode(errors="replace"))
        return int(code.group(1))

    def close(self):
        if self.driver.poll() is None:
            self.driver.kill()
            self.driver.wait()
        self.driver.stdin.close()
        self.driver.stdout.close()


class OnAWindowsConsole(TranscriptCase):
    def whole_run(self, *options):
        run = ConsoleRun(self, *options)
        self.answer_only_fresh_keys(run)
        run.type(b"z")
        self.assertEqual(run.exit_code(), 0)
        self.assert_transcript(run.out)

    def test_a_whole_run_answers_only_fresh_keys(self):
        self.whole_run()

    def test_keys_come_from_the_console_with_standard_input_redirected(self):
        self.whole_run("--redirected")

    def from_a_terminal(self, stdin=None):
        """wine TOOL on a fresh pseudo-terminal, standard output a pipe (so
        the transcript is exact), standard input the terminal or stdin: the
        pipe's end and the terminal."""
        out_r, out_w = os.pipe()
        pid, terminal = pty.fork()
        if pid == 0:
            os.dup2(out_w, 1)
            if stdin:
                os.dup2(os.open(stdin, os.O_RDONLY), 0)
            os.execvp(WINE, [WINE, TOOL])
        os.close(out_w)
        self.addCleanup(os.close, out_r)
        self.addCleanup(os.close, terminal)
        self.addCleanup(subprocess.run, ["kill", "-9", str(pid)], stderr=subprocess.DEVNULL)
        return pid, out_r, terminal

    def test_started_from_a_terminal_it_takes_a_key_at_each_prompt_and_no_key_before(self):
        """wine's own console on a terminal, as a Linux user meets it: it
        takes input in only while a program waits on it, so a key typed
        during the start delay comes in only once the tool waits."""
        pid, out_r, terminal = self.from_a_terminal()
        out = read_until(out_r, b"", b"cycles, div", 90)
        os.write(terminal, b"x")
        out = read_until(out_r, out, RANGE_PROMPT, 90)
        self.assertFalse(select.select([out_r], [], [], 2)[0], "the range prompt took an early key")
        os.write(terminal, b"k")
        out = read_until(out_r, out, EXIT_PROMPT, 120)
        os.write(terminal, b"z")
        out += read_to_end(out_r, "the run", 30)
        self.assertEqual(os.waitpid(pid, 0)[1], 0)
        self.assert_transcript(out)

    def test_from_a_terminal_with_input_redirected_it_says_no_key_can_come_and_runs_through(self):
        """wine's console then takes its keys from standard input, not the
        terminal: no key typed can reach it."""
        pid, out_r, terminal = self.from_a_terminal(os.devnull)
        out = read_to_end(out_r, "the run", 120)
        self.assertEqual(os.waitpid(pid, 0)[1], 0)
        self.assert_transcript(out)
        shown = b""
        while select.select([terminal], [], [], 1)[0]:
            try:
                shown += os.read(terminal, 4096)
            except OSError:
                break
        self.assertIn(b"div100: no key can come: wine's console reads stdin, not the terminal\r",
                      shown)

    def test_with_no_console_each_key_wait_ends_at_once(self):
        run = subprocess.run(["setsid", WINE, TOOL], stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, timeout=90)
        self.assertEqual(run.returncode, 0)
        self.assert_transcript(run.stdout)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine")
    parser.add_argument("--driver")
    parser.add_argument("--version", required=True)
    parser.add_argument("tool")
    args, rest = parser.parse_known_args()
    TOOL, WINE, DRIVER, VERSION = os.path.abspath(args.tool), args.wine, args.driver, args.version
    # A tool left running by its shell (a hung-up terminal) is still ours to wait for.
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
    cases = ["Arguments"] + (["OnAWindowsConsole"] if WINE else ["OnATerminal", "WithoutATerminal"])
    unittest.main(argv=[sys.argv[0]] + (rest or cases), verbosity=2)
