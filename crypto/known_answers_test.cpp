#include "crypto/known_answers.h"

#include <gtest/gtest.h>

#include <array>

#include "base/bytes.h"
#include "crypto/random.h"

namespace pelto {
namespace {

TEST(crypto_self_test, passes_on_this_build_and_fails_on_any_wrong_answer)
{
    EXPECT_TRUE(crypto_self_test());
    for (const self_test_check wrong :
         {self_test_check::sha224, self_test_check::blake3, self_test_check::aes_gcm, self_test_check::sha256,
          self_test_check::x25519, self_test_check::sha3_256, self_test_check::hmac_sha384,
          self_test_check::chacha20_poly1305, self_test_check::ml_kem_768}) {
        EXPECT_FALSE(crypto_self_test_with_wrong_answer(wrong)) << static_cast<int>(wrong);
    }
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
