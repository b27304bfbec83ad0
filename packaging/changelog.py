#!/usr/bin/env python3
"""What CHANGELOG.md says of a release, for the build and the packages: one
place for the version label, the date, the archives' time and the Debian
changelog. The newest release ("## X.Y.Z - YYYY-MM-DD") names the version;
where the "Unreleased" section holds changes, the build is a pre-release of
the next patch version, X.Y.(Z+1)~dev, which Debian orders after X.Y.Z and
before X.Y.(Z+1).
Usage:
  changelog.py facts CHANGELOG.md
      release=X.Y.Z, the newest release; version=the label; numbers=its
      X.Y.Z; date=the newest release's, YYYY-MM-DD; epoch=its midnight in
      seconds (UTC); dev=0 or 1: one a line, for CMake
  changelog.py debian CHANGELOG.md "Name <address>" OUT.gz
      the Debian changelog, an entry for each release (and the pre-release),
      gzipped with no name or time in its header"""

import calendar
import datetime
import gzip
import re
import sys
import textwrap

RELEASE = re.compile(r"^## (\d+)\.(\d+)\.(\d+) - (\d{4})-(\d\d)-(\d\d)$")
UNRELEASED = re.compile(r"^## Unreleased\s*$")
WIDTH = 79


class Changelog:
    """The releases, newest first, as (version, date, [item]), and the
    changes not yet released."""

    def __init__(self, markdown):
        self.releases, self.unreleased = [], []
        items, item = None, None
        for line in markdown.splitlines():
            release = RELEASE.match(line)
            if release:
                numbers = tuple(map(int, release.groups()))
                items = []
                self.releases.append((numbers[:3], datetime.date(*numbers[3:]), items))
                item = None
            elif UNRELEASED.match(line):
                items, item = self.unreleased, None
            elif line.startswith("## "):
                items, item = None, None
            elif items is not None and line.startswith("- "):
                item = [line[2:].strip()]
                items.append(item)
            elif item is not None and line.startswith("  ") and line.strip():
                item.append(line.strip())
            else:
                item = None
        if not self.releases:
            raise ValueError("CHANGELOG.md names no release as '## X.Y.Z - YYYY-MM-DD'")
        self.releases = [(v, d, [" ".join(words) for words in i]) for v, d, i in self.releases]
        self.unreleased = [" ".join(words) for words in self.unreleased]

    def release(self):
        return "%d.%d.%d" % self.releases[0][0]

    def numbers(self):
        major, minor, patch = self.releases[0][0]
        return "%d.%d.%d" % (major, minor, patch + 1) if self.unreleased else self.release()

    def version(self):
        return self.numbers() + "~dev" if self.unreleased else self.release()

    def date(self):
        return self.releases[0][1]

    def epoch(self):
        return calendar.timegm(self.date().timetuple())

    def debian(self, maintainer):
        entries = [(self.version(), self.date(), self.unreleased)] if self.unreleased else []
        entries += [("%d.%d.%d" % v, d, i) for v, d, i in self.releases]
        text = []
        # Each entry at its day's midnight (UTC), plus a second for each entry
        # older than it, so that entries of one day keep their order.
        for older, (version, day, items) in zip(range(len(entries) - 1, -1, -1), entries):
            text.append("div100 (%s) unstable; urgency=medium\n\n" % version)
            for change in items:
                text.append(textwrap.fill(change.replace("`", ""), WIDTH, initial_indent="  * ",
                                          subsequent_indent="    ") + "\n")
            stamp = datetime.datetime(day.year, day.month, day.day, second=older,
                                      tzinfo=datetime.timezone.utc)
            text.append("\n -- %s  %s\n\n" % (maintainer, stamp.strftime("%a, %d %b %Y %H:%M:%S +0000")))
        return "".join(text).rstrip("\n") + "\n"


def main(arguments):
    command, path = arguments[0], arguments[1]
    with open(path, encoding="utf-8") as source:
        changes = Changelog(source.read())
    if command == "facts":
        print("release=%s\nversion=%s\nnumbers=%s\ndate=%s\nepoch=%d\ndev=%d" % (
            changes.release(), changes.version(), changes.numbers(), changes.date().isoformat(),
            changes.epoch(), 1 if changes.unreleased else 0))
    elif command == "debian":
        maintainer, out = arguments[2], arguments[3]
        with open(out, "wb") as packed, \
                gzip.GzipFile(filename="", mode="wb", fileobj=packed, mtime=0, compresslevel=9) as gz:
            gz.write(changes.debian(maintainer).encode())
    else:
        raise SystemExit("changelog.py: facts or debian, not " + command)


if __name__ == "__main__":
    try:
        main(sys.argv[1:])
    except (ValueError, OSError) as error:
        raise SystemExit("changelog.py: %s" % error)
