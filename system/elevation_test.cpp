#include "system/elevation.h"

#include <gtest/gtest.h>

#ifndef _WIN32

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace pelto {
namespace {

// Stand-ins for pkexec: each is a small shell script called as `pkexec PROGRAM --handover FILE`.
class ElevatedRelaunch : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::random_device random;
        dir_ = std::filesystem::temp_directory_path() / ("pelto-pkexec-" + std::to_string(random()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override
    {
        set_pkexec_path_for_testing("");
        std::filesystem::remove_all(dir_);
    }
    std::string stand_in(const std::string& name, const std::string& body)
    {
        const std::filesystem::path path = dir_ / name;
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        ::chmod(path.c_str(), 0755);
        return path.string();
    }
    std::filesystem::path dir_;
};

TEST_F(ElevatedRelaunch, MissingDecliningAndSilentPkexecAreFailures)
{
    set_pkexec_path_for_testing((dir_ / "absent").string());
    EXPECT_FALSE(relaunch_elevated());
    // The user dismissed the prompt: pkexec exits with 126 and starts nothing.
    set_pkexec_path_for_testing(stand_in("decline", "exit 126"));
    EXPECT_FALSE(relaunch_elevated());
    // Something ran but the new instance never confirmed the hand-over.
    set_pkexec_path_for_testing(stand_in("silent", "exit 0"));
    EXPECT_FALSE(relaunch_elevated());
}

TEST_F(ElevatedRelaunch, ConfirmedHandOverIsSuccess)
{
    // Stands in for the elevated instance: it is handed the program, the hand-over switch and the
    // file, confirms like the program does, and keeps running for a while.
    const std::string log = (dir_ / "args").string();
    set_pkexec_path_for_testing(
        stand_in("accept", "echo \"$2 $3 $4\" > " + log + "\necho started >> \"$3\"\nsleep 2"));
    EXPECT_TRUE(relaunch_elevated());
    std::string args;
    std::getline(std::ifstream(log), args);
    EXPECT_EQ(args.rfind(handover_switch() + " ", 0), 0u) << args;
    // The new instance is asked for TUN mode too (else a switch turned on is lost on the way).
    EXPECT_EQ(args.substr(args.size() - elevate_switch().size()), elevate_switch()) << args;
}

TEST_F(ElevatedRelaunch, ConfirmHandoverMarksTheFile)
{
    const std::string file = (dir_ / "handover").string();
    std::ofstream(file).close();
    confirm_handover(file);
    std::string line;
    std::getline(std::ifstream(file), line);
    EXPECT_EQ(line, "started");
}

}  // namespace
}  // namespace pelto

#endif  // _WIN32
