#!/usr/bin/env python3
"""What a package of div100 carries besides div100's own code, and under which
licences. Its programs are linked statically: the Linux ones with the C
library and the GCC runtime of the build machine, the exes with the mingw-w64
runtime and the GCC runtime of the cross compiler, and div100-bench with
Google Benchmark built from Debian's source package. Every fact is the build
machine's: the compiler names the libraries it links, dpkg the Debian source
package and version each came from, and that package its copyright file.
Usage:
  notices.py deb|tarball OUT --cxx CXX --license LICENSE --programs P,...
             [--bench P --benchmark-source DIR]
      a machine-readable (DEP-5) copyright file: for the .deb, the licences
      in /usr/share/common-licenses by reference, as Debian policy allows; for
      the tarball, in full
  notices.py zip OUT --cxx CXX [--bench P --benchmark-source DIR]
      a notices file for the exes (LICENSE stands beside it), in full
  notices.py built-using --cxx CXX [--benchmark-source DIR]
      the .deb's Built-Using field: each source package linked in, = its version"""

import argparse
import glob
import os
import subprocess
import sys
import textwrap

# The machine-readable format is named by its URI, as dpkg's own copyright
# file (dpkg is on every Debian system) names it.
FORMAT_OF = "/usr/share/doc/dpkg/copyright"
COMMON = "/usr/share/common-licenses/"
GCC_LICENCE = "GPL-3+ with GCC-Runtime-Library-3.1 exception"
# The static libraries each target links, and the part each belongs to.
LINKED = {"linux": (("libc.a", "libc"), ("libstdc++.a", "gcc"), ("libgcc.a", "gcc"),
                    ("libgcc_eh.a", "gcc")),
          "mingw32": (("libmingw32.a", "mingw"), ("libwinpthread.a", "mingw"),
                      ("libstdc++.a", "gcc"), ("libgcc.a", "gcc"))}
GPL3_PERMISSION = ("The GCC runtime libraries are free software; you can redistribute them\n"
                   "and/or modify them under the terms of the GNU General Public License as\n"
                   "published by the Free Software Foundation; either version 3, or (at your\n"
                   "option) any later version, with the GCC Runtime Library Exception, version\n"
                   "3.1, below.")
APACHE_PERMISSION = ("Licensed under the Apache License, Version 2.0 (the \"License\"); you may\n"
                     "not use this file except in compliance with the License.")


def fail(why):
    raise SystemExit("notices.py: " + why)


def read(path):
    with open(path, encoding="utf-8") as source:
        return source.read()


def query(*arguments):
    run = subprocess.run(arguments, capture_output=True, text=True)
    if run.returncode != 0:
        fail("%s: %s" % (" ".join(arguments), run.stderr.strip() or "failed"))
    return run.stdout.strip()


class Part:
    """A Debian source package linked in: its name, version and the copyright
    file of the binary package that holds the library."""

    def __init__(self, source, version, copyright_file):
        self.source, self.version, self.copyright = source, version, copyright_file

    def named(self):
        return "Debian source package %s %s" % (self.source, self.version)


def parts_linked_by(cxx):
    """{part: Part} for what cxx links into a static program."""
    machine = query(cxx, "-dumpmachine")
    target = next((t for t in LINKED if t in machine), None)
    if target is None:
        fail("no list of the libraries %s links for %s" % (cxx, machine))
    parts = {}
    for library, part in LINKED[target]:
        path = os.path.realpath(query(cxx, "-print-file-name=" + library))
        if not os.path.isfile(path):
            fail("%s links no %s" % (cxx, library))
        package = query("dpkg-query", "-S", path).split(":")[0]
        source, version = query("dpkg-query", "-W", "-f", "${source:Package} ${source:Version}",
                                package).split()
        found = Part(source, version, "/usr/share/doc/%s/copyright" % package)
        if parts.setdefault(part, found).source != source:
            fail("the %s part comes from both %s and %s" % (part, parts[part].source, source))
    return parts


def benchmark_part(folder):
    """Google Benchmark as Debian's source package in folder gives it."""
    descriptions = glob.glob(os.path.join(glob.escape(folder), "benchmark_*.dsc"))
    if len(descriptions) != 1:
        fail("no one benchmark_*.dsc in " + folder)
    fields = dict(line.split(": ", 1) for line in read(descriptions[0]).splitlines()
                  if line[:1].isalpha() and ": " in line)
    licence = glob.glob(os.path.join(glob.escape(folder), "benchmark-*", "LICENSE"))
    if len(licence) != 1:
        fail("no one benchmark-*/LICENSE in " + folder)
    return Part(fields["Source"], fields["Version"], licence[0])


def dep5_format():
    first = read(FORMAT_OF).split("\n", 1)[0]
    if not (first.startswith("Format: ") and first.endswith("/copyright-format/1.0/")):
        fail("%s names no copyright format 1.0" % FORMAT_OF)
    return first[len("Format: "):]


def gcc_exception(copyright_file):
    """The GCC Runtime Library Exception, as Debian's GCC copyright file holds it."""
    lines = read(copyright_file).splitlines()
    try:
        first = lines.index("GCC RUNTIME LIBRARY EXCEPTION")
        last = next(i for i in range(first, len(lines)) if lines[i].endswith("the license of GCC."))
    except (ValueError, StopIteration):
        fail("no GCC Runtime Library Exception in " + copyright_file)
    return "\n".join(lines[first:last + 1])


def indented(text):
    """Text as a DEP-5 field's continuation lines."""
    return "\n".join(" " + line.rstrip() if line.strip() else " ."
                     for line in text.strip("\n").splitlines())


def field(name, text):
    """A DEP-5 field, its text wrapped."""
    return textwrap.fill(text, 79, initial_indent=name + ": ", subsequent_indent=" ") + "\n"


def licence(name, *texts):
    return "License: %s\n%s\n" % (name, "\n .\n".join(indented(t) for t in texts))


def in_full_or_by_reference(deb, file):
    if deb:
        return "On Debian systems, the complete text of the licence is in\n%s%s." % (COMMON, file)
    return read(COMMON + file)


def dep5(args, deb):
    parts = parts_linked_by(args.cxx)
    bench = benchmark_part(args.benchmark_source) if args.bench else None
    libc, gcc = parts["libc"], parts["gcc"]
    root = "usr/bin/" if deb else "bin/"
    runtime = ("the GNU C Library (%s) and the GCC runtime, libstdc++ and libgcc (%s)" %
               (libc.named(), gcc.named()))
    authors = "Copyright: 2026 the div100 authors\n           Free Software Foundation, Inc.\n"
    plain = [root + p for p in args.programs.split(",") if p != args.bench]
    text = ["Format: %s\nUpstream-Name: div100\n" % dep5_format() +
            field("Comment", "The programs are linked statically, so that they start on any x86-64 "
                  "Linux: besides div100's own code, each holds the parts named below."),
            "Files: *\nCopyright: 2026 the div100 authors\nLicense: Expat\n",
            "Files: %s\n%s" % (" ".join(plain), authors) +
            field("Comment", "div100's code, and linked in, %s." % runtime) +
            "License: Expat and LGPL-2.1+ and %s\n" % GCC_LICENCE]
    if bench:
        text.append("Files: %s%s\n%s           2015 Google Inc.\n" % (root, args.bench, authors) +
                    field("Comment", "div100's code, and linked in, %s, and Google Benchmark (%s)." %
                          (runtime, bench.named())) +
                    "License: Expat and LGPL-2.1+ and %s and Apache-2.0\n" % GCC_LICENCE)
    # The C library's own notices in full: most of it is LGPL-2.1+, and the
    # parts under other licences ask for their notices with every copy.
    text.append(licence("Expat", read(args.license).split("\n", 2)[2]))
    text.append(licence("LGPL-2.1+", "The GNU C Library's notices, as Debian gives them:",
                        read(libc.copyright), in_full_or_by_reference(deb, "LGPL-2.1")))
    text.append(licence(GCC_LICENCE, GPL3_PERMISSION, gcc_exception(gcc.copyright),
                        in_full_or_by_reference(deb, "GPL-3")))
    if bench:
        text.append(licence("Apache-2.0", APACHE_PERMISSION, in_full_or_by_reference(deb, "Apache-2.0"))
                    if deb else licence("Apache-2.0", read(bench.copyright)))
    return "\n".join(text)


def zip_notices(args):
    parts = parts_linked_by(args.cxx)
    bench = benchmark_part(args.benchmark_source) if args.bench else None
    mingw, gcc = parts["mingw"], parts["gcc"]
    rule = "=" * 78 + "\n"
    text = ["The exes are linked statically, so that they need nothing Windows lacks.\n"
            "Besides div100's own code (LICENSE, beside this file), each holds:\n\n" +
            textwrap.fill("- the mingw-w64 runtime and winpthreads (%s);" % mingw.named(), 78,
                          subsequent_indent="  ") + "\n" +
            textwrap.fill("- the GCC runtime, libstdc++ and libgcc (%s), under the GNU General "
                          "Public License, version 3, with the GCC Runtime Library Exception, "
                          "version 3.1;" % gcc.named(), 78, subsequent_indent="  ") + "\n"]
    if bench:
        text.append(textwrap.fill("- and %s.exe, Google Benchmark (%s), under the Apache License, "
                                  "Version 2.0." % (args.bench, bench.named()), 78,
                                  subsequent_indent="  ") + "\n")
    text.append("\nTheir notices and licences follow, each in full.\n\n")
    text.append(rule + "mingw-w64 and winpthreads, as Debian gives them\n" + rule +
                read(mingw.copyright) + "\n")
    text.append(rule + "The GCC runtime\n" + rule + gcc_exception(gcc.copyright) + "\n\n" +
                read(COMMON + "GPL-3") + "\n")
    if bench:
        text.append(rule + "Google Benchmark\n" + rule + read(bench.copyright))
    return "".join(text).replace("\r\n", "\n").replace("\n", "\r\n")


def built_using(args):
    linked = list(parts_linked_by(args.cxx).values())
    if args.benchmark_source:
        linked.append(benchmark_part(args.benchmark_source))
    return ", ".join(sorted("%s (= %s)" % (p.source, p.version) for p in linked))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("form", choices=("deb", "tarball", "zip", "built-using"))
    parser.add_argument("out", nargs="?")
    parser.add_argument("--cxx", required=True)
    parser.add_argument("--license")
    parser.add_argument("--programs")
    parser.add_argument("--bench")
    parser.add_argument("--benchmark-source")
    args = parser.parse_args()
    if args.bench and not args.benchmark_source:
        parser.error("--bench needs --benchmark-source")
    if args.form == "built-using":
        print(built_using(args))
        return
    if args.out is None or (args.form != "zip" and not (args.license and args.programs)):
        parser.error("%s needs OUT, --license and --programs" % args.form)
    text = zip_notices(args) if args.form == "zip" else dep5(args, args.form == "deb")
    with open(args.out, "w", encoding="utf-8", newline="") as out:
        out.write(text)


if __name__ == "__main__":
    try:
        main()
    except OSError as error:
        sys.exit("notices.py: %s" % error)
