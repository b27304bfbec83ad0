#include "flags.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "context.h"

namespace {

// Google Benchmark from 1.8 on reads a minimum time as "0.5s" or as an
// iteration count, "100x"; before, as seconds alone.
#if DIV100_BENCHMARK_MIN_TIME_FORMS
constexpr bool LIBRARY_TAKES_FORMS = true;
#else
constexpr bool LIBRARY_TAKES_FORMS = false;
#endif

bool whole(const std::string& text, long least) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && errno == 0 && value >= least &&
           value <= std::numeric_limits<std::int32_t>::max();
}
bool whole_from_1(const std::string& text) { return whole(text, 1); }
bool any_whole(const std::string& text) {
    return whole(text, std::numeric_limits<std::int32_t>::min());
}

bool seconds(const std::string& text, bool zero_too) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && std::isfinite(value) &&
           (value > 0 || (zero_too && value == 0));
}
bool seconds_from_0(const std::string& text) { return seconds(text, true); }

// A minimum time: seconds above 0, "0.5s", and where the library reads it,
// "100x".
bool min_time(const std::string& text) {
    if (!text.empty() && text.back() == 's') return seconds(text.substr(0, text.size() - 1), false);
    if (!text.empty() && text.back() == 'x') {
        return LIBRARY_TAKES_FORMS && whole(text.substr(0, text.size() - 1), 1);
    }
    return seconds(text, false);
}

bool truth(const std::string& text) {
    std::string lower;
    for (const char c : text)
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const char* word :
         {"", "true", "false", "yes", "no", "on", "off", "1", "0", "t", "f", "y", "n"}) {
        if (lower == word) return true;
    }
    return false;
}
bool report_format(const std::string& text) {
    return text == "console" || text == "json" || text == "csv";
}
bool time_unit(const std::string& text) {
    return text.empty() || text == "ns" || text == "us" || text == "ms" || text == "s";
}
bool not_empty(const std::string& text) { return !text.empty(); }
bool empty(const std::string& text) { return text.empty(); }
bool anything(const std::string&) { return true; }

// key=value pairs, none of them one of the bench's own keys.
bool context(const std::string& text) {
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t end = std::min(text.find(',', at), text.size());
        const std::string pair = text.substr(at, end - at);
        const std::size_t equals = pair.find('=');
        if (equals == std::string::npos || pair.find('=', equals + 1) != std::string::npos)
            return false;
        for (const char* own : CONTEXT_KEYS) {
            if (pair.compare(0, equals, own) == 0 && std::strlen(own) == equals) return false;
        }
        at = end + 1;
    }
    return true;
}

struct flag_rule {
    const char* name;
    bool (*valid)(const std::string&);
    const char* expected;
    bool value_optional;  // "--name" alone is "--name=true"
};

constexpr flag_rule FLAG_RULES[] = {
    {"benchmark_list_tests", truth, "true or false", true},
    {"benchmark_filter", anything, "", false},
    {"benchmark_min_time", min_time,
     LIBRARY_TAKES_FORMS
         ? "seconds above 0 (0.5 or 0.5s), or iterations (100x)"
         : "seconds above 0 (0.5 or 0.5s; this build's Google Benchmark counts no iterations)",
     false},
    {"benchmark_min_warmup_time", seconds_from_0, "seconds from 0 on", false},
    {"benchmark_repetitions", whole_from_1, "a whole number from 1 on", false},
    {"benchmark_enable_random_interleaving", truth, "true or false", true},
    {"benchmark_report_aggregates_only", truth, "true or false", true},
    {"benchmark_display_aggregates_only", truth, "true or false", true},
    {"benchmark_format", report_format, "console, json or csv", false},
    {"benchmark_out", anything, "", false},
    {"benchmark_out_format", report_format, "console, json or csv", false},
    {"benchmark_color", not_empty, "auto, true or false", false},
    {"benchmark_counters_tabular", truth, "true or false", true},
    {"benchmark_perf_counters", empty, "nothing: this build reads no performance counters", false},
    {"benchmark_context", context,
     "key=value pairs, none of the bench's own keys (core, control, verdict, ...)", false},
    {"benchmark_time_unit", time_unit, "ns, us, ms or s", false},
    {"v", any_whole, "a whole number", false},
};

std::string variable_of(const char* name) {
    std::string variable = name;
    for (char& c : variable) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return variable;
}

// "0.5s" as the library reads a minimum time where it takes seconds alone.
std::string as_the_library_reads(const flag_rule& rule, const std::string& value) {
    if (!LIBRARY_TAKES_FORMS && rule.valid == min_time && !value.empty() && value.back() == 's') {
        return value.substr(0, value.size() - 1);
    }
    return value;
}

}  // namespace

flags read_flags(int argc, char** argv, char** environment, double least_min_seconds) {
    flags read;
    read.out_format = "json";
    read.arguments.push_back(argc > 0 ? argv[0] : "div100-bench");
    bool out_given = false;
    bool format_given = false;
    bool min_time_given = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help") {
            read.arguments.push_back(argument);
            continue;
        }
        const flag_rule* rule = nullptr;
        std::string value;
        for (const flag_rule& candidate : FLAG_RULES) {
            const std::string lead = std::string("--") + candidate.name;
            if (argument == lead && candidate.value_optional) {
                rule = &candidate;
            } else if (argument.compare(0, lead.size() + 1, lead + "=") == 0) {
                rule = &candidate;
                value = argument.substr(lead.size() + 1);
            }
            if (rule != nullptr) break;
        }
        if (rule == nullptr) {
            read.refusal = argument + ": not a flag div100-bench takes (--help lists them)";
            return read;
        }
        if (!rule->valid(value)) {
            read.refusal = argument + ": expected " + rule->expected;
            return read;
        }
        const std::string taken = as_the_library_reads(*rule, value);
        read.arguments.push_back(taken == value ? argument
                                                : std::string("--") + rule->name + "=" + taken);
        if (rule->valid == min_time) {
            read.min_time_asked = value;
            min_time_given = true;
        }
        if (std::strcmp(rule->name, "benchmark_out") == 0) {
            read.out = value;
            out_given = true;
        }
        if (std::strcmp(rule->name, "benchmark_out_format") == 0) {
            read.out_format = value;
            format_given = true;
        }
    }
    // The variables the library reads where no argument gives the flag.
    for (char** entry = environment; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::size_t equals = text.find('=');
        for (const flag_rule& rule : FLAG_RULES) {
            if (text.compare(0, equals, variable_of(rule.name)) != 0 ||
                variable_of(rule.name).size() != equals) {
                continue;
            }
            const std::string value = text.substr(equals + 1);
            if (!rule.valid(value)) {
                read.refusal = text + ": expected " + rule.expected;
                return read;
            }
            const std::string taken = as_the_library_reads(rule, value);
            if (taken != value) {
                read.arguments.insert(read.arguments.begin() + 1,
                                      std::string("--") + rule.name + "=" + taken);
            }
            if (rule.valid == min_time && !min_time_given) read.min_time_asked = value;
            if (std::strcmp(rule.name, "benchmark_out") == 0 && !out_given) read.out = value;
            if (std::strcmp(rule.name, "benchmark_out_format") == 0 && !format_given) {
                read.out_format = value;
            }
        }
    }
    // Last, so that it stands over both forms.
    if (!read.min_time_asked.empty() && read.min_time_asked.back() != 'x' &&
        std::strtod(read.min_time_asked.c_str(), nullptr) < least_min_seconds) {
        read.min_time_raised = true;
        char least[32];
        std::snprintf(least, sizeof least, "%g", least_min_seconds);
        read.arguments.push_back(std::string("--benchmark_min_time=") + least);
    }
    return read;
}
