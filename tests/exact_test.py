#!/usr/bin/env python3
"""div100-exact as a user runs it: what it answers, in text and JSON, and with
what status; every bad argument refused with 2 and named; lost output.
Usage: exact_test.py --version X.Y.Z path/to/div100-exact"""

import argparse
import json
import subprocess
import sys
import unittest

EXACT = VERSION = None


def run(*arguments, **how):
    how.setdefault("stdout", subprocess.PIPE)
    return subprocess.run([EXACT, *arguments], stderr=subprocess.PIPE, timeout=60, **how)


class Answers(unittest.TestCase):
    def test_the_tools_own_sequence_fails_where_div100_says_and_its_replacements_are_named(self):
        result = run("100", "0xA3D70A3D", "38", "1")
        self.assertEqual(result.returncode, 1, result.stderr)
        text = result.stdout.decode()
        self.assertIn("first wrong at n = 4294967295, where it gives 0 and n / 100 is 42949672", text)
        self.assertIn("(n * 0x51EB851F) >> 37", text)
        self.assertIn("((n + 1) * 0xA3D70A3D) >> 38    multiplier rounded down, n + 1 in 64 bits", text)
        self.assertEqual(run("100", "0xA3D70A3D", "38", "1", "--wide").returncode, 0)

    def test_json_says_the_same(self):
        result = run("7", "0x124924924", "35", "--json")
        self.assertEqual(result.returncode, 1, result.stderr)
        said = json.loads(result.stdout)
        self.assertFalse(said["exact"])
        self.assertEqual(said["sequence"]["multiplier"], 0x124924924)
        first = said["first_mismatch"]
        self.assertNotEqual(first["got"], first["expected"])
        self.assertEqual(first["expected"], first["n"] // 7)
        kinds = [s["kind"] for s in said["exact_sequences"]]
        self.assertEqual(kinds[0], "33-bit multiplier rounded up, with add-back")
        self.assertEqual(json.loads(run("7", "--json").stdout)["exact_sequences"],
                         said["exact_sequences"])

    def test_a_divisor_alone_lists_its_exact_sequences(self):
        result = run("7")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(b"(n * 0x124924925) >> 35    33-bit multiplier rounded up, with add-back",
                      result.stdout)
        self.assertIn(b"(no 32-bit multiplier rounded up is exact for n / 7)", result.stdout)

    def test_every_bad_argument_is_refused_with_2_and_named(self):
        for arguments, named in ((["0"], b"divisor 0: expected 1 to 4294967295"),
                                 (["4294967296"], b"divisor 4294967296: expected"),
                                 (["7", "5", "64"], b"shift 64: expected 0 to 63"),
                                 (["7", "0x10000000000000000", "3"], b"multiplier 0x10000000000000000: expected"),
                                 (["7", "99999999999999999999", "3"], b"multiplier 99999999999999999999: expected"),
                                 (["seven"], b"divisor seven: not a number"),
                                 (["7", "-1", "3"], b"multiplier -1: not a number"),
                                 (["7", "5", "3", "2"], b"increment 2: expected 0 or 1"),
                                 (["7", "5"], b"a multiplier needs its shift"),
                                 ([], b"a divisor is needed"),
                                 (["7", "--sweep"], b"--sweep, --wide and --saturate take a sequence to check"),
                                 (["7", "--bogus"], b"unknown option: --bogus")):
            with self.subTest(arguments=arguments):
                result = run(*arguments)
                self.assertEqual((result.returncode, result.stdout), (2, b""))
                self.assertTrue(result.stderr.startswith(b"div100-exact: " + named), result.stderr)

    def test_help_version_and_lost_output(self):
        self.assertEqual(run("--version").stdout, b"div100-exact %s\n" % VERSION.encode())
        self.assertTrue(run("--help").stdout.startswith(b"Usage: div100-exact DIVISOR"))
        with open("/dev/full", "wb") as full:
            result = run("100", stdout=full)
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"cannot write the output: No space left on device", result.stderr)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--version", required=True)
    parser.add_argument("exact")
    args, rest = parser.parse_known_args()
    EXACT, VERSION = args.exact, args.version
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
