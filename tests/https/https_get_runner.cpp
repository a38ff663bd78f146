// Test runner for the Windows build under Wine: one https_get, its outcome on standard output.
//   https_get_runner URL [--trust CA.pem] [--stop-after MS]
// --trust adds the test root to the local machine's root store of the (throw-away) Wine prefix;
// --stop-after sets the socket layer's stop flag that many milliseconds after the request began.
// Prints "ok SIZE FIRST-BYTES" or "error TEXT" and the elapsed time as "ms N".

#include <windows.h>
#include <wincrypt.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "net/https_get.h"
#include "net/socket.h"

namespace {

bool trust_root(const char* pem_path)
{
    std::ifstream in(pem_path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const std::string pem = text.str();
    DWORD size = 0;
    if (!::CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
        return false;
    }
    std::vector<BYTE> der(size);
    if (!::CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr)) {
        return false;
    }
    HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (store == nullptr) {
        return false;
    }
    const bool ok = ::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                                       CERT_STORE_ADD_REPLACE_EXISTING, nullptr) != 0;
    ::CertCloseStore(store, 0);
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::puts("usage: https_get_runner URL [--trust CA.pem] [--stop-after MS]");
        return 2;
    }
    int stop_after = -1;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--trust") == 0 && !trust_root(argv[i + 1])) {
            std::puts("error could not install the test root");
            return 1;
        }
        if (std::strcmp(argv[i], "--stop-after") == 0) {
            stop_after = std::atoi(argv[i + 1]);
        }
    }
    pelto::net_startup();
    std::thread stopper;
    if (stop_after >= 0) {
        stopper = std::thread([stop_after] {
            std::this_thread::sleep_for(std::chrono::milliseconds(stop_after));
            pelto::stop_all_sockets();
        });
    }
    const auto start = std::chrono::steady_clock::now();
    std::string body;
    std::u16string error;
    const bool ok = pelto::https_get(pelto::utf8_to_utf16(argv[1]), body, error);
    const long long ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    if (stopper.joinable()) {
        stopper.join();
    }
    if (ok) {
        std::printf("ok %zu %s\n", body.size(), body.substr(0, 60).c_str());
    } else {
        std::printf("error %s\n", pelto::utf16_to_utf8(error).c_str());
    }
    std::printf("ms %lld\n", ms);
    return ok ? 0 : 1;
}
