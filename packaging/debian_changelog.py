#!/usr/bin/env python3
"""The Debian changelog of the package, from CHANGELOG.md: one entry for each
release there, newest first, each item of its sections a star, signed by the
maintainer on the release's date (at midnight UTC plus one second for each
release before it, so that releases of one day keep their order); written gzipped as Debian wants it, with no
name and no time in the gzip header, so the same sources give the same bytes.
Usage: debian_changelog.py CHANGELOG.md "Name <address>" OUT.gz"""

import datetime
import gzip
import re
import sys
import textwrap

RELEASE = re.compile(r"^## (\d+\.\d+\.\d+) - (\d{4})-(\d\d)-(\d\d)$")
WIDTH = 79


def entries(markdown):
    """(version, date, [item]) for each release, newest first."""
    releases, item = [], None
    for line in markdown.splitlines():
        release = RELEASE.match(line)
        if release:
            version, *day = release.groups()
            releases.append((version, datetime.date(*map(int, day)), []))
            item = None
        elif releases and line.startswith("- "):
            item = [line[2:].strip()]
            releases[-1][2].append(item)
        elif releases and item is not None and line.startswith("  ") and line.strip():
            item.append(line.strip())
        else:
            item = None
    return [(v, d, [" ".join(words) for words in items]) for v, d, items in releases]


def debian_changelog(markdown, maintainer):
    text = []
    releases = entries(markdown)
    for older, (version, day, items) in zip(range(len(releases) - 1, -1, -1), releases):
        text.append("div100 (%s) unstable; urgency=medium\n\n" % version)
        for item in items:
            plain = item.replace("`", "")
            text.append(textwrap.fill(plain, WIDTH, initial_indent="  * ",
                                      subsequent_indent="    ") + "\n")
        stamp = datetime.datetime(day.year, day.month, day.day, second=older,
                                  tzinfo=datetime.timezone.utc)
        text.append("\n -- %s  %s\n\n" % (maintainer, stamp.strftime("%a, %d %b %Y %H:%M:%S +0000")))
    return "".join(text).rstrip("\n") + "\n"


if __name__ == "__main__":
    source, maintainer, out = sys.argv[1:4]
    with open(source, encoding="utf-8") as changes:
        body = debian_changelog(changes.read(), maintainer).encode()
    with open(out, "wb") as packed, \
            gzip.GzipFile(filename="", mode="wb", fileobj=packed, mtime=0, compresslevel=9) as gz:
        gz.write(body)
