// Text digests and the hexadecimal text form.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "crypto/Digest.h"
#include "util/Tool.h"

namespace {

struct DigestCase {
  const char* name;
  char* (*digest)(const char*);
  const char* text;
  const char* hex;
};

#define TWO_BLOCKS "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"

// FIPS 180 examples ("abc", the 448-bit two-block message) and the empty text.
const DigestCase kCases[] = {
    {"SHA1", SHA1, "abc", "A9993E364706816ABA3E25717850C26C9CD0D89D"},
    {"SHA1", SHA1, "", "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709"},
    {"SHA1", SHA1, TWO_BLOCKS, "84983E441C3BD26EBAAE4AA1F95129E5E54670F1"},
    {"SHA224", SHA224, "abc", "23097D223405D8228642A477BDA255B32AADBCE4BDA0B3F7E36C9DA7"},
    {"SHA224", SHA224, "", "D14A028C2A3A2BC9476102BB288234C415A2B01F828EA62AC5B3E42F"},
    {"SHA256", SHA256, "abc", "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"},
    {"SHA256", SHA256, "", "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855"},
    {"SHA256", SHA256, TWO_BLOCKS, "248D6A61D20638B8E5C026930C3E6039A33CE45964FF2167F6ECEDD419DB06C1"},
    {"SHA384", SHA384, "abc",
     "CB00753F45A35E8BB5A03D699AC65007272C32AB0EDED1631A8B605A43FF5BED8086072BA1E7CC2358BAECA134C825A7"},
    {"SHA384", SHA384, "",
     "38B060A751AC96384CD9327EB1B1E36A21FDB71114BE07434C0CC7BF63F6E1DA274EDEBFE76F65FBD51AD2F14898B95B"},
    {"SHA512", SHA512, "abc",
     "DDAF35A193617ABACC417349AE20413112E6FA4E89A97EA20A9EEEE64B55D39A2192992A274FC1A836BA3C23A3FEEBBD"
     "454D4423643CE80E2A9AC94FA54CA49F"},
    {"SHA512", SHA512, "",
     "CF83E1357EEFB8BDF1542850D66D8007D620E4050B5715DC83F4A921D36CE9CE47D0D13C5D85F2B0FF8318D2877EEC2F"
     "63B931BD47417A81A538327AF927DA3E"},
};

TEST(Digest, PublishedValuesUpperCase) {
  for (const DigestCase& c : kCases) {
    char* hex = c.digest(c.text);
    ASSERT_NE(hex, nullptr) << c.name;
    EXPECT_STREQ(hex, c.hex) << c.name << "(\"" << c.text << "\")";
    EXPECT_TRUE(std::none_of(hex, hex + strlen(hex), [](char ch) { return std::islower(static_cast<unsigned char>(ch)); }));
    freeMem(hex);
  }
}

TEST(Digest, CoversTheTextUpToItsNul) {
  const char withNul[] = "abc\0ignored";
  char* a = SHA256(withNul);
  char* b = SHA256("abc");
  EXPECT_STREQ(a, b);
  freeMem(a);
  freeMem(b);
}

TEST(Digest, NullTextGivesNull) {
  ::testing::internal::CaptureStdout();
  for (const DigestCase& c : kCases) EXPECT_EQ(c.digest(nullptr), nullptr) << c.name;
  ::testing::internal::GetCapturedStdout();
}

TEST(StringToHexText, Cases) {
  const unsigned char bytes[] = {0x00, 0x0f, 0xa5, 0xff, 0x10};
  struct Case {
    int count;
    const char* hex;
  };
  const Case cases[] = {{5, "000FA5FF10"}, {1, "00"}, {0, ""}, {-3, ""}};
  for (const Case& c : cases) {
    char* hex = StringToHex(bytes, c.count);
    ASSERT_NE(hex, nullptr) << c.count;
    EXPECT_STREQ(hex, c.hex);
    freeMem(hex);
  }
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(StringToHex(nullptr, 4), nullptr);
  ::testing::internal::GetCapturedStdout();
}

}  // namespace
