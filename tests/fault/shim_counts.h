// shim_counts.h: what the fault shim (fault_shim.c) tells a test about a run: how many calls of
// each kind it made, from the file named by VELTO_FAULT_COUNTS.
#ifndef VELTO_TESTS_SHIM_COUNTS_H
#define VELTO_TESTS_SHIM_COUNTS_H

#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include "files.h"

namespace velto_test {

using call_counts = std::map<std::string, long>;

// The counts the shim wrote at exit, "<call> <count>" a line; empty when it wrote none.
inline call_counts read_call_counts(const std::filesystem::path& file) {
    call_counts counts;
    std::istringstream in(read_file(file).value_or(""));
    std::string name;
    long count = 0;
    while (in >> name >> count) counts[name] = count;
    return counts;
}

}  // namespace velto_test

#endif  // VELTO_TESTS_SHIM_COUNTS_H
