// The digest the login answers with, against OpenSSL's.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>

#include "RTMPMedley/Sources/RTMP/Util/MD5.h"

using rtmpmedley::MD5;

TEST(MD5Test, EveryPaddingBoundaryAgreesWithOpenSSL) {
  std::mt19937 random(7);
  for (size_t length = 0; length <= 300; ++length) {
    std::vector<uint8_t> bytes(length);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    unsigned char expected[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    ASSERT_EQ(EVP_Digest(bytes.data(), bytes.size(), expected, &size, EVP_md5(), nullptr), 1);
    const auto digest = MD5::calculate(bytes);
    ASSERT_EQ(std::vector<uint8_t>(digest.begin(), digest.end()), std::vector<uint8_t>(expected, expected + size))
        << "length " << length;
  }
}
