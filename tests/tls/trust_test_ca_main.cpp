// Adds the test CA (a PEM file, the first argument) to the current user's root store of the Wine
// prefix, so programs run there afterwards trust the test servers' certificates.
#include <cstdio>
#include <cstdlib>

#include "tests/tls/tls_test_support.h"

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: trust_test_ca CA.pem\n");
        return 2;
    }
    _putenv_s("PELTO_TLS_CA", argv[1]);
    if (!pelto::testing::trust_test_ca()) {
        std::fprintf(stderr, "the test CA could not be added\n");
        return 1;
    }
    return 0;
}
