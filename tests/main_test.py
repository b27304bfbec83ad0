#!/usr/bin/env python3
"""Whole runs of the built tool: typed at on a terminal as a user would, and
fed from a pipe or from the end of input; the Windows exe under wine, typed at
through its console. Usage: main_test.py path/to/div100
                     main_test.py --wine WINE --driver win32_driver.exe div100.exe"""

import argparse
import os
import pty
import re
import select
import shlex
import signal
import subprocess
import sys
import tempfile
import termios
import time
import unittest

TOOL = WINE = DRIVER = None
COUNT_LINES = re.compile(rb"\A[0-9]+ cycles, div\r\n[0-9]+ cycles, magic number\r\n")
RANGE_PROMPT = b"Press any key to test range..."
EXIT_PROMPT = b"Press any key to exit..."
AFTER_COUNTS = (RANGE_PROMPT + b"\r\n"
                + b"".join(b"%d\r\n" % n for n in range(4294001000, 4294967001, 1000))
                + b"mismatch at 4294967295\r\n" + EXIT_PROMPT + b"\r\n")
LFLAG = 3


class TranscriptCase(unittest.TestCase):
    def assert_transcript(self, out):
        counts = COUNT_LINES.match(out)
        self.assertIsNotNone(counts, out[:80])
        self.assertEqual(out[counts.end():], AFTER_COUNTS)


class Job:
    """The tool as the foreground job of a terminal session, started the way a
    job-control shell starts it: a session leader on a fresh pseudo-terminal
    (a forked helper) runs it in a process group of its own and gives that
    group the terminal. Its standard output is a pipe, so the bytes are exact;
    anything that shows on the terminal is echo."""

    def __init__(self):
        out_r, out_w = os.pipe()
        status_r, status_w = os.pipe()
        go_r, go_w = os.pipe()
        pid, self.master = pty.fork()
        if pid == 0:
            self._shell(out_w, status_w, go_r)
        for fd in (out_w, status_w, go_r):
            os.close(fd)
        self.out_fd, self.status_fd, self.go_fd = out_r, status_r, go_w
        self.helper = pid
        self.out = b""
        self.modes_before = termios.tcgetattr(self.master)
        os.write(self.go_fd, b"g")

    @staticmethod
    def _shell(out_w, status_w, go_r):
        try:
            os.read(go_r, 1)
            signal.signal(signal.SIGTTOU, signal.SIG_IGN)
            child = os.fork()
            if child == 0:
                os.setpgid(0, 0)
                os.tcsetpgrp(0, os.getpid())
                signal.signal(signal.SIGTTOU, signal.SIG_DFL)
                os.dup2(out_w, 1)
                os.execv(TOOL, [TOOL])
            os.setpgid(child, child)
            os.tcsetpgrp(0, child)
            while True:
                _, status = os.waitpid(child, os.WUNTRACED)
                os.write(status_w, b"%d\n" % status)
                if not os.WIFSTOPPED(status):
                    os._exit(0)
                os.read(go_r, 1)  # continue when told to
                os.tcsetpgrp(0, child)
                os.kill(child, signal.SIGCONT)
        finally:
            os._exit(1)

    def modes(self):
        return termios.tcgetattr(self.master)

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
        os.write(self.master, keys)

    def read_until(self, text, timeout=30):
        deadline = time.monotonic() + timeout
        while text not in self.out:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.out_fd], [], [], left)[0]:
                raise AssertionError("no %r in %r" % (text, self.out[-200:]))
            chunk = os.read(self.out_fd, 65536)
            if not chunk:
                raise AssertionError("output ended before %r" % text)
            self.out += chunk

    def still_waiting(self, seconds=0.5):
        """True when nothing more is printed for a while."""
        if select.select([self.out_fd], [], [], seconds)[0]:
            return False
        return True

    def status(self, timeout=30):
        if not select.select([self.status_fd], [], [], timeout)[0]:
            raise AssertionError("the tool did not stop or end")
        line = b""
        while not line.endswith(b"\n"):
            line += os.read(self.status_fd, 1)
        return int(line)

    def resume(self):
        os.write(self.go_fd, b"c")

    def finish(self):
        """The rest of the output, and what showed on the terminal."""
        while True:
            chunk = os.read(self.out_fd, 65536)
            if not chunk:
                break
            self.out += chunk
        echo = b""
        while select.select([self.master], [], [], 0.1)[0]:
            try:
                chunk = os.read(self.master, 1024)
            except OSError:
                break
            if not chunk:
                break
            echo += chunk
        os.waitpid(self.helper, 0)
        return echo

    def close(self):
        for fd in (self.out_fd, self.status_fd, self.go_fd, self.master):
            os.close(fd)


class OnATerminal(TranscriptCase):
    def setUp(self):
        self.job = Job()
        self.addCleanup(self.job.close)
        self.job.await_true(self.job.in_key_mode, "key mode")

    def test_a_whole_run_answers_only_fresh_keys_and_echoes_nothing(self):
        job = self.job
        job.type(b"x")  # during the start delay: must not answer the range prompt
        job.read_until(RANGE_PROMPT)
        self.assertTrue(job.still_waiting(), "the range prompt took a key typed before it")
        job.type(b"\r")
        job.read_until(b"4294001000\r\n")
        job.type(b"y")  # during the range check: must not answer the exit prompt
        job.read_until(EXIT_PROMPT)
        self.assertTrue(job.still_waiting(), "the exit prompt took a key typed before it")
        self.assertTrue(job.in_key_mode())
        job.type(b"z")
        status = job.status()
        echo = job.finish()
        self.assertTrue(os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status)
        self.assert_transcript(job.out)
        self.assertEqual(echo, b"")
        self.assertEqual(job.modes(), job.modes_before)

    def test_an_interrupt_puts_the_terminal_back_and_ends_the_process_by_the_signal(self):
        self.job.type(b"\x03")
        status = self.job.status()
        self.assertTrue(os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGINT, status)
        self.assertEqual(self.job.modes(), self.job.modes_before)
        self.job.finish()

    def test_a_suspended_run_gives_the_terminal_back_and_takes_key_mode_on_resuming(self):
        job = self.job
        job.type(b"\x1a")
        status = job.status()
        self.assertTrue(os.WIFSTOPPED(status) and os.WSTOPSIG(status) == signal.SIGTSTP, status)
        self.assertEqual(job.modes(), job.modes_before)
        job.resume()
        job.await_true(job.in_key_mode, "key mode after resuming")
        job.read_until(RANGE_PROMPT)
        job.type(b"\x1c")  # quit
        status = job.status()
        self.assertTrue(os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGQUIT, status)
        self.assertEqual(job.modes(), job.modes_before)
        job.finish()


class WithoutATerminal(TranscriptCase):
    def run_tool(self, shell_input):
        run = subprocess.run(["/bin/sh", "-c", 'exec "$0" ' + shell_input, TOOL],
                             stdout=subprocess.PIPE, timeout=60)
        self.assertEqual(run.returncode, 0)
        self.assert_transcript(run.stdout)

    def test_at_end_of_input_each_key_wait_ends_at_once(self):
        self.run_tool("</dev/null")

    def test_with_standard_input_closed_the_run_still_ends(self):
        self.run_tool("<&-")

    def test_a_pipe_answers_each_prompt_with_one_byte(self):
        tool = subprocess.Popen([TOOL], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        tool.stdin.write(b"ab")
        tool.stdin.flush()  # and kept open: only the two bytes can answer
        out = tool.stdout.read()
        self.assertEqual(tool.wait(timeout=60), 0)
        tool.stdin.close()
        tool.stdout.close()
        self.assert_transcript(out)

    def test_a_reader_that_goes_away_does_not_end_the_run_early(self):
        tool = subprocess.Popen([TOOL], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        self.assertRegex(tool.stdout.readline(), rb"\A[0-9]+ cycles, div\r\n\Z")
        tool.stdout.close()  # every later write fails
        self.assertEqual(tool.wait(timeout=60), 0)


class OnAWindowsConsole(TranscriptCase):
    def drive(self, *options):
        """A run typed at by the driver. Wine gives a program a console only
        inside a terminal, hence script(1), whose input stays open so that
        the console never meets the end of input."""
        with tempfile.TemporaryDirectory() as folder:
            transcript = os.path.join(folder, "transcript")
            command = [WINE, DRIVER, *options, "Z:" + TOOL, "Z:" + transcript]
            with subprocess.Popen(["script", "-q", "-e", "-c", shlex.join(command), "/dev/null"],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE) as driver:
                said = re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", driver.stdout.read())
                self.assertEqual(driver.wait(), 0, said.decode(errors="replace"))
            with open(transcript, "rb") as printed:
                self.assert_transcript(printed.read())

    def test_a_whole_run_answers_only_fresh_keys(self):
        self.drive()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine")
    parser.add_argument("--driver")
    parser.add_argument("tool")
    args, rest = parser.parse_known_args()
    TOOL, WINE, DRIVER = os.path.abspath(args.tool), args.wine, args.driver
    cases = ["OnAWindowsConsole"] if WINE else ["OnATerminal", "WithoutATerminal"]
    unittest.main(argv=[sys.argv[0]] + (rest or cases), verbosity=2)
