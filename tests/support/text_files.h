#pragma once
// Small file and shell helpers for the Linux tests that look at the system from outside.

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace pelto::testing {

// The whole file, or empty when it cannot be read.
inline std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void write_file(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// Runs a shell command and returns its standard output (empty when it cannot be started).
inline std::string run(const std::string& command)
{
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, p) != nullptr) {
            out += buffer;
        }
        pclose(p);
    }
    return out;
}

}  // namespace pelto::testing
