#!/usr/bin/env python3
"""The machine code of the built tool, read back with objdump: the sample
framing, the two kernels, the aligned sampling loops and the check block;
and with --bench, the timed loop of each row of div100-bench.
Usage: machine_code_test.py --objdump OBJDUMP [--bench div100-bench] path/to/div100[.exe]"""

import argparse
import collections
import re
import subprocess
import sys
import unittest

ARGS = None
SERIALISE = ["xor %eax,%eax", "cpuid"]
FRAME_OPEN = SERIALISE + ["rdtsc", "mov %eax,M", "mov %edx,M"] + SERIALISE
FRAME_CLOSE = SERIALISE + ["rdtsc", "sub M,%eax", "sbb M,%edx",
                           "cmp M,%edx", "ja", "jb", "cmp M,%eax", "jae", "mov %eax,M", "mov %edx,M",
                           "decl M", "jne"]
KERNELS = {
    "0": ["xor %edx,%edx", "mov $0x7b,%eax", "mov $0x64,%ecx", "div %ecx"],
    "1": ["mov $0xa3d70a3d,%ecx", "add $0x1,%eax", "mul %ecx", "shr $0x6,%edx"],
}
REG32 = r"%(?:e[a-z]{2}|r\d+d)"
# One check: the reciprocal of n (ADD 1, the 32-bit MUL, SHR 6) kept aside,
# DIV of 0:n (EDX zeroed either way) compared with it, one branch out.
CHECK = re.compile(
    r"mov (?P<n>{r}),%eax; add \$0x1,%eax; mul (?P<m>{r}); shr \$0x6,%edx; mov %edx,(?P<q>{r}); "
    r"mov (?P=n),%eax; (?:xor %edx,%edx|mov \$0x0,%edx); div (?P<d>{r}); cmp %eax,(?P=q); "
    r"jne(?=;|$)".format(r=REG32))


class Insn:
    def __init__(self, address, text):
        self.address = address
        text = text.split("#")[0].strip()
        mnemonic, _, operands = text.partition(" ")
        self.mnemonic = mnemonic
        self.target = None
        self.jump = mnemonic.startswith("j")
        if self.jump:
            direct = re.match(r"[0-9a-f]+\b", operands.strip())
            self.target = int(direct.group(0), 16) if direct else None
            self.shape = mnemonic
        else:
            self.shape = (mnemonic + " " + ",".join(normal(op) for op in split(operands.strip()))).strip()

    def branches(self):
        return self.jump and self.target is not None and self.mnemonic != "jmp"


def split(operands):
    parts, depth, current = [], 0, ""
    for char in operands:
        depth += char == "("
        depth -= char == ")"
        if char == "," and depth == 0:
            parts.append(current)
            current = ""
        else:
            current += char
    return parts + [current] if current else parts


def normal(operand):
    """Registers and immediates stay, memory operands become M."""
    return operand if re.fullmatch(r"\$0x[0-9a-f]+|%[a-z0-9]+", operand) else "M"


def disassemble(binary):
    listing = subprocess.run([ARGS.objdump, "-d", "-C", "--no-show-raw-insn", binary],
                             check=True, stdout=subprocess.PIPE, text=True).stdout
    functions, current = {}, None
    for line in listing.splitlines():
        header = re.match(r"^[0-9a-f]+ <(.+)>:$", line)
        insn = re.match(r"^\s+([0-9a-f]+):\t(.+)$", line)
        if header:
            current = functions.setdefault(header.group(1), [])
        elif insn and current is not None:
            current.append(Insn(int(insn.group(1), 16), insn.group(2)))
    return functions


def find(functions, pattern):
    found = {match.group(1) if match.groups() else name: body for name, body in functions.items()
             for match in [re.search(pattern, name)] if match}
    assert found, "no function like %s" % pattern
    return found


class TimingHarness(unittest.TestCase):
    def test_each_kernel_is_timed_by_two_aligned_loops_with_the_same_framing(self):
        functions = find(FUNCTIONS, r"time_kernel<\(kernel\)([01])>")
        self.assertEqual(sorted(functions), ["0", "1"])
        for kernel, body in functions.items():
            with self.subTest(kernel=kernel):
                loops = [(i, body.index(next(x for x in body if x.address == insn.target)))
                         for i, insn in enumerate(body) if insn.branches() and insn.target <= insn.address]
                self.assertEqual(len(loops), 2, "one calibration loop and one measurement loop")
                for end, head in loops:
                    self.assertEqual(body[head].address % 16, 0, "loop head at %x" % body[head].address)
                shapes = [[x.shape for x in body[head:end + 1]] for end, head in loops]
                self.assertEqual(shapes[0], FRAME_OPEN + FRAME_CLOSE)
                self.assertEqual(shapes[1], FRAME_OPEN + KERNELS[kernel] + FRAME_CLOSE)
                before = [x.shape for x in body[:loops[0][1]]]
                self.assertEqual(before.count("cpuid"), 3)
                start = before.index("cpuid") - 1
                self.assertEqual(before[start:start + 6], SERIALISE * 3)


class CheckBlock(unittest.TestCase):
    def test_one_block_of_a_thousand_inline_checks_with_one_forward_branch_each(self):
        copies = {name: n for name, body in FUNCTIONS.items()
                  for n in [len(CHECK.findall("; ".join(x.shape for x in body)))] if n}
        self.assertEqual(copies, {"check_block(unsigned int)": 1000}, "one copy, out of line")
        body = FUNCTIONS["check_block(unsigned int)"]
        branches = [i for i, x in enumerate(body) if x.jump]
        self.assertEqual(len(branches), 1000)
        self.assertTrue(all(body[i].branches() and body[i].target > body[i].address for i in branches))
        self.assertEqual(len({body[i].target for i in branches}), 1, "one way out")
        self.assertEqual(sum(x.mnemonic == "mul" for x in body), 1000)
        self.assertEqual(sum(x.mnemonic == "div" for x in body), 1000)
        registers = set()
        for number, end in enumerate(branches):
            check = CHECK.search("; ".join(x.shape for x in body[max(0, end - 9):end + 1]))
            self.assertIsNotNone(check, "check %d" % number)
            registers.add((check.group("m"), check.group("d")))
        self.assertEqual(len(registers), 1)
        multiplier, divisor = registers.pop()
        setup = [x.shape for x in body[:branches[0] - 9]]
        self.assertIn("mov $0xa3d70a3d,%s" % multiplier, setup)
        self.assertIn("mov $0x64,%s" % divisor, setup)


# One step of each bench row's timed loop, registers as R and the latency
# chains' XOR keys as $K: the chain's step (the sequence, the move of its
# result into the next dividend's register, the XOR), or one independent
# dividend (its load and the sequence). With fewer registers, i686 may keep a
# loop's count in memory and load a sequence's constant once a loop.
BENCH_STEPS = {
    "multiply/latency": ["imul R,R", "xor $K,R"],  # the latency control
    "mul32/throughput": ["mov M,R", "mul R"],  # the throughput control: the reciprocal's MUL
    "divide/latency": ["mov R,R", "div R", "xor $K,R"],
    "reciprocal/latency": ["add $0x1,R", "mul R", "shr $0x6,R", "mov R,R", "xor $K,R"],
    "divide/throughput": ["mov M,R", "mov R,R", "div R"],
    "reciprocal/throughput": ["mov M,R", "add $0x1,R", "mul R", "shr $0x6,R"],
}
# The compiler's rows are whatever it makes of n / 100u: a step is one
# multiplication and one shift right (a 64-bit IMUL on x86-64, the 32-bit MUL
# on i686, as g++ 12 chooses), never a divide, and at most a few moves or
# loads besides; a latency step also has its XOR.
COMPILER_ROWS = ("compiler/latency", "compiler/throughput")
COMPILER_STEP_MOST = 5
BENCH_UNROLL = 64
# Besides the steps, a loop holds its count and branch, and at most two
# moves where the chain enters and leaves its register.
LOOP_CONTROLS = [collections.Counter({"sub $0x1,R": 1, "jne": 1}),
                 collections.Counter({"subl $0x1,M": 1, "jne": 1})]
SEAM_MOVES = 2


def bench_shape(insn):
    shape = re.sub(r"%[a-z0-9]+", "R", insn.shape)
    return re.sub(r"^xor \$0x[0-9a-f]+,", "xor $K,", shape)


class BenchRows(unittest.TestCase):
    def timed_loop(self, body):
        """The one loop between the first two fenced counter reads."""
        shapes = [x.shape for x in body]
        reads = [i for i in range(len(shapes) - 2) if shapes[i:i + 3] == ["lfence", "rdtsc", "lfence"]]
        region = body[reads[0] + 3:reads[1]]
        addresses = [x.address for x in region]
        loops = [(addresses.index(x.target), end) for end, x in enumerate(region)
                 if x.branches() and x.target in addresses and x.target <= x.address]
        self.assertEqual(len(loops), 1)
        head, end = loops[0]
        return collections.Counter(bench_shape(x) for x in region[head:end + 1])

    def test_each_row_times_64_steps_of_its_sequence_and_nothing_else(self):
        if not ARGS.bench:
            self.skipTest("no bench")
        rows = collections.defaultdict(list)
        for name, body in disassemble(ARGS.bench).items():
            row = re.search(r"namespace\)::(latency|throughput)<&"
                            r"(?:\(anonymous namespace\)::|\()?(\w+)", name)
            if row and "[clone" not in name:
                rows[row.group(2) + "/" + row.group(1)].append(body)
        i686 = "i386:x86-64" not in subprocess.run([ARGS.objdump, "-f", ARGS.bench], check=True,
                                                   stdout=subprocess.PIPE, text=True).stdout
        self.assertEqual(sorted(rows), sorted([*BENCH_STEPS, *COMPILER_ROWS]))
        for row, bodies in rows.items():
            for body in bodies:
                with self.subTest(row=row):
                    loop = self.timed_loop(body)
                    if row in COMPILER_ROWS:
                        self.assert_compiler_steps(loop, row.endswith("latency"))
                        continue
                    step = collections.Counter(BENCH_STEPS[row])
                    steps = collections.Counter({s: n * BENCH_UNROLL for s, n in step.items()})
                    self.assertEqual(steps - loop, collections.Counter(), "steps missing")
                    rest = loop - steps
                    control = [c for c in LOOP_CONTROLS if c - rest == collections.Counter()]
                    self.assertTrue(control, "no loop count and branch in %s" % rest)
                    rest -= control[0]
                    self.assertLessEqual(rest["mov R,R"], SEAM_MOVES, rest)
                    del rest["mov R,R"]
                    constants = [s for s in rest if i686 and re.fullmatch(r"mov \$0x[0-9a-f]+,R", s)]
                    self.assertLessEqual(sum(rest[s] for s in constants), 1, rest)
                    for constant in constants:
                        del rest[constant]
                    self.assertEqual(rest, collections.Counter(), "more than the steps")

    def assert_compiler_steps(self, loop, latency):
        kinds = collections.Counter()
        for shape, count in loop.items():
            mnemonic = shape.split()[0]
            kinds[{"imul": "multiply", "mul": "multiply", "mull": "multiply", "shr": "shift",
                   "div": "divide", "divl": "divide"}.get(mnemonic, mnemonic)] += count
        self.assertEqual((kinds["multiply"], kinds["shift"], kinds["divide"]), (BENCH_UNROLL, BENCH_UNROLL, 0))
        if latency:
            self.assertEqual(loop["xor $K,R"], BENCH_UNROLL)
        self.assertLessEqual(sum(loop.values()), BENCH_UNROLL * COMPILER_STEP_MOST, loop)


class WindowsImports(unittest.TestCase):
    def test_the_exe_needs_only_what_every_windows_has(self):
        if not ARGS.binary.endswith(".exe"):
            self.skipTest("not a Windows exe")
        headers = subprocess.run([ARGS.objdump, "-p", ARGS.binary], check=True,
                                 stdout=subprocess.PIPE, text=True).stdout
        dlls = sorted(re.findall(r"DLL Name: (\S+)", headers), key=str.lower)
        self.assertEqual(dlls, ["KERNEL32.dll", "msvcrt.dll"])


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--objdump", default="objdump")
    parser.add_argument("--bench")
    parser.add_argument("binary")
    ARGS, rest = parser.parse_known_args()
    FUNCTIONS = disassemble(ARGS.binary)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
