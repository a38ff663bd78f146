#include "tests/tls/tls_test_support.h"

namespace pelto::testing {

bool trust_test_ca()
{
    // The wrapper sets SSL_CERT_FILE to the test CA before the process starts, so the shared
    // TLS context loads it as its trust store.
    return !environment("SSL_CERT_FILE").empty();
}

}  // namespace pelto::testing
