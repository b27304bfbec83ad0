#!/usr/bin/env python3
"""scripts/test and what it installs (scripts/deps.sh), on a machine of stand-ins:
cmake, ctest, id, wine, sleep and the package tools (dpkg, dpkg-query, apt-get,
apt-config) are one small program that plays a machine and its archive as a
scenario says, and notes every call. A copy of the scripts runs, so that what
they fetch lands in a folder of the test's. Takes a few seconds.
With --cmake, also the win32 preset's tests where wine cannot run a 32-bit exe.
Usage: scripts_test.py [--cmake CMAKE] path/to/scripts/test"""

import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SCRIPT = CMAKE = None
STAND_INS = ("cmake", "ctest", "id", "wine", "sleep", "dpkg", "dpkg-query", "apt-get", "apt-config")
MIRROR_SYNC = ("E: Failed to fetch http://archive.invalid/debian-security/dists/bookworm-security/main/"
               "binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in "
               "progress? [IP: 192.0.2.1 80]\n"
               "E: Some index files failed to download. They have been ignored, or old ones used instead.\n")
HELD_BROKEN = "E: Unable to correct problems, you have held broken packages.\n"

# The machine and its archive, played by every stand-in: the scenario is
# scenario.json beside it, the machine's state files there too.
STAND_IN = r'''#!/usr/bin/env python3
import json, os, subprocess, sys
here = os.path.dirname(os.path.abspath(__file__))
name, args = os.path.basename(sys.argv[0]), sys.argv[1:]
with open(os.path.join(here, "scenario.json")) as f:
    machine = json.load(f)
def state(kind):
    path = os.path.join(here, kind)
    return open(path).read().split() if os.path.exists(path) else []
def keep(kind, words):
    with open(os.path.join(here, kind), "w") as f:
        f.write("\n".join(words))
options, rest, i = {}, [], 0
while i < len(args):
    if args[i] in ("-o", "-t"):
        options[args[i] if args[i] == "-t" else args[i + 1].split("=")[0]] = \
            args[i + 1] if args[i] == "-t" else args[i + 1].split("=", 1)[1]
        i += 2
    else:
        rest.append(args[i])
        i += 1
def sources():
    """What apt would read for this call: its source files' text."""
    texts = []
    parts = options.get("Dir::Etc::SourceParts", os.path.join(here, "sources.list.d"))
    for path in [options.get("Dir::Etc::SourceList", os.path.join(here, "sources.list"))] + \
            [os.path.join(parts, n) for n in sorted(os.listdir(parts))]:
        if path and os.path.isfile(path):
            texts.append(open(path).read())
    return texts
with open(os.path.join(here, "calls"), "a") as f:
    f.write(json.dumps({"tool": name, "args": rest, "options": options,
                        "sources": sources() if name == "apt-get" else [],
                        "cwd": os.getcwd()}) + "\n")
if name == "id":
    print(0 if machine.get("root") else 1000)
elif name == "wine":
    if machine.get("wine") != "runs":
        sys.exit(machine.get("wine") or "wine: cannot execute: Exec format error")
elif name == "dpkg-query":
    package = rest[-1]
    status = "install ok installed" if package in state("installed") else \
        machine.get("status", {}).get(package)
    if status is None and package not in machine.get("missing", []):
        status = "install ok installed"
    if status is None:
        sys.exit("dpkg-query: no packages found matching " + package)
    print(status)
elif name == "dpkg":
    if rest == ["--print-foreign-architectures"]:
        print("\n".join(state("architectures")))
    elif rest[0] == "--add-architecture":
        keep("architectures", state("architectures") + [rest[1]])
    elif rest[0] == "--remove-architecture":
        keep("architectures", [a for a in state("architectures") if a != rest[1]])
    elif rest[0] == "--compare-versions":
        sys.exit(subprocess.run(["/usr/bin/dpkg"] + rest).returncode)
elif name == "apt-config":
    print("LIST='%s/sources.list'\nPARTS='%s/sources.list.d/'" % (here, here))
elif name == "apt-get":
    command = rest[[a.startswith("-") for a in rest].index(False)]
    packages = [a for a in rest[rest.index(command) + 1:] if not a.startswith("-")]
    if command == "indextargets":
        print(machine.get("indextargets", ""))
    elif command == "update":
        lists = options.get("Dir::State::Lists", os.path.join(here, "lists"))
        os.makedirs(lists, exist_ok=True)
        open(os.path.join(lists, "came_Packages"), "w").close()
        if machine.get("update") == "mirror sync":
            sys.stderr.write(MIRROR_SYNC)
            sys.exit(100)
    elif command == "install":
        i386 = "i386" in state("architectures")
        if any(p in machine.get("uninstallable", []) for p in packages) or \
                ("wine32" in packages and not i386):
            sys.exit("E: Unable to locate package " + packages[-1])
        if machine.get("held broken") and "-t" not in options:
            print("The following packages have unmet dependencies:\n"
                  " libunwind8:i386 : Depends: liblzma5:i386 but it is not going to be installed")
            sys.stderr.write(HELD_BROKEN)
            sys.exit(100)
        if "-s" not in rest:
            keep("installed", state("installed") + [p.split("/")[0] for p in packages])
    elif command == "source":
        if not any("deb-src" in text for text in sources()):
            sys.exit("E: You must put some 'deb-src' URIs in your sources.list")
        os.makedirs("benchmark-1.7.1", exist_ok=True)
        open("benchmark-1.7.1/CMakeLists.txt", "w").close()
'''.replace("MIRROR_SYNC", repr(MIRROR_SYNC)).replace("HELD_BROKEN", repr(HELD_BROKEN))


def etc_apt():
    """Every file under /etc/apt with its checksum."""
    sums = {}
    for folder, _, names in os.walk("/etc/apt"):
        for name in names:
            path = os.path.join(folder, name)
            if os.path.isfile(path):
                with open(path, "rb") as f:
                    sums[path] = hashlib.sha256(f.read()).hexdigest()
    return sums


class Machine:
    """A run of a copy of scripts/test on the machine a scenario describes."""

    def __init__(self, case, **scenario):
        folder = tempfile.TemporaryDirectory()
        case.addCleanup(folder.cleanup)
        self.top = folder.name
        self.tools = os.path.join(self.top, "tools")
        os.mkdir(self.tools)
        shutil.copytree(os.path.dirname(SCRIPT), os.path.join(self.top, "sources", "scripts"))
        with open(os.path.join(self.tools, "scenario.json"), "w") as f:
            json.dump(scenario, f)
        with open(os.path.join(self.tools, "stand_in"), "w") as f:
            f.write(STAND_IN)
        os.chmod(os.path.join(self.tools, "stand_in"), 0o755)
        for name in STAND_INS:
            os.symlink("stand_in", os.path.join(self.tools, name))
        with open(os.path.join(self.tools, "architectures"), "w") as f:
            f.write("\n".join(scenario.get("architectures", [])))
        os.mkdir(os.path.join(self.tools, "sources.list.d"))

    def file(self, name, text):
        """A file of the machine's, among its apt sources; its path."""
        path = os.path.join(self.tools, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def run(self, ci=True):
        env = dict(os.environ, PATH=self.tools + os.pathsep + os.environ["PATH"], APT_PAUSE="0")
        env.pop("CI", None)
        if ci:
            env["CI"] = "true"
        self.result = subprocess.run(["bash", os.path.join(self.top, "sources", "scripts", "test")],
                                     env=env, stdin=subprocess.DEVNULL, capture_output=True,
                                     timeout=60, text=True)
        with open(os.path.join(self.tools, "calls")) as made:
            self.calls = [json.loads(line) for line in made]
        return self.result

    def said(self):
        return self.result.stdout + self.result.stderr

    def ran(self, tool, *args):
        return [c for c in self.calls if c["tool"] == tool and list(args) == c["args"][:len(args)]]

    def state(self, kind):
        path = os.path.join(self.tools, kind)
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return f.read().split()


class TestScript(unittest.TestCase):
    def test_in_ci_a_run_without_the_32_bit_exe_fails(self):
        machine = Machine(self, wine="wine: could not exec the wine loader")
        run = machine.run()
        self.assertEqual(run.returncode, 1, run.stderr)
        self.assertIn("CI must run the tests of the 32-bit exe", run.stderr)
        self.assertTrue(machine.ran("ctest", "--preset", "win64"))

    def test_in_ci_a_run_of_the_32_bit_exe_passes_with_the_sanitizers(self):
        machine = Machine(self, wine="runs")
        run = machine.run()
        self.assertEqual(run.returncode, 0, run.stderr)
        for preset in ("native", "sanitize", "win32"):
            self.assertTrue(machine.ran("ctest", "--preset", preset), preset)
        self.assertFalse(machine.ran("ctest", "--preset", "win64"))
        self.assertEqual(run.stdout.splitlines()[-1], "Installed by this run: nothing.")


class Installs(unittest.TestCase):
    def test_as_root_what_is_missing_removed_or_on_its_way_out_is_installed(self):
        machine = Machine(self, wine="runs", root=True, missing=["wine32", "ninja-build"],
                          status={"lintian": "deinstall ok config-files",
                                  "strace": "deinstall ok installed"})
        run = machine.run()
        self.assertEqual(run.returncode, 0, machine.said())
        self.assertEqual(sorted(machine.state("installed")),
                         ["lintian", "ninja-build", "strace", "wine32"])
        self.assertEqual(machine.state("architectures"), ["i386"])
        self.assertIn("Installed by this run: ninja-build strace lintian; wine32.", run.stdout)

    def test_an_update_that_fails_on_one_index_is_tried_again_then_the_lists_that_came_serve(self):
        machine = Machine(self, wine="runs", root=True, missing=["wine32"], update="mirror sync")
        run = machine.run()
        self.assertEqual(run.returncode, 0, machine.said())
        self.assertEqual(machine.state("installed"), ["wine32"])
        self.assertEqual(len(machine.ran("apt-get", "-q", "update")), 3)
        failed = [line for line in machine.said().splitlines() if "binary-i386/Packages.xz" in line]
        self.assertEqual(len(failed), 1, machine.said())
        self.assertIn("Mirror sync in progress?", failed[0])

    def test_an_install_the_archive_cannot_resolve_is_tried_with_the_machines_release(self):
        machine = Machine(self, wine="runs", root=True, missing=["wine32", "wine"],
                          **{"held broken": True})
        run = machine.run()
        self.assertEqual(run.returncode, 0, machine.said())
        self.assertEqual(sorted(machine.state("installed")), ["wine", "wine32"])
        self.assertIn("with the target release bookworm", run.stdout)
        self.assertIn("held broken packages", run.stdout)

    def test_where_every_way_fails_it_says_what_was_tried_and_takes_i386_away_again(self):
        machine = Machine(self, wine="runs", root=True, missing=["wine32"], uninstallable=["wine32"])
        run = machine.run()
        self.assertEqual(run.returncode, 1, machine.said())
        self.assertIn("Skipping the Windows tests: apt-get could not install wine32: as the archive "
                      "stands (Unable to locate package wine32), nor with the target release bookworm",
                      run.stdout)
        self.assertEqual(machine.state("architectures"), [])
        self.assertEqual(machine.state("installed"), [])

    def test_without_root_nothing_is_installed_and_it_says_why(self):
        machine = Machine(self, wine="runs", missing=["ninja-build"])
        run = machine.run()
        self.assertIn("ninja-build missing, and installing needs root and apt-get", run.stderr)
        self.assertFalse(machine.ran("apt-get", "-q", "update"))


class Sources(unittest.TestCase):
    """Google Benchmark's source comes through a deb-src entry of the scripts'
    own, derived from the machine's Debian entry whichever form it is in,
    used for the commands that need it and written nowhere under /etc/apt."""

    def test_the_deb_src_entry_is_derived_from_debians_entry_not_a_third_partys(self):
        for root in (True, False):
            with self.subTest(root=root):
                machine = Machine(self, wine="runs", root=root)
                debian = machine.file("sources.list", "# the machine's\n\ndeb [arch=amd64 signed-by="
                                      "/usr/share/keyrings/debian-archive-keyring.gpg] "
                                      "http://mirror.invalid/debian bookworm main\n")
                docker = machine.file("sources.list.d/docker.sources",
                                      "Types: deb\nURIs: https://docker.invalid/linux/debian\n"
                                      "Suites: bookworm\nComponents: stable\n"
                                      "Signed-By: /etc/apt/keyrings/docker.asc\n")
                with open(os.path.join(machine.tools, "scenario.json"), "r+") as f:
                    scenario = json.load(f)
                    scenario["indextargets"] = (
                        "Docker|bookworm|deb|https://docker.invalid/linux/debian/|%s:1\n"
                        "Debian|bookworm-security|deb|http://mirror.invalid/debian-security/|%s:9\n"
                        "Debian|bookworm|deb|http://mirror.invalid/debian/|%s:3\n" % (docker, debian, debian))
                    f.seek(0)
                    json.dump(scenario, f)
                before = etc_apt()
                run = machine.run()
                self.assertEqual(run.returncode, 0, machine.said())
                [fetch] = machine.ran("apt-get", "-q", "source")
                self.assertEqual(fetch["sources"], ["", "Types: deb-src\n"
                                                        "URIs: http://mirror.invalid/debian/\n"
                                                        "Suites: bookworm\nComponents: main\n"
                                                        "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n"])
                self.assertTrue(fetch["options"]["Dir::State::Lists"].startswith(machine.top))
                self.assertIn("Google Benchmark's source 1.7.1-1", run.stdout.splitlines()[-1])
                self.assertEqual(etc_apt(), before)


class FallbackPreset(unittest.TestCase):
    """Where wine cannot run a 32-bit exe (a kernel with no IA-32 emulation),
    the win32 preset starts none of its tests under wine: each is skipped with
    the reason. Configured only, with a stand-in for Google Benchmark."""

    def test_no_test_runs_the_exe_under_a_wine_that_cannot(self):
        if not CMAKE or not shutil.which("i686-w64-mingw32-g++-posix"):
            self.skipTest("needs cmake and mingw-w64")
        build = tempfile.TemporaryDirectory()
        self.addCleanup(build.cleanup)
        wine = os.path.join(build.name, "wine")
        with open(wine, "w") as f:
            f.write("#!/bin/sh\necho 'wine: cannot execute: Exec format error' >&2\nexit 126\n")
        os.chmod(wine, 0o755)
        package = os.path.join(build.name, "benchmark-static", "lib", "cmake", "benchmark")
        os.makedirs(package)
        open(os.path.join(build.name, "benchmark-static", "lib", "libbenchmark.a"), "w").close()
        with open(os.path.join(package, "benchmarkConfig.cmake"), "w") as f:
            f.write("add_library(benchmark::benchmark INTERFACE IMPORTED)\n")
        source = os.path.dirname(os.path.dirname(os.path.abspath(SCRIPT)))
        subprocess.run([CMAKE, "-S", source, "-B", build.name, "--preset", "win32", "-DWINE=" + wine],
                       cwd=source, check=True, capture_output=True)
        shown = subprocess.run([os.path.join(os.path.dirname(CMAKE), "ctest"), "--show-only=json-v1"], cwd=build.name, check=True,
                               capture_output=True, text=True).stdout
        tests = json.loads(shown)["tests"]
        self.assertTrue(any(t["name"].startswith("bench") for t in tests), "no bench tests to check")
        under_wine = [t["name"] for t in tests if t.get("command", [""])[0] == wine and not any(
            p["name"] == "DISABLED" and p["value"] for p in t.get("properties", []))]
        self.assertEqual(under_wine, [])
        skipped = [t for t in tests if t["name"] == "wine"]
        self.assertIn("Exec format error", " ".join(skipped[0]["command"]))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--cmake")
    parser.add_argument("script")
    args, rest = parser.parse_known_args()
    SCRIPT, CMAKE = os.path.abspath(args.script), args.cmake
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
