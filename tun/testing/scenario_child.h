#pragma once
// Runs a namespace scenario in a child process, so that whatever it unshares, mounts or changes
// stays with the child, and fails the calling test when the child was killed or ended with a
// failed check. A scenario ends the child itself (`std::_Exit` with its result).

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

namespace pelto::tun::testing {

inline void expect_child_passes(const std::function<void()>& scenario)
{
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        scenario();
        std::_Exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the scenario was killed (signal or time-out)";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "see the failed check above";
}

// The same with a fresh directory "/tmp/<prefix>-XXXXXX" for the scenario, removed afterwards.
inline void expect_child_passes_in(const std::string& prefix,
                                   const std::function<void(const std::string& dir)>& scenario)
{
    std::string dir = "/tmp/" + prefix + "-XXXXXX";
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    expect_child_passes([&] { scenario(dir); });
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

}  // namespace pelto::tun::testing
