// Program entry. The engine and its front ends are not in yet; until they are, the program
// checks its crypto primitives against their known answers and reports the outcome.
#include <cstdio>

#include "base/obfuscated.h"
#include "crypto/known_answers.h"

int main()
{
    const bool passed = pelto::crypto_self_test();
    if (passed) {
        std::puts(PELTO_TEXT("crypto self-test: passed").c_str());
        return 0;
    }
    std::puts(PELTO_TEXT("crypto self-test: FAILED").c_str());
    return 1;
}
