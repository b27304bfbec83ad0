// div100-exact: for any divisor d, whether a multiply-by-reciprocal
// sequence ((n + a) * m) >> s is n / d for every 32-bit n, where it first is
// not, and which sequences are exact, proved by reasoning (exact.h) in well
// under a millisecond, and tried on the machine where asked (sweep.h).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "answer.h"
#include "exact.h"
#include "sweep.h"

namespace {

constexpr int EXIT_EXACT = 0;
constexpr int EXIT_NOT_EXACT = 1;
constexpr int EXIT_BAD_ARGUMENT = 2;

constexpr char USAGE[] =
    "Usage: div100-exact DIVISOR [MULTIPLIER SHIFT [INCREMENT]] [--wide | --saturate]\n"
    "                    [--sweep] [--json]\n"
    "\n"
    "Whether ((n + INCREMENT) * MULTIPLIER) >> SHIFT is n / DIVISOR for every 32-bit\n"
    "n, and the first n where it is not, by reasoning over residues or quotients;\n"
    "and the sequences that are exact for DIVISOR, with their machine code. With\n"
    "DIVISOR alone, those sequences. The tool's own: div100-exact 100 0xA3D70A3D 38 1.\n"
    "\n"
    "  DIVISOR     1 to 4294967295\n"
    "  MULTIPLIER  0 to 18446744073709551615 (2^64 - 1)\n"
    "  SHIFT       0 to 63\n"
    "  INCREMENT   0 or 1 (0 if not given); n + 1 is taken in 32 bits, wrapping to 0\n"
    "              at 4294967295 as an ADD does, unless one of:\n"
    "  --wide      n + 1 in 64 bits\n"
    "  --saturate  n + 1 saturating at 4294967295 (ADD 1, then SBB 0)\n"
    "  --sweep     also try every n on every core, and say whether that agrees\n"
    "  --json      the answer as JSON\n"
    "  -h, --help     print this and exit\n"
    "  -V, --version  print the version and exit\n"
    "\n"
    "Numbers are decimal, or hexadecimal after 0x.\n"
    "Exit status: 0 exact (or DIVISOR alone), 1 not exact, a sweep that disagrees\n"
    "or output that cannot be written, 2 a bad argument.\n";

[[noreturn]] void refuse(const std::string& why) {
    std::fprintf(stderr, "div100-exact: %s\n%s", why.c_str(), USAGE);
    std::exit(EXIT_BAD_ARGUMENT);
}

// A whole number from 0 to most, decimal or hexadecimal after 0x; what is
// wrong with it where it is not one.
std::uint64_t whole(const char* what, const char* text, std::uint64_t least, std::uint64_t most,
                    const char* range) {
    const bool hex = std::strncmp(text, "0x", 2) == 0 || std::strncmp(text, "0X", 2) == 0;
    const char* digits = hex ? text + 2 : text;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(digits, &end, hex ? 16 : 10);
    if (*digits == '\0' || *end != '\0' || digits[0] == '-' || digits[0] == '+' ||
        std::strchr(" \t\n", digits[0]) != nullptr) {
        refuse(std::string(what) + " " + text + ": not a number");
    }
    if (errno == ERANGE || value < least || value > most) {
        refuse(std::string(what) + " " + text + ": expected " + range);
    }
    return value;
}

int print(const std::string& text) {
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
        std::fflush(stdout) == 0) {
        return 0;
    }
    std::fprintf(stderr, "div100-exact: cannot write the output: %s\n",
                 std::strerror(errno != 0 ? errno : EIO));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<const char*> numbers;
    bool wide_increment = false, saturating = false, do_sweep = false, json = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "-h" || argument == "--help") return print(USAGE);
        if (argument == "-V" || argument == "--version") {
            return print("div100-exact " DIV100_VERSION "\n");
        }
        if (argument == "--wide") {
            wide_increment = true;
        } else if (argument == "--saturate") {
            saturating = true;
        } else if (argument == "--sweep") {
            do_sweep = true;
        } else if (argument == "--json") {
            json = true;
        } else if (argument.size() > 1 && argument[0] == '-' &&
                   (argument[1] < '0' || argument[1] > '9')) {
            refuse("unknown option: " + argument);
        } else {
            numbers.push_back(argv[i]);
        }
    }
    if (numbers.empty()) refuse("a divisor is needed");
    if (numbers.size() == 2) refuse("a multiplier needs its shift");
    if (numbers.size() > 4) refuse(std::string("too many numbers: ") + numbers[4]);
    if (wide_increment && saturating) refuse("--wide and --saturate: one or the other");
    answer said;
    said.divisor = static_cast<std::uint32_t>(
        whole("divisor", numbers[0], 1, LARGEST_DIVISOR, "1 to 4294967295"));
    said.exact = exact_for(said.divisor);
    if (numbers.size() >= 3) {
        said.checked = true;
        said.asked.divisor = said.divisor;
        said.asked.multiplier = whole("multiplier", numbers[1], 0, ~std::uint64_t{0},
                                      "0 to 18446744073709551615 (2^64 - 1)");
        said.asked.shift = static_cast<unsigned>(whole("shift", numbers[2], 0, 63, "0 to 63"));
        const bool incremented =
            numbers.size() == 4 && whole("increment", numbers[3], 0, 1, "0 or 1") == 1;
        said.asked.add = !incremented     ? increment::none
                         : wide_increment ? increment::wide64
                         : saturating     ? increment::saturate
                                          : increment::wrap;
        if (!incremented && (wide_increment || saturating)) {
            refuse("--wide and --saturate take an increment of 1");
        }
        said.reasoned = check(said.asked);
        if (do_sweep) {
            said.swept = true;
            said.machine = sweep(said.asked);
        }
    } else if (do_sweep || wide_increment || saturating) {
        refuse("--sweep, --wide and --saturate take a sequence to check");
    }
    if (print(json ? as_json(said) : as_text(said)) != 0) return EXIT_NOT_EXACT;
    if (!said.checked) return EXIT_EXACT;
    const bool agrees =
        !said.swept ||
        (said.machine.first.found == said.reasoned.first.found &&
         (!said.machine.first.found || said.machine.first.n == said.reasoned.first.n));
    return !said.reasoned.first.found && agrees ? EXIT_EXACT : EXIT_NOT_EXACT;
}
