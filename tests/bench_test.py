#!/usr/bin/env python3
"""div100-bench's verdict in every way of reporting, lost output and flags it
cannot honour. The faults build stands in for a failing calibration on demand.
Usage: bench_test.py path/to/div100-bench path/to/bench_faults"""

import json
import os
import subprocess
import sys
import tempfile
import time
import unittest

BENCH = FAULTS = None
BRIEF = ["--benchmark_min_time=0.001"]
AGGREGATES = ["--benchmark_repetitions=2"]
CONTROL_ERROR = b"the calibration does not hold here"
QUICK = ["--benchmark_filter=divide/latency/n=123"]  # one row, not the control's


def run(args, program=None, fault=None, env=None, **kwargs):
    environment = {k: v for k, v in os.environ.items() if not k.startswith("BENCHMARK_")}
    environment.update(env or {})
    if fault:
        environment["DIV100_BENCH_FAULT"] = fault
    kwargs.setdefault("stdout", subprocess.PIPE)
    brief = [] if args == ["--version"] else BRIEF
    return subprocess.run([program or BENCH] + brief + args, env=environment, stderr=subprocess.PIPE,
                          timeout=120, check=False, **kwargs)


class Bench(unittest.TestCase):
    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.out = os.path.join(folder.name, "report")

    def assert_failed(self, result, why, status=1):
        self.assertEqual(result.returncode, status, result.stderr.decode(errors="replace"))
        lines = result.stderr.splitlines()
        self.assertTrue(lines and lines[-1].startswith(b"div100-bench: ") and why in lines[-1],
                        result.stderr.decode(errors="replace"))

    def test_a_failing_calibration_fails_the_run_whatever_is_shown(self):
        for mode in ([], AGGREGATES + ["--benchmark_report_aggregates_only=true"],
                     AGGREGATES + ["--benchmark_display_aggregates_only=true"],
                     ["--benchmark_filter=divide/latency"]):
            with self.subTest(mode=mode):
                result = run(mode, FAULTS, "calibration")
                self.assert_failed(result, CONTROL_ERROR)
                self.assertIn(b"verdict: fails", result.stderr)
                if not any(m.startswith("--benchmark_filter") for m in mode):
                    self.assertIn(b"control/imul/latency", result.stdout)
                    self.assertIn(b"ERROR OCCURRED", result.stdout)

    def test_a_clock_that_changed_fails_the_run(self):
        result = run(AGGREGATES + ["--benchmark_report_aggregates_only=true"], FAULTS, "clock")
        self.assert_failed(result, b"the core clock changed during the run")
        self.assertIn(b"verdict: fails", result.stderr)

    def test_every_report_file_carries_the_context_and_the_verdict(self):
        for env, args, shape in (({"BENCHMARK_OUT": "{}"}, [], "json"),
                                 ({}, ["--benchmark_out={}", "--benchmark_out_format=json"], "json"),
                                 ({"BENCHMARK_OUT_FORMAT": "console"}, ["--benchmark_out={}"], "console"),
                                 ({}, ["--benchmark_out={}", "--benchmark_out_format=csv"], "csv")):
            with self.subTest(env=env, args=args):
                env = {k: v.format(self.out) for k, v in env.items()}
                result = run([a.format(self.out) for a in args], FAULTS, "calibration", env)
                self.assert_failed(result, CONTROL_ERROR)
                with open(self.out, "rb") as report:
                    text = report.read()
                for expected in (b"core_cycles_per_tick_after", b"verdict", CONTROL_ERROR):
                    self.assertIn(expected, text)
                if shape == "json":
                    control = json.loads(text)["benchmarks"][0]
                    self.assertTrue(control["error_occurred"])
                elif shape == "console":
                    self.assertIn(b"ERROR OCCURRED", text)
                else:
                    self.assertRegex(text, rb'\n"control/imul/latency",[,]*true,"control [0-9.]+, expected 3')

    def test_output_that_cannot_be_written_fails_the_run_and_says_why(self):
        full, closed = b"No space left on device", b"Bad file descriptor"
        for args, kwargs, why in (([], {"stdout": open("/dev/full", "wb")}, full),
                                  ([], {"stdout": None, "preexec_fn": lambda: os.close(1)}, closed),
                                  (["--benchmark_out=/dev/full"], {}, full),
                                  (["--version"], {"stdout": open("/dev/full", "wb")}, full)):
            with self.subTest(args=args, kwargs=sorted(kwargs)):
                result = run(args, **kwargs)
                self.assert_failed(result, b"cannot write")
                self.assertTrue(result.stderr.rstrip().endswith(why), result.stderr)

    def test_a_flag_it_cannot_honour_is_refused(self):
        for args, env in ((["--benchmark_repetitions=-1"], {}), (["--benchmark_repetitions=0"], {}),
                          ([], {"BENCHMARK_REPETITIONS": "-1"}), (["--benchmark_format=xml"], {}),
                          (["--benchmark_out_format=xml"], {}), ([], {"BENCHMARK_FORMAT": "xml"}),
                          (["--benchmark_min_time=0"], {}), (["--benchmark_time_unit=h"], {})):
            with self.subTest(args=args, env=env):
                result = run(args, env=env)
                self.assert_failed(result, b"", status=2)
                self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)

    def test_the_context_says_what_the_kernel_says_of_the_hypervisor(self):
        with open("/proc/cpuinfo") as info:
            flags = next(line for line in info if line.startswith("flags")).split()
        result = run(["--benchmark_filter=control", "--benchmark_format=json"])
        context = json.loads(result.stdout)["context"]
        self.assertEqual(context["hypervisor"], "yes" if "hypervisor" in flags else "no")

    def test_the_control_is_judged_by_what_its_core_is_expected_to_read(self):
        """Stubbed: CPUID names AMD family 0x15 (whose IMUL takes 4 cycles) or
        a Pentium 4, and the bench's own control reads as asked."""
        piledriver = "cpu=AuthenticAMD/15/02,control="
        result = run(QUICK, FAULTS, piledriver + "4.01")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(b"verdict: holds: the control within 10 % of 4 cycles, expected on this core "
                      b"(Bulldozer or Piledriver)", result.stderr)
        result = run(QUICK, FAULTS, piledriver + "3.00")
        self.assert_failed(result, b"control 3.00, expected 4 on this core (Bulldozer or Piledriver)")
        started = time.monotonic()
        result = run(QUICK, FAULTS, "cpu=GenuineIntel/F/04")
        self.assert_failed(result, b"on this core (Pentium 4 (NetBurst)) a dependent ADD is not one core cycle")
        self.assertEqual(result.stdout, b"", "measured something")
        self.assertLess(time.monotonic() - started, 1)

    def test_what_it_cannot_honour_is_refused_at_once_with_2(self):
        for args, env in ((["--benchmark_context=verdict=holds"], {}),
                          ([], {"BENCHMARK_CONTEXT": "control=3"}),
                          (["--v=abc"], {}), (["--benchmark_min_warmup_time=abc"], {}),
                          (["--benchmark_min_time=100x"], {})):
            with self.subTest(args=args, env=env):
                started = time.monotonic()
                result = run(args, env=env)
                self.assertLess(time.monotonic() - started, 1)
                self.assert_failed(result, b"expected", status=2)

    def test_a_row_is_never_the_least_of_a_handful_of_samples(self):
        for args in (["--benchmark_min_time=1e-9"], ["--benchmark_min_time=0.01s"]):
            with self.subTest(args=args):
                result = run(["--benchmark_filter=control", "--benchmark_format=json"] + args)
                self.assertEqual(result.returncode, 0, result.stderr)
                control = json.loads(result.stdout)["benchmarks"][0]
                self.assertGreaterEqual(control["samples"], 200)
                self.assertAlmostEqual(control["cycles/op"], 3, delta=0.3)

    def test_compare_py_and_the_benchs_own_comparison_follow_the_cycles(self):
        """Two runs: Google Benchmark's compare.py reads the change of each
        row's time as the change of its cycles, whatever the core clock did
        between the runs, and the bench's own comparison finds no change in a
        run against itself and the change of one row made 25 % slower."""
        reports = []
        for i in range(2):
            reports.append(self.out + str(i))
            result = run(["--benchmark_filter=reciprocal|divide/throughput", "--benchmark_repetitions=3",
                          "--benchmark_out=" + reports[-1]], stdout=subprocess.DEVNULL)
            self.assertEqual(result.returncode, 0, result.stderr)
        runs = []
        for path in reports:
            with open(path) as report:
                runs.append(json.load(report)["benchmarks"])
        compare_py = "/usr/share/benchmark/compare.py"
        if os.path.exists(compare_py) and subprocess.run(["/usr/bin/python3", "-c", "import scipy"]).returncode == 0:
            dump = self.out + ".compare"
            subprocess.run(["/usr/bin/python3", compare_py, "-d", dump, "benchmarks", *reports],
                           check=True, capture_output=True)
            with open(dump) as compared:
                rows = {r["name"]: r for r in json.load(compared)}
            for before, after in zip(*runs):
                if before["run_type"] != "iteration":
                    continue
                cycles = after["cycles/op"] / before["cycles/op"] - 1
                times = [m["time"] for m in rows[before["name"]]["measurements"]]
                with self.subTest(row=before["name"]):
                    self.assertTrue(any(abs(t - cycles) < 0.001 for t in times), (times, cycles))
        slower = json.loads(json.dumps({"benchmarks": runs[0]}))
        for row in slower["benchmarks"]:
            if row["run_name"] == "reciprocal/throughput":
                row["cycles/op"] *= 1.25
        with open(self.out + ".slower", "w") as report:
            json.dump(slower, report)
        same = subprocess.run([BENCH, "--compare", reports[0], reports[0]], capture_output=True)
        self.assertEqual(same.returncode, 0, same.stdout)
        self.assertNotIn(b"changed\n", same.stdout)
        changed = subprocess.run([BENCH, "--compare", reports[0], self.out + ".slower"],
                                 capture_output=True)
        self.assertEqual(changed.returncode, 1, changed.stdout)
        lines = [line for line in changed.stdout.decode().splitlines() if line.endswith("changed")]
        self.assertEqual([line.split()[0] for line in lines], ["reciprocal/throughput"])

    def test_a_filter_that_matches_nothing_fails(self):
        self.assertEqual(run(["--benchmark_filter=no-such-row"]).returncode, 1)


if __name__ == "__main__":
    BENCH, FAULTS = sys.argv[1:3]
    unittest.main(argv=sys.argv[:1], verbosity=2)
