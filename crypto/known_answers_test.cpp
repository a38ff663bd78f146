#include "crypto/known_answers.h"

#include <gtest/gtest.h>

#include <array>

#include "base/bytes.h"
#include "crypto/random.h"

namespace pelto {
namespace {

TEST(crypto_self_test, passes_on_this_build)
{
    EXPECT_TRUE(crypto_self_test());
}

// Every requested byte is written, for sizes that straddle common read limits.
TEST(random_bytes, fills_the_whole_buffer)
{
    for (std::size_t n : {1u, 31u, 256u, 257u, 70000u}) {
        bytes buffer(n, 0);
        random_bytes(buffer);
        std::size_t zeros = 0;
        for (std::uint8_t b : buffer) {
            zeros += b == 0;
        }
        // About n / 256 zeros are expected; an unfilled tail would show up as many more.
        EXPECT_LT(zeros, n / 64 + 4) << n;
    }
    random_bytes({});  // nothing to do, must not fail
}

}  // namespace
}  // namespace pelto
