#pragma once
// Shared by the TLS, Trojan and VLESS interop tests, which run on both platforms under a wrapper
// script that starts the Linux peers and passes their ports and certificates in the environment.

#include <cstdint>
#include <string>
#include <string_view>

namespace pelto::testing {

// The port named `name` in PELTO_TLS_PORTS ("name=port name=port ..."), or 0.
std::uint16_t tls_peer_port(std::string_view name);

// The value of an environment variable, or empty.
std::string environment(const char* name);

// Makes the test CA (PEM file named by PELTO_TLS_CA) trusted by this process's TLS client: on
// Linux the wrapper already points SSL_CERT_FILE at it; on Windows it is added to the current
// user's root store. False when that fails.
bool trust_test_ca();

// UTF-16 error texts for test messages.
std::string narrow(std::u16string_view text);

}  // namespace pelto::testing
