#!/usr/bin/env python3
"""The manual pages as configured for this build: each renders without a
single warning, every @VARIABLE@ of its source is filled in, and its header
names this version and the date of the newest release in CHANGELOG.md.
Usage: man_page_test.py --version X.Y.Z --changelog CHANGELOG.md PAGE..."""

import argparse
import re
import subprocess
import sys
import unittest

ARGS = None


def newest_release_date():
    with open(ARGS.changelog) as changes:
        return re.search(r"^## \d+\.\d+\.\d+ - (\d{4}-\d\d-\d\d)$", changes.read(), re.M).group(1)


class ManualPages(unittest.TestCase):
    def test_each_page_renders_cleanly_and_names_this_version(self):
        for page in ARGS.pages:
            with self.subTest(page=page):
                with open(page) as source:
                    text = source.read()
                self.assertEqual([line for line in text.splitlines() if "@" in line], [],
                                 "a variable left unfilled")
                header = re.match(r'\.TH \S+ 1 (\S+) "([^"]*)"', text)
                self.assertIsNotNone(header, text[:100])
                self.assertEqual(header.group(2), "div100 " + ARGS.version)
                self.assertEqual(header.group(1), newest_release_date())
                groff = subprocess.run(["groff", "-man", "-ww", "-z", page], capture_output=True,
                                       text=True)
                self.assertEqual((groff.returncode, groff.stderr), (0, ""))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--version", required=True)
    parser.add_argument("--changelog", required=True)
    parser.add_argument("pages", nargs="+")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
