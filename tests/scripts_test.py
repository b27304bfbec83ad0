#!/usr/bin/env python3
"""scripts/test's guard: in CI, a run that could not run the 32-bit exe fails.
The script runs against stand-ins for cmake, ctest, dpkg-query, id, apt-get and wine,
which do nothing but note how they were called, so it takes a second.
Usage: scripts_test.py path/to/scripts/test"""

import os
import subprocess
import sys
import tempfile
import unittest

SCRIPT = None


class TestScript(unittest.TestCase):
    def run_script(self, wine_runs):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        calls = os.path.join(folder.name, "calls")
        stand_ins = {
            "cmake": 'echo "cmake $*" >>%s' % calls,
            "ctest": 'echo "ctest $*" >>%s' % calls,
            "dpkg-query": "echo 'install ok installed'",  # every package is there
            "id": "echo 1000",  # not root: nothing is installed or set up
            "apt-get": "exit 1",  # and nothing fetched
            "wine": "exit %d" % (0 if wine_runs else 1),
        }
        for name, body in stand_ins.items():
            path = os.path.join(folder.name, name)
            with open(path, "w") as stand_in:
                stand_in.write("#!/bin/sh\n" + body + "\n")
            os.chmod(path, 0o755)
        env = dict(os.environ, CI="true", PATH=folder.name + os.pathsep + os.environ["PATH"])
        run = subprocess.run(["bash", SCRIPT], env=env, stdin=subprocess.DEVNULL,
                             capture_output=True, timeout=60)
        with open(calls) as made:
            return run, made.read().splitlines()

    def test_in_ci_a_run_without_the_32_bit_exe_fails(self):
        run, calls = self.run_script(wine_runs=False)
        self.assertEqual(run.returncode, 1, run.stderr)
        self.assertIn(b"CI must run the tests of the 32-bit exe", run.stderr)
        self.assertIn("ctest --preset win64", calls)

    def test_in_ci_a_run_of_the_32_bit_exe_passes(self):
        run, calls = self.run_script(wine_runs=True)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIn("ctest --preset win32", calls)
        self.assertNotIn("ctest --preset win64", calls)


if __name__ == "__main__":
    SCRIPT = os.path.abspath(sys.argv[1])
    unittest.main(argv=sys.argv[:1], verbosity=2)
