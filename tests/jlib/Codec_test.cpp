#include "Codec.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <vector>

namespace {

// ---- Independent references ------------------------------------------------

// G.711 mu-law decoding in 14-bit units: ((2m + 33) << e) - 33, scaled to 16 bits.
int refUlawDecode(int code) {
  const int bits = ~code & 0xFF;
  const int e = (bits >> 4) & 7;
  const int m = bits & 15;
  const int magnitude = 4 * (((2 * m + 33) << e) - 33);
  return (bits & 0x80) ? -magnitude : magnitude;
}

// G.711 A-law decoding in 13-bit units: 2m + 1 in segment 0, else
// (2m + 33) << (e - 1); scaled to 16 bits.
int refAlawDecode(int code) {
  const int bits = code ^ 0x55;
  const int e = (bits >> 4) & 7;
  const int m = bits & 15;
  const int magnitude = 8 * (e == 0 ? 2 * m + 1 : (2 * m + 33) << (e - 1));
  return (bits & 0x80) ? magnitude : -magnitude;
}

// Highest magnitude code (segment << 4 | step) whose lower decision value is
// at most x, searched from the top.
int searchCode(int x, int (*lower)(int)) {
  for (int k = 127; k > 0; --k) {
    if (lower(k) <= x) return k;
  }
  return 0;
}

int ulawLower(int k) {
  const int e = k >> 4;
  const int m = k & 15;
  return ((16 + m) << (e + 3)) - 132;
}

int alawLower(int k) {
  const int e = k >> 4;
  const int m = k & 15;
  return e == 0 ? 16 * m : (16 + m) << (e + 3);
}

int refUlawEncode(long sample) {
  if (sample > 32767) sample = 32767;
  if (sample < -32768) sample = -32768;
  const bool negative = sample < 0;
  const int k = searchCode(static_cast<int>(std::labs(sample)), ulawLower);
  int code = (negative ? 0x7F : 0xFF) - k;
  if (code == 0) code = 2;
  return code;
}

int refAlawEncode(int sample) {
  const bool negative = sample < 0;
  const int x = sample == -32768 ? 32767 : std::abs(sample);
  return searchCode(x, alawLower) ^ (negative ? 0x55 : 0xD5);
}

signed char sc(int code) { return static_cast<signed char>(code); }

// Floor of v / 256: the signed high byte of a 16-bit sample.
int highByte(int v) { return v >= 0 ? v / 256 : -((-v + 255) / 256); }

// ---- Decode tables ---------------------------------------------------------

TEST(Codec, DecodeTablesMatchG711) {
  for (int code = 0; code < 256; ++code) {
    SCOPED_TRACE(code);
    EXPECT_EQ(refUlawDecode(code), UlawUtil::u2l[code]);
    EXPECT_EQ(refUlawDecode(code), UlawUtil::toPcm16(sc(code)));
    EXPECT_EQ(refAlawDecode(code), AlawUtil::a2l[code]);
    EXPECT_EQ(refAlawDecode(code), AlawUtil::toPcm16(sc(code)));
  }
  struct { int code; int linear; } ulaw[] = {
      {0x00, -32124}, {0x7E, -8}, {0x7F, 0}, {0x80, 32124}, {0xFE, 8}, {0xFF, 0},
  };
  for (const auto& a : ulaw) EXPECT_EQ(a.linear, UlawUtil::toPcm16(sc(a.code))) << a.code;
  struct { int code; int linear; } alaw[] = {
      {0xD5, 8}, {0x55, -8}, {0xAA, 32256}, {0x2A, -32256}, {0x80, 5504}, {0x00, -5504},
  };
  for (const auto& a : alaw) EXPECT_EQ(a.linear, AlawUtil::toPcm16(sc(a.code))) << a.code;
}

// ---- Encoders --------------------------------------------------------------

TEST(Codec, UlawEncoderOnEverySample) {
  for (int s = -32768; s <= 32767; ++s) {
    const int want = refUlawEncode(s);
    ASSERT_EQ(want, UlawUtil::linear2ulaw(s)) << s;
    ASSERT_EQ(want, UlawUtil::fromPcm16(static_cast<short>(s))) << s << " (load-time table)";
  }
  const int beyond[] = {32768, 40000, INT_MAX, -32769, -40000, INT_MIN};
  for (int s : beyond) EXPECT_EQ(refUlawEncode(s), UlawUtil::linear2ulaw(s)) << s;
}

TEST(Codec, AlawEncoderOnEverySample) {
  for (int s = -32768; s <= 32767; ++s) {
    const int want = refAlawEncode(s);
    ASSERT_EQ(want, AlawUtil::linear2alaw(static_cast<short>(s))) << s;
    ASSERT_EQ(want, AlawUtil::fromPcm16(static_cast<short>(s))) << s << " (load-time table)";
  }
}

TEST(Codec, EncoderEdgeSamples) {
  struct { int sample; int ulaw; } ulaw[] = {
      {0, 0xFF}, {-1, 0x7F}, {32767, 0x80}, {-32768, 0x02},
      {-31612, 0x02}, {-31611, 0x01}, {40000, 0x80}, {-40000, 0x02},
  };
  for (const auto& c : ulaw) EXPECT_EQ(c.ulaw, UlawUtil::linear2ulaw(c.sample)) << c.sample;
  struct { short sample; int alaw; } alaw[] = {
      {0, 0xD5}, {-1, 0x55}, {32767, 0xAA}, {-32767, 0x2A}, {-32768, 0x2A},
      {255, 0xDA}, {256, 0xC5},
  };
  for (const auto& c : alaw) EXPECT_EQ(c.alaw, AlawUtil::fromPcm16(c.sample)) << c.sample;
}

// ---- Law to law ------------------------------------------------------------

// Every code maps to the other law's code of the same sign (bit 7 in both
// laws) and the nearest magnitude; a tie goes to the larger magnitude.
void checkConversion(const unsigned char* table, int (*decodeFrom)(int),
                     int (*decodeTo)(int)) {
  for (int code = 0; code < 256; ++code) {
    SCOPED_TRACE(code);
    const int to = table[code];
    ASSERT_EQ(code & 0x80, to & 0x80) << "sign changed";
    const int from = std::abs(decodeFrom(code));
    const int got = std::abs(decodeTo(to));
    for (int other = (code & 0x80); other < (code & 0x80) + 128; ++other) {
      const int mag = std::abs(decodeTo(other));
      const int d = std::abs(mag - from);
      ASSERT_LE(std::abs(got - from), d) << "nearer: " << other;
      if (d == std::abs(got - from)) {
        EXPECT_GE(got, mag) << "tie not to larger: " << other;
      }
    }
  }
}

TEST(Codec, ConversionTablesKeepSignAndNearestMagnitude) {
  checkConversion(UlawUtil::a2u, refAlawDecode, refUlawDecode);
  checkConversion(AlawUtil::u2a, refUlawDecode, refAlawDecode);
  EXPECT_EQ(0xD5, AlawUtil::fromUlaw(sc(0xFF)));
  EXPECT_EQ(0x55, AlawUtil::fromUlaw(sc(0x7F)));
  EXPECT_EQ(0xFE, UlawUtil::fromAlaw(sc(0xD5))) << "+8 maps to +8";
  EXPECT_EQ(0x7E, UlawUtil::fromAlaw(sc(0x55))) << "-8 maps to -8";
  for (int code = 0; code < 256; ++code) {
    EXPECT_EQ(UlawUtil::a2u[code], UlawUtil::fromAlaw(sc(code)));
    EXPECT_EQ(AlawUtil::u2a[code], AlawUtil::fromUlaw(sc(code)));
  }
}

// ---- 8-bit forms -----------------------------------------------------------

TEST(Codec, EightBitForms) {
  for (int code = 0; code < 256; ++code) {
    SCOPED_TRACE(code);
    const int pcm8 = highByte(refUlawDecode(code));
    EXPECT_EQ(pcm8, UlawUtil::ulawToPcm(sc(code)));
    const int pcm2 = UlawUtil::ulawToPcm2(sc(code));
    EXPECT_EQ(pcm8 - 128, pcm2);
    EXPECT_EQ(pcm8 + 128, pcm2 & 0xFF);
  }
  EXPECT_EQ(128, UlawUtil::ulawToPcm2(sc(0xFF)) & 0xFF) << "silence";
  for (int b = 0; b < 256; ++b) {
    EXPECT_EQ(refUlawEncode((b - 128) * 256), UlawUtil::pcm2Ulaw(sc(b))) << b;
  }
}

TEST(Codec, Ulaw2Pcm8UnsignedConvertsOnlyItsRange) {
  const int from = 2;
  const int to = from + 256;
  std::vector<short> buf(to + 2, 0x1234);
  for (int code = 0; code < 256; ++code) {
    buf[from + code] = static_cast<short>(0x5A00 | code);  // high byte is ignored
  }
  UlawUtil::ulaw2pcm8Unsigned(buf.data(), from, to);
  for (int code = 0; code < 256; ++code) {
    EXPECT_EQ(highByte(refUlawDecode(code)) + 128, buf[from + code]) << code;
  }
  for (int i : {0, 1, to, to + 1}) EXPECT_EQ(0x1234, buf[i]) << i;

  std::vector<short> same(buf);
  UlawUtil::ulaw2pcm8Unsigned(buf.data(), 5, 5);
  UlawUtil::ulaw2pcm8Unsigned(buf.data(), 6, 3);
  EXPECT_EQ(same, buf);
}

TEST(Codec, FillSilenceTouchesExactlyItsRange) {
  struct { void (*fill)(signed char*, int, int); int silence; } laws[] = {
      {UlawUtil::fillSilence, 0xFF}, {AlawUtil::fillSilence, 0x55}};
  for (const auto& law : laws) {
    SCOPED_TRACE(law.silence);
    std::vector<signed char> buf(32, 7);
    law.fill(buf.data(), 10, 5);
    for (int i = 0; i < 32; ++i) {
      EXPECT_EQ(i >= 10 && i < 15 ? law.silence : 7, buf[i] & 0xFF) << i;
    }
    std::vector<signed char> same(buf);
    law.fill(buf.data(), 10, 0);
    law.fill(buf.data(), 10, -3);
    EXPECT_EQ(same, buf);
  }
}

// ---- Stereo mix ------------------------------------------------------------

TEST(Codec, MixOfTwoSamplesClampsTheSum) {
  struct { short a; short b; int sum; } cases[] = {
      {20000, 20000, 32767}, {-20000, -20000, -32768}, {100, -100, 0},
      {32767, 1, 32767},     {-32768, -1, -32768},     {1000, 2000, 3000},
      {-32768, 32767, -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(refUlawEncode(c.sum), UlawUtil::fromPcm16c2(c.a, c.b)) << c.a << "+" << c.b;
  }
  EXPECT_EQ(0x80, UlawUtil::fromPcm16c2(20000, 20000));
  EXPECT_EQ(0x02, UlawUtil::fromPcm16c2(-20000, -20000));
}

TEST(Codec, StereoFramesToMono) {
  // Little-endian left/right pairs: (384, 0), (-2, -300), (20000, 20000).
  const unsigned char bytes[] = {0x80, 0x01, 0x00, 0x00,  0xFE, 0xFF, 0xD4, 0xFE,
                                 0x20, 0x4E, 0x20, 0x4E};
  std::vector<signed char> src(bytes, bytes + sizeof bytes);
  std::vector<signed char> dst(5, 0x11);
  UlawUtil::fromPcm16c2(dst.data(), src.data(), static_cast<int>(src.size()));
  EXPECT_EQ(refUlawEncode(384), dst[0] & 0xFF);
  EXPECT_EQ(refUlawEncode(-302), dst[1] & 0xFF);
  EXPECT_EQ(0x80, dst[2] & 0xFF);
  EXPECT_EQ(0x11, dst[3]);

  std::vector<signed char> none(2, 0x11);
  UlawUtil::fromPcm16c2(none.data(), src.data(), 0);
  UlawUtil::fromPcm16c2(none.data(), src.data(), -4);
  EXPECT_EQ(std::vector<signed char>(2, 0x11), none);
}

TEST(Codec, StereoPartialFrameIsNotRead) {
  // Six bytes: one whole frame and half of a second; the half is not read
  // (the sanitizer build reports a read past the buffer).
  const unsigned char bytes[] = {0x80, 0x01, 0x00, 0x00, 0x10, 0x00};
  std::vector<signed char> src(bytes, bytes + sizeof bytes);
  std::vector<signed char> dst(3, 0x11);
  UlawUtil::fromPcm16c2(dst.data(), src.data(), static_cast<int>(src.size()));
  EXPECT_EQ(refUlawEncode(384), dst[0] & 0xFF);
  EXPECT_EQ(0x11, dst[1]);
}

}  // namespace
