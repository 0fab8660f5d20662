// Defaults every benchmark here runs with on a shared machine: a few short repetitions,
// interleaved so that a burst of load from elsewhere does not land on one benchmark only. Flags
// given on the command line come later and win.
#pragma once

#include <string>
#include <vector>

// argv with the defaults put in front of the caller's flags; `min_time` in seconds, as text. The
// strings live in `storage`, which must outlive the result.
inline std::vector<char*> bench_arguments(int argc, char** argv, const char* min_time,
                                          std::vector<std::string>& storage) {
    storage = {"--benchmark_repetitions=5", "--benchmark_enable_random_interleaving=true",
               std::string("--benchmark_min_time=") + min_time};
    std::vector<char*> args(argv, argv + argc);
    std::vector<char*> defaults;
    for (std::string& flag : storage) defaults.push_back(flag.data());
    args.insert(args.begin() + 1, defaults.begin(), defaults.end());
    return args;
}
