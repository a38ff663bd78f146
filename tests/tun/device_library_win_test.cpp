// The adapter library loader under Wine, with stand-in libraries built by the tests carried as
// the test program's resources: 500 the full stand-in, 501 one lacking an entry point, 502 empty.

#include "tun/device_library.h"
#include "tun/device_library_seam.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

using namespace pelto::tun;
namespace fs = std::filesystem;

class device_library_win : public ::testing::Test {
protected:
    void SetUp() override
    {
        directory = fs::temp_directory_path() / ("pelto-loader-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(directory);
        file = directory / "wintun.dll";
    }
    void TearDown() override
    {
        unload_device_library();
        std::error_code ignored;
        fs::remove_all(directory, ignored);
    }
    std::u16string path() const { return file.u16string(); }
    std::string contents() const
    {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    fs::path directory;
    fs::path file;
};

TEST_F(device_library_win, writes_loads_and_calls_the_library_from_the_resources)
{
    std::u16string message;
    ASSERT_TRUE(load_device_library_for_testing(500, path(), message)) << std::string(message.begin(), message.end());
    const device_table& calls = device_calls();
    ASSERT_TRUE(calls.complete());
    void* adapter = calls.create_adapter(u"pelto", u"pelto", nullptr);
    EXPECT_EQ(adapter, reinterpret_cast<void*>(0x5A5A));
    std::uint64_t luid = 0;
    calls.get_adapter_luid(adapter, &luid);
    EXPECT_EQ(luid, 42u);
    EXPECT_EQ(contents().substr(0, 2), "MZ");

    unload_device_library();
    EXPECT_EQ(device_calls().create_adapter, nullptr);
    EXPECT_EQ(device_calls().send_packet, nullptr);
}

TEST_F(device_library_win, an_existing_file_is_replaced)
{
    {
        std::ofstream junk(file, std::ios::binary);
        junk << std::string(100000, 'j');
    }
    std::u16string message;
    ASSERT_TRUE(load_device_library_for_testing(500, path(), message));
    const std::string now = contents();
    EXPECT_EQ(now.substr(0, 2), "MZ");
    EXPECT_LT(now.size(), 100000u);  // the stand-in is smaller than the junk: nothing of it is left
}

TEST_F(device_library_win, a_library_lacking_an_entry_point_is_refused)
{
    std::u16string message;
    EXPECT_FALSE(load_device_library_for_testing(501, path(), message));
    EXPECT_FALSE(message.empty());
    EXPECT_FALSE(device_calls().complete());
    EXPECT_EQ(device_calls().create_adapter, nullptr);
}

TEST_F(device_library_win, an_empty_or_missing_resource_writes_nothing)
{
    for (int id : {502, 777}) {
        std::u16string message;
        EXPECT_FALSE(load_device_library_for_testing(id, path(), message)) << id;
        EXPECT_FALSE(message.empty());
        EXPECT_FALSE(fs::exists(file)) << id;
    }
}

TEST_F(device_library_win, an_unwritable_place_fails_with_the_creation_error)
{
    std::u16string message;
    const std::u16string nowhere = (directory / "missing" / "wintun.dll").u16string();
    EXPECT_FALSE(load_device_library_for_testing(500, nowhere, message));
    EXPECT_NE(message.find(u"error 3"), std::u16string::npos) << std::string(message.begin(), message.end());
}

TEST_F(device_library_win, the_adapter_is_created_with_our_one_guid_and_an_existing_one_is_opened_instead)
{
    std::u16string message;
    ASSERT_TRUE(load_device_library_for_testing(500, path(), message));
    bool left_over = true;
    EXPECT_EQ(open_or_create_adapter(device_calls(), u"pelto0", left_over), reinterpret_cast<void*>(0x5A5A));
    EXPECT_FALSE(left_over);  // the stand-in has no adapter to open
    using read_guid_fn = void (*)(unsigned char*);
    const auto read_guid = reinterpret_cast<read_guid_fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"wintun.dll"), "PeltoStandinLastGuid")));
    ASSERT_NE(read_guid, nullptr);
    unsigned char passed[16] = {};
    read_guid(passed);
    // {6F4B2A91-8C3E-4D17-B255-7A1E9C40D86B} as a GUID lies in memory.
    const unsigned char expected[16] = {
        0x91, 0x2A, 0x4B, 0x6F,  // Data1, little-endian
        0x3E, 0x8C,              // Data2
        0x17, 0x4D,              // Data3
        0xB2, 0x55, 0x7A, 0x1E, 0x9C, 0x40, 0xD8, 0x6B,  // Data4
    };
    EXPECT_EQ(std::memcmp(passed, expected, 16), 0);
}

TEST_F(device_library_win, a_file_altered_between_writing_and_loading_is_refused)
{
    std::u16string message;
    const bool loaded = load_device_library_for_testing(500, path(), message, [&] {
        // Someone with write access to the directory changes one byte of the written library.
        std::fstream file(this->file, std::ios::in | std::ios::out | std::ios::binary);
        file.seekg(0x200);
        const int byte = file.get();
        file.seekp(0x200);
        file.put(static_cast<char>(byte ^ 0xFF));
    });
    EXPECT_FALSE(loaded);
    EXPECT_NE(message.find(u"altered"), std::u16string::npos) << std::string(message.begin(), message.end());
    EXPECT_FALSE(device_calls().complete());
    EXPECT_EQ(GetModuleHandleW(L"wintun.dll"), nullptr);  // never loaded

    // A hook that leaves the file alone changes nothing.
    message.clear();
    EXPECT_TRUE(load_device_library_for_testing(500, path(), message, [] {}));
}

TEST_F(device_library_win, the_product_path_uses_the_program_directory)
{
    std::u16string message;
    ASSERT_TRUE(load_device_library(message)) << std::string(message.begin(), message.end());
    EXPECT_TRUE(device_calls().complete());
}

}  // namespace
