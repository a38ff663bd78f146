// The adapter library carried in the program's resources (RCDATA 500): written into the
// program's directory at every load (replacing whatever file is there), loaded from there with
// its dependencies searched only beside it and in the system directory, and its eleven entry
// points looked up by name.

#include "tun/device_library.h"

#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "base/obfuscated.h"
#include "base/program_resource_win.h"
#include "crypto/sha256.h"
#include "tun/device_library_seam.h"

namespace pelto::tun {

namespace {

constexpr int library_resource_id = 500;

std::mutex table_lock;
device_table loaded;
HMODULE library = nullptr;

std::uint32_t read_last_error() { return GetLastError(); }

std::u16string with_code(std::u16string label, DWORD code)
{
    const std::string digits = std::to_string(code);
    label.append(digits.begin(), digits.end());
    return label;
}

bool program_directory(std::wstring& out)
{
    std::vector<wchar_t> buffer(32768);
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0 || n >= buffer.size()) {
        return false;
    }
    std::wstring path(buffer.data(), n);
    const auto slash = path.find_last_of(L"\\/");
    if (slash == std::wstring::npos) {
        return false;
    }
    out = path.substr(0, slash + 1);
    return true;
}

bool resource_bytes(int id, std::vector<std::uint8_t>& out)
{
    const std::string_view found = program_resource(id);
    out.assign(found.begin(), found.end());
    return !found.empty();
}

// Writes the whole file or leaves none; the error code of the failing step otherwise.
DWORD write_file(const std::wstring& path, const std::vector<std::uint8_t>& data)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    DWORD written = 0;
    const BOOL ok = WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    const DWORD error = ok ? (written == data.size() ? 0 : ERROR_WRITE_FAULT) : GetLastError();
    CloseHandle(file);
    if (error != 0) {
        DeleteFileW(path.c_str());
    }
    return error;
}

// Holds the written file open for reading with only read sharing: until it is closed nobody can
// open the file for writing or deleting, nor rename it (CreateFileW: a sharing mode without
// FILE_SHARE_WRITE / FILE_SHARE_DELETE makes such opens fail with ERROR_SHARING_VIOLATION), while
// LoadLibraryExW, which opens it for reading and execution only, still can. The check and the load
// thus see the same bytes.
class pinned_file {
public:
    explicit pinned_file(const std::wstring& path)
        : handle_(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr))
    {
    }
    ~pinned_file()
    {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
    }
    pinned_file(const pinned_file&) = delete;
    pinned_file& operator=(const pinned_file&) = delete;

    // The SHA-256 of the whole file; false when it cannot be read.
    bool digest(sha256_digest& out) const
    {
        if (handle_ == INVALID_HANDLE_VALUE) {
            return false;
        }
        sha256_state state;
        std::vector<std::uint8_t> buffer(65536);
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(handle_, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
                return false;
            }
            if (got == 0) {
                break;
            }
            state.update(byte_span(buffer.data(), got));
        }
        out = state.final();
        return true;
    }

private:
    HANDLE handle_;
};

template <typename T>
bool look_up(HMODULE module, const char* name, T& out)
{
    out = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return out != nullptr;
}

bool load_from(int resource_id, const std::wstring& path, std::u16string& out_message,
               const std::function<void()>& after_write)
{
    std::vector<std::uint8_t> data;
    if (!resource_bytes(resource_id, data)) {
        out_message = PELTO_TEXT(u"The TUN adapter library is missing from the program").str();
        return false;
    }
    const DWORD write_error = write_file(path, data);
    if (write_error != 0) {
        out_message = with_code(PELTO_TEXT(u"Cannot write the TUN adapter library, error ").str(), write_error);
        return false;
    }
    if (after_write) {
        after_write();
    }
    // The directory may be writable by others: the file is loaded only with the bytes we wrote.
    const pinned_file pinned(path);
    sha256_digest on_disk{};
    if (!pinned.digest(on_disk) || on_disk != sha256(byte_span(data.data(), data.size()))) {
        out_message = PELTO_TEXT(u"The TUN adapter library file was altered after it was written; it is not loaded").str();
        return false;
    }
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr,
                                    LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) {
        out_message = with_code(PELTO_TEXT(u"Cannot load the TUN adapter library, error ").str(), GetLastError());
        return false;
    }
    library = module;
    device_table t;
    const bool all =
        look_up(module, PELTO_TEXT("WintunCreateAdapter").c_str(), t.create_adapter) &
        look_up(module, PELTO_TEXT("WintunOpenAdapter").c_str(), t.open_adapter) &
        look_up(module, PELTO_TEXT("WintunCloseAdapter").c_str(), t.close_adapter) &
        look_up(module, PELTO_TEXT("WintunGetAdapterLUID").c_str(), t.get_adapter_luid) &
        look_up(module, PELTO_TEXT("WintunStartSession").c_str(), t.start_session) &
        look_up(module, PELTO_TEXT("WintunEndSession").c_str(), t.end_session) &
        look_up(module, PELTO_TEXT("WintunGetReadWaitEvent").c_str(), t.get_read_wait_event) &
        look_up(module, PELTO_TEXT("WintunReceivePacket").c_str(), t.receive_packet) &
        look_up(module, PELTO_TEXT("WintunReleaseReceivePacket").c_str(), t.release_receive_packet) &
        look_up(module, PELTO_TEXT("WintunAllocateSendPacket").c_str(), t.allocate_send_packet) &
        look_up(module, PELTO_TEXT("WintunSendPacket").c_str(), t.send_packet);
    if (!all) {
        // The library stays loaded until the unload; none of its calls are offered.
        out_message = PELTO_TEXT(u"The TUN adapter library lacks an entry point").str();
        return false;
    }
    t.last_error = read_last_error;
    loaded = t;
    return true;
}

}  // namespace

bool load_device_library(std::u16string& out_message)
{
    std::lock_guard hold(table_lock);
    std::wstring directory;
    if (!program_directory(directory)) {
        out_message = PELTO_TEXT(u"Cannot find the program's directory").str();
        return false;
    }
    const auto file_name = PELTO_TEXT(u"wintun.dll");
    directory.append(file_name.view().begin(), file_name.view().end());
    return load_from(library_resource_id, directory, out_message, {});
}

bool load_device_library_for_testing(int resource_id, std::u16string_view file_path,
                                     std::u16string& out_message, const std::function<void()>& after_write)
{
    std::lock_guard hold(table_lock);
    return load_from(resource_id, std::wstring(file_path.begin(), file_path.end()), out_message, after_write);
}

void unload_device_library()
{
    std::lock_guard hold(table_lock);
    if (library != nullptr) {
        FreeLibrary(library);
        library = nullptr;
    }
    loaded = device_table{};
}

const device_table& device_calls() { return loaded; }

}  // namespace pelto::tun
