#pragma once
// The flags of Google Benchmark that div100-bench passes on, each with the
// values it takes, checked before the library sees them, as arguments and as
// their BENCHMARK_... variables: a flag the bench does not know, or a value
// it cannot honour, is refused before anything is measured. A table, and a
// parser that a test can run in-process.
#include <string>
#include <vector>

struct flags {
    // The one line that refuses them (without the program's name); empty
    // where every flag can be honoured.
    std::string refusal;
    // The arguments as the library takes them (argv[0] first): a form of a
    // value this library does not read rewritten (0.5s as 0.5), in an
    // argument or in a variable (whose value then comes as an argument
    // before the others, which still override it).
    std::vector<std::string> arguments;
    // Whether a minimum time below the least one was raised to it, and what
    // was asked.
    bool min_time_raised = false;
    std::string min_time_asked;
    // The report file and its format, as the library will read them.
    std::string out;
    std::string out_format;
};

// environment: "NAME=value" texts, as environ holds them, ended by nullptr.
// A minimum time of a row in seconds below least_min_seconds is raised to it.
flags read_flags(int argc, char** argv, char** environment, double least_min_seconds);
