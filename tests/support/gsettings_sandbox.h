#pragma once
// Linux tests that change the system proxy keep GSettings in a key file under a temporary
// XDG_CONFIG_HOME, so the machine's real settings are never touched. Define one instance at
// namespace scope: its constructor runs before GIO is first used. A child started by re-running
// the test program (a death test) inherits the parent's directory through the environment, so
// both see the same settings. Windows tests use the registry of their Wine prefix and need none.

#ifndef _WIN32

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace pelto::testing {

class gsettings_sandbox {
public:
    gsettings_sandbox()
    {
        const char* inherited = std::getenv("PELTO_GSETTINGS_SANDBOX");
        if (inherited != nullptr) {
            dir_ = inherited;
        } else {
            std::random_device random;
            dir_ = std::filesystem::temp_directory_path() /
                   ("pelto-gsettings-" + std::to_string(random()) + std::to_string(random()));
            std::filesystem::create_directories(dir_);
            owner_ = true;
            ::setenv("PELTO_GSETTINGS_SANDBOX", dir_.c_str(), 1);
        }
        ::setenv("GSETTINGS_BACKEND", "keyfile", 1);
        ::setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
    }
    ~gsettings_sandbox()
    {
        if (owner_) {
            std::error_code ignored;
            std::filesystem::remove_all(dir_, ignored);
        }
    }
    gsettings_sandbox(const gsettings_sandbox&) = delete;
    gsettings_sandbox& operator=(const gsettings_sandbox&) = delete;

private:
    std::filesystem::path dir_;
    bool owner_ = false;
};

}  // namespace pelto::testing

#endif  // _WIN32
