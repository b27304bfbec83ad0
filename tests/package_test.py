#!/usr/bin/env python3
"""The release package of a build: exactly the programs, the documents the
README links, the notices of what the programs carry (and on Linux the manual
pages), every link resolving; each program's linked parts named with their
licences, and in the .deb Built-Using; the Debian changelog as dpkg reads it;
a build with unreleased changes labelled as the next version's pre-release;
an archive the repacking cannot normalise refused; one
SHA256SUMS for a release's packages that checks any of them; the programs
stripped; the archive sorted, owned by 0, its modes normalised and its times
the newest release's date, and byte for byte what the release preset builds
from a copy of the sources without .git in another folder (its name with a
space), later, under another umask and time zone; the .deb clean by lintian but for its override;
the exe with its time stamp left out, its version resource and its manifest.
Usage:
package_test.py --cmake CMAKE --cpack CPACK --source DIR --build DIR --preset NAME --version X.Y.Z
                --objdump OBJDUMP --benchmark-source DIR [--windres WINDRES]
                PROGRAM..."""

import argparse
import gzip
import io
import os
import re
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile
import unittest
import zipfile

ARGS = None
TERMINAL_SERVER_AWARE = 0x8000  # IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE


def releases(source):
    """[(version, date)] of each release CHANGELOG.md names, newest first."""
    with open(os.path.join(source, "CHANGELOG.md")) as changes:
        return re.findall(r"^## (\d+\.\d+\.\d+) - (\d{4}-\d\d-\d\d)$", changes.read(), re.M)


def utc(when, form="+%s %Y %m %d %H %M %S"):
    return subprocess.run(["date", "-u", "-d", when, form], check=True, capture_output=True,
                          text=True).stdout.split()


def newest_release_time():
    """The archives' time: SOURCE_DATE_EPOCH where it is set, else the
    midnight (UTC) of the newest release CHANGELOG.md names, as date(1)
    reads that day; in seconds and as (year, month, day, hour, minute,
    second) in UTC."""
    if "SOURCE_DATE_EPOCH" in os.environ:
        when = "@" + os.environ["SOURCE_DATE_EPOCH"]
    else:
        when = releases(ARGS.source)[0][1]
    words = utc(when)
    return int(words[0]), tuple(int(w) for w in words[1:])


def deb_files(deb):
    """{path: bytes} of every file a .deb installs."""
    tar = subprocess.run(["dpkg-deb", "--fsys-tarfile", deb], check=True, capture_output=True).stdout
    with tarfile.open(fileobj=io.BytesIO(tar)) as files:
        return {m.name.lstrip("."): files.extractfile(m).read() for m in files.getmembers() if m.isfile()}


def dep5_paragraphs(text):
    """The paragraphs of a machine-readable copyright file, as {field: value}."""
    paragraphs = []
    for block in text.strip().split("\n\n"):
        fields = {}
        for line in block.splitlines():
            if line[:1] not in (" ", "\t"):
                name, value = line.split(":", 1)
                fields[name] = value.strip()
            else:
                fields[name] += "\n" + line[1:]
        paragraphs.append(fields)
    return paragraphs


def built_copy(source, copy, preset, benchmark_static, edit=None, **how):
    """Configures and builds the release preset's programs (without its
    tests, which would pack and build a copy again) from a copy of source
    without build and .git, edit(copy) first; the static Google Benchmark
    given, where it is, instead of building it again. The build folder."""
    shutil.copytree(source, copy, ignore=lambda d, names: (
        {"build", ".git"} & set(names) if d == source else set()))
    if edit:
        edit(copy)
    build = os.path.join(copy, "build", preset)
    if benchmark_static:
        shutil.copytree(benchmark_static, os.path.join(build, "benchmark-static"))
    configure = ["--preset", preset, "-DDIV100_TESTS=OFF",
                 "-DDIV100_BENCHMARK_SOURCE=" + ARGS.benchmark_source]
    for step in (configure, ["--build", "--preset", preset]):
        subprocess.run([ARGS.cmake, *step], cwd=copy, check=True, stdout=subprocess.DEVNULL, **how)
    return build


def under_umask_077():
    os.umask(0o077)


def package_of(build, out, **how):
    """Packs build into out; {name in the package: bytes} of every file."""
    subprocess.run([ARGS.cpack, "--config", os.path.join(build, "CPackConfig.cmake"), "-B", out],
                   check=True, stdout=subprocess.DEVNULL, **how)
    [name] = [n for n in os.listdir(out) if n.endswith((".zip", ".tar.gz"))]
    path = os.path.join(out, name)
    if name.endswith(".zip"):
        with zipfile.ZipFile(path) as pack:
            files = {i.filename: pack.read(i) for i in pack.infolist() if not i.is_dir()}
    else:
        with tarfile.open(path) as pack:
            files = {m.name: pack.extractfile(m).read() for m in pack.getmembers() if m.isfile()}
    return name, files


def how_they_differ(one, other):
    """diffoscope's account of two packages, where it is installed."""
    if not shutil.which("diffoscope"):
        return " (install diffoscope to see how)"
    shown = subprocess.run(["diffoscope", "--text", "-", one, other], capture_output=True, text=True)
    return ":\n" + shown.stdout[:20000]


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp()
        cls.here = os.path.join(cls.work, "here")
        cls.name, cls.files = package_of(ARGS.build, cls.here)
        top = cls.top = cls.name.rsplit(".zip", 1)[0].rsplit(".tar.gz", 1)[0]
        cls.programs = {p: top + "/" + p for p in ARGS.programs}
        cls.doc_dir = top + "/" + ("" if ARGS.windres else "share/doc/div100/")
        cls.notices = cls.doc_dir + ("NOTICES.txt" if ARGS.windres else "copyright")
        cls.docs = {d: cls.doc_dir + d
                    for d in ("README.md", "LICENSE", "CHANGELOG.md", "docs/measuring.md", "docs/exact.md")}
        cls.debs = [os.path.join(cls.here, n) for n in os.listdir(cls.here) if n.endswith(".deb")]

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work)

    def program(self, name):
        path = os.path.join(self.work, os.path.basename(name))
        with open(path, "wb") as out:
            out.write(self.files[name])
        return path

    def test_holds_exactly_the_programs_and_the_documents_and_every_link_resolves(self):
        self.assertTrue(self.name.startswith("div100-%s-" % ARGS.version), self.name)
        manual = set() if ARGS.windres else {self.top + "/share/man/man1/%s.1.gz" % p
                                             for p in ("div100", "div100-bench", "div100-exact")}
        self.assertEqual(set(self.files), {*self.programs.values(), *self.docs.values(), *manual,
                                           self.notices})
        readme = self.files[self.docs["README.md"]].decode()
        self.assertIn("div100 %s" % releases(ARGS.source)[0][0], readme, "the README's version")
        for document in ("README.md", "docs/measuring.md", "docs/exact.md"):
            folder = os.path.dirname(self.docs[document])
            for link in re.findall(r"\]\(([^)#]+)", self.files[self.docs[document]].decode()):
                with self.subTest(document=document, link=link):
                    self.assertIn(os.path.normpath(os.path.join(folder, link)), self.files)

    def test_one_sha256sums_checks_whichever_package_was_downloaded(self):
        """The release's folder, as scripts/release makes it: this build's
        packages and the other platform's (a stand-in here)."""
        packed = [os.path.join(self.here, n) for n in os.listdir(self.here)
                  if n.endswith((".zip", ".tar.gz", ".deb"))]
        other = os.path.join(self.work, "div100-%s-other.zip" % ARGS.version)
        with open(other, "wb") as stand_in:
            stand_in.write(b"the other platform's package")
        release = os.path.join(self.work, "release")
        # Called as scripts/release calls it: paths relative to where it runs.
        subprocess.run([os.path.join(ARGS.source, "scripts", "checksums.sh"), "release",
                        *[os.path.relpath(p, self.work) for p in packed + [other]]],
                       cwd=self.work, check=True)
        names = sorted(os.listdir(release))
        self.assertEqual(names, sorted(["SHA256SUMS"] + [os.path.basename(p) for p in packed + [other]]))
        for kept in (n for n in names if n != "SHA256SUMS"):
            with self.subTest(downloaded=kept):
                alone = os.path.join(self.work, "downloaded")
                shutil.rmtree(alone, ignore_errors=True)
                os.mkdir(alone)
                for name in (kept, "SHA256SUMS"):
                    shutil.copy(os.path.join(release, name), alone)
                subprocess.run(["sha256sum", "-c", "--ignore-missing", "--strict", "SHA256SUMS"],
                               cwd=alone, check=True, stdout=subprocess.DEVNULL)

    def test_the_programs_are_stripped_and_the_archive_is_the_same_built_anywhere(self):
        """A copy of the sources without .git (as an export is), in another
        folder, later, under umask 077 and in a time zone 14 hours from UTC,
        gives the same archives byte for byte, dated by the sources alone."""
        elsewhere = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
        elsewhere["TZ"] = "XYZ-14"
        # Google Benchmark built again there, in a folder with a space.
        build = built_copy(ARGS.source, os.path.join(self.work, "else where", "div100"), ARGS.preset,
                           None, preexec_fn=under_umask_077, env=elsewhere)
        there = os.path.join(self.work, "there")
        package_of(build, there, preexec_fn=under_umask_077, env=elsewhere)
        for name in self.programs.values():
            with self.subTest(program=name):
                symbols = subprocess.run([ARGS.objdump, "-t", self.program(name)], check=True,
                                         capture_output=True, text=True).stdout
                self.assertIn("no symbols", symbols)
        for name in sorted(os.listdir(self.here)):
            if not name.endswith((".zip", ".tar.gz", ".deb")):
                continue
            one, other = os.path.join(self.here, name), os.path.join(there, name)
            with self.subTest(package=name), open(one, "rb") as mine, open(other, "rb") as theirs:
                if mine.read() != theirs.read():
                    self.fail(name + " differs when built elsewhere" + how_they_differ(one, other))

    def test_members_sorted_owned_by_0_with_normal_modes_and_the_newest_release_date(self):
        path = os.path.join(self.here, self.name)
        programs = set(self.programs.values())
        if self.name.endswith(".zip"):
            with zipfile.ZipFile(path) as pack:
                infos = pack.infolist()
            members = [(i.filename, i.external_attr >> 16 & 0o7777, i.is_dir(), i.date_time, 0, i.extra)
                       for i in infos]
            when = newest_release_time()[1]  # (a midnight: zip's two-second steps hold it)
        else:
            with tarfile.open(path) as pack:
                members = [(m.name.rstrip("/"), m.mode, m.isdir(), m.mtime, (m.uid, m.gid, m.uname, m.gname),
                            b"") for m in pack.getmembers()]
            with open(path, "rb") as packed:
                (gzip_time,) = struct.unpack_from("<I", packed.read(8), 4)
            when = newest_release_time()[0]
            self.assertEqual(gzip_time, when, "the gzip header's time")
        names = [m[0] for m in members]
        self.assertEqual(names, sorted(names))
        for name, mode, is_folder, stamp, owner, extra in members:
            with self.subTest(member=name):
                self.assertEqual(mode, 0o755 if is_folder or name in programs else 0o644)
                self.assertEqual(stamp, when)
                self.assertIn(owner, (0, (0, 0, "", "")))
                self.assertEqual(extra, b"")

    def test_the_programs_run_in_an_empty_root(self):
        """Nothing but the program and an empty environment: a static link
        needs no library of the machine's. The tool runs to its end; the
        bench lists its rows."""
        if ARGS.windres:
            self.skipTest("Linux only")
        if os.geteuid() != 0:
            self.skipTest("chroot needs root")
        expected = {"bin/div100": ([], b"mismatch at 4294967295\r\nPress any key to exit...\r\n"),
                    "bin/div100-bench": (["--benchmark_list_tests"], b"\ncompiler/throughput\n"),
                    "bin/div100-exact": (["7"], b"for n / 7)\n")}
        self.assertEqual(set(self.programs), set(expected), "the bench is always packed")
        for name, (arguments, ending) in expected.items():
            with self.subTest(program=name):
                root = os.path.join(self.work, "empty-root-" + os.path.basename(name))
                os.mkdir(root)
                with open(os.path.join(root, "program"), "wb") as program:
                    program.write(self.files[self.programs[name]])
                os.chmod(os.path.join(root, "program"), 0o755)
                run = subprocess.run(["/program", *arguments], env={}, stdin=subprocess.DEVNULL,
                                     capture_output=True, timeout=60,
                                     preexec_fn=lambda: (os.chroot(root), os.chdir("/")))
                self.assertEqual((run.returncode, run.stderr), (0, b""))
                self.assertTrue(run.stdout.endswith(ending), run.stdout[-200:])

    def test_each_program_names_what_it_carries_with_its_licence(self):
        """Every program is linked statically: its paragraph in the
        machine-readable copyright names the C library's and the GCC runtime's
        licences (the exes': mingw-w64's notices), the bench's also Google
        Benchmark's, each licence given (or referred to in the system's
        common licences, in the .deb). The .deb's Built-Using names the C
        library's source package at the version installed here."""
        apache = "TERMS AND CONDITIONS FOR USE, REPRODUCTION, AND DISTRIBUTION"
        if ARGS.windres:
            notices = self.files[self.notices].decode()
            with open("/usr/share/doc/mingw-w64-i686-dev/copyright") as mingw:
                self.assertIn(mingw.read().replace("\n", "\r\n"), notices)
            self.assertIn("GCC RUNTIME LIBRARY EXCEPTION", notices)
            self.assertEqual(apache in notices, "div100-bench.exe" in self.programs)
            return
        wanted = {"LGPL-2.1+", "GPL-3+ with GCC-Runtime-Library-3.1 exception", "Expat"}
        copyrights = [("tarball", self.files[self.notices].decode(), "bin/")]
        for deb in self.debs:
            copyrights.append(("deb", deb_files(deb)["/usr/share/doc/div100/copyright"].decode(),
                               "usr/bin/"))
            built_using = subprocess.run(["dpkg-deb", "-f", deb, "Built-Using"], check=True,
                                         capture_output=True, text=True).stdout
            glibc = subprocess.run(["dpkg-query", "-W", "-f", "${source:Version}", "libc6-dev"],
                                   check=True, capture_output=True, text=True).stdout
            self.assertIn("glibc (= %s)" % glibc, built_using)
            self.assertIn("benchmark (= ", built_using)
        for form, text, root in copyrights:
            paragraphs = dep5_paragraphs(text)
            licences = {p["License"].split("\n")[0]: p["License"] for p in paragraphs if len(p) == 1}
            for program in self.programs:
                with self.subTest(package=form, program=program):
                    named = [p for p in paragraphs if root + os.path.basename(program) in
                             p.get("Files", "").split()]
                    self.assertEqual(len(named), 1, "no paragraph of its own")
                    parts = set(named[0]["License"].split(" and "))
                    self.assertEqual(parts, wanted | ({"Apache-2.0"} if "bench" in program else set()))
                    for part in parts:
                        text = licences[part]
                        if form == "tarball":
                            self.assertGreater(len(text), 1000, part)
                        elif part != "Expat":
                            common = re.search(r"/usr/share/common-licenses/[\w.+-]*\w", text).group(0)
                            self.assertTrue(os.path.isfile(common), common)
            if form == "tarball":
                self.assertIn(apache, licences["Apache-2.0"].replace("\n", " "))

    def test_the_debian_changelog_is_changelog_md_as_dpkg_reads_it(self):
        """One entry a release, newest first, each dated its release's day."""
        if ARGS.windres:
            self.skipTest("Linux only")
        [deb] = self.debs
        changelog = os.path.join(self.work, "changelog")
        with open(changelog, "wb") as out:
            out.write(gzip.decompress(deb_files(deb)["/usr/share/doc/div100/changelog.gz"]))
        parsed = subprocess.run(["dpkg-parsechangelog", "-l", changelog, "--all", "--format",
                                 "rfc822"], check=True, capture_output=True, text=True)
        self.assertEqual(parsed.stderr, "")
        entries = re.findall(r"^Version: (.*)\nDistribution: .*\nUrgency: .*\nMaintainer: .*\n"
                             r"Timestamp: .*\nDate: (.*)$", parsed.stdout, re.M)
        expected = releases(ARGS.source)
        if ARGS.version != expected[0][0]:
            expected.insert(0, (ARGS.version, expected[0][1]))
        self.assertEqual([(v, utc(d, "+%F")[0]) for v, d in entries], expected)

    def test_a_build_with_unreleased_changes_is_labelled_a_pre_release_of_the_next(self):
        """Everywhere its version shows: file names, --version, the .deb, the
        manual pages, the PE version resource; Debian orders it after the
        release before it and before the next."""
        release = releases(ARGS.source)[0][0]

        def with_a_change(copy):
            path = os.path.join(copy, "CHANGELOG.md")
            with open(path) as old:
                text = old.read()
            text = re.sub(r"^## Unreleased\n(.*?)(?=^## )", "", text, flags=re.M | re.S)
            with open(path, "w") as new:
                new.write(text.replace("\n## ", "\n## Unreleased\n\n### Fixed\n- A change.\n\n## ", 1))
        static = os.path.join(ARGS.build, "benchmark-static")
        build = built_copy(ARGS.source, os.path.join(self.work, "unreleased", "div100"), ARGS.preset,
                           static if os.path.isdir(static) else None, with_a_change)
        out = os.path.join(self.work, "unreleased-packages")
        name, files = package_of(build, out)
        label = re.match(r"div100-([^-]+)-", name).group(1)
        for later, earlier in ((label, release), (release.rsplit(".", 1)[0] + ".%d" % (
                int(release.rsplit(".", 1)[1]) + 1), label)):
            subprocess.run(["dpkg", "--compare-versions", later, "gt", earlier], check=True)
        if ARGS.windres:
            exe = os.path.join(self.work, "unreleased.exe")
            with open(exe, "wb") as program:
                program.write(files[name.rsplit(".zip", 1)[0] + "/div100.exe"])
            resources = subprocess.run([ARGS.windres, "-i", exe, "-O", "rc"], check=True,
                                       capture_output=True, text=True).stdout
            self.assertIn('VALUE "ProductVersion", "%s"' % label, resources)
            self.assertIn("FILEFLAGS 0x2", resources)  # VS_FF_PRERELEASE
            return
        version = subprocess.run([os.path.join(build, "div100"), "--version"], capture_output=True)
        self.assertEqual(version.stdout, b"div100 %s\r\n" % label.encode())
        page = gzip.decompress(files[name.rsplit(".tar.gz", 1)[0] + "/share/man/man1/div100.1.gz"])
        self.assertIn(b'"div100 %s"' % label.encode(), page.split(b"\n")[0])
        [deb] = [os.path.join(out, n) for n in os.listdir(out) if n.endswith(".deb")]
        self.assertEqual(os.path.basename(deb), "div100_%s_amd64.deb" % label)
        fields = subprocess.run(["dpkg-deb", "-f", deb, "Version"], check=True, capture_output=True,
                                text=True).stdout
        self.assertEqual(fields.strip(), label)

    def test_the_repacking_refuses_what_it_cannot_normalise(self):
        """A .deb whose data is xz, or an archive of a kind it does not
        know, is refused and left as it was, not passed on unnormalised."""
        deb = os.path.join(self.work, "xz.deb")
        empty_tar = gzip.compress(b"\0" * 10240)
        members = [(b"debian-binary", b"2.0\n"), (b"control.tar.gz", empty_tar),
                   (b"data.tar.xz", b"\xfd7zXZ\0")]
        with open(deb, "wb") as out:
            out.write(b"!<arch>\n")
            for name, body in members:
                out.write(b"%-16s%-12d%-6d%-6d%-8o%-10d`\n" % (name, 0, 0, 0, 0o100644, len(body)))
                out.write(body + b"\n" * (len(body) % 2))
        other = os.path.join(self.work, "div100.tar.xz")
        shutil.copy(deb, other)
        for archive in (deb, other):
            with self.subTest(archive=os.path.basename(archive)), open(archive, "rb") as before:
                kept = before.read()
                repack = subprocess.run([sys.executable, os.path.join(ARGS.source, "packaging", "repack.py"),
                                         "0", archive], capture_output=True, text=True)
                self.assertNotEqual(repack.returncode, 0)
                self.assertIn("cannot normalise", repack.stderr)
                with open(archive, "rb") as after:
                    self.assertEqual(after.read(), kept)

    def test_the_deb_installs_answers_and_purges_without_a_trace(self):
        debs = [n for n in os.listdir(self.here) if n.endswith(".deb")]
        if ARGS.windres:
            self.skipTest("Linux only")
        self.assertEqual(debs, ["div100_%s_amd64.deb" % ARGS.version])
        if os.geteuid() != 0 or not shutil.which("dpkg"):
            self.skipTest("installing needs root and dpkg")
        if subprocess.run(["dpkg", "-s", "div100"], capture_output=True).returncode == 0:
            self.skipTest("div100 is installed on this machine already")
        subprocess.run(["dpkg", "-i", os.path.join(self.here, debs[0])], check=True,
                       stdout=subprocess.DEVNULL)
        try:
            files = subprocess.run(["dpkg", "-L", "div100"], check=True, capture_output=True,
                                   text=True).stdout.split()
            self.assertIn("/usr/bin/div100-bench", files)
            self.assertIn("/usr/bin/div100-exact", files)
            self.assertIn("/usr/share/doc/div100/copyright", files)
            for page in ("div100", "div100-bench", "div100-exact"):
                self.assertIn("/usr/share/man/man1/%s.1.gz" % page, files)
            self.assertIn("/usr/share/doc/div100/changelog.gz", files)
            version = subprocess.run(["/usr/bin/div100", "--version"], capture_output=True)
            self.assertEqual(version.stdout, b"div100 %s\r\n" % ARGS.version.encode())
        finally:
            subprocess.run(["dpkg", "--purge", "div100"], check=True, stdout=subprocess.DEVNULL)
        self.assertEqual([f for f in files if os.path.isfile(f)], [])
        self.assertNotEqual(subprocess.run(["dpkg", "-s", "div100"], capture_output=True).returncode, 0)

    def test_lintian_finds_nothing_but_what_the_override_explains(self):
        if ARGS.windres:
            self.skipTest("Linux only")
        if not shutil.which("lintian"):
            self.skipTest("no lintian here")
        [deb] = [n for n in os.listdir(self.here) if n.endswith(".deb")]
        lintian = ["lintian", "--display-info", os.path.join(self.here, deb)]
        checked = subprocess.run(lintian + ["--fail-on", "error,warning,info"], capture_output=True,
                                 text=True)
        self.assertEqual((checked.stdout, checked.returncode), ("", 0), checked.stderr)
        overrides = subprocess.run(lintian + ["--show-overrides"], capture_output=True, text=True)
        overridden = {line.split()[2] for line in overrides.stdout.splitlines() if line.startswith("O: ")}
        self.assertEqual(overridden, {"statically-linked-binary"}, overrides.stdout)

    def test_the_exe_has_no_time_stamp_vista_subsystem_version_its_version_and_manifest(self):
        if not ARGS.windres:
            self.skipTest("Windows only")
        exe = self.files[self.programs["div100.exe"]]
        (pe,) = struct.unpack_from("<I", exe, 0x3C)
        self.assertEqual(exe[pe:pe + 4], b"PE\0\0")
        (stamp,) = struct.unpack_from("<I", exe, pe + 8)
        self.assertEqual(stamp, 0)
        optional = pe + 24
        self.assertEqual(struct.unpack_from("<HH", exe, optional + 48), (6, 0), "subsystem version")
        (characteristics,) = struct.unpack_from("<H", exe, optional + 70)
        self.assertTrue(characteristics & TERMINAL_SERVER_AWARE, hex(characteristics))
        resources = subprocess.run([ARGS.windres, "-i", self.program(self.programs["div100.exe"]),
                                    "-O", "rc"], check=True, capture_output=True, text=True).stdout
        self.assertIn("FILEVERSION %s, 0" % ARGS.version.split("~")[0].replace(".", ", "), resources)
        self.assertIn('VALUE "ProductVersion", "%s"' % ARGS.version, resources)
        self.assertIn('level=""asInvoker""', resources)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for option in ("--cmake", "--cpack", "--source", "--build", "--preset", "--version", "--objdump"):
        parser.add_argument(option, required=True)
    parser.add_argument("--windres")
    parser.add_argument("--benchmark-source", required=True)
    parser.add_argument("programs", nargs="+")
    ARGS = parser.parse_args()
    unittest.main(argv=["package_test.py"], verbosity=2)
