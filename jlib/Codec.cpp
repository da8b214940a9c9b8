#include "Codec.h"

#include <string.h>

// Conversion tables map to the code of the same sign and the nearest
// magnitude; an exact tie goes to the larger magnitude.

const short UlawUtil::u2l[256] = {
    -32124, -31100, -30076, -29052, -28028, -27004, -25980, -24956,
    -23932, -22908, -21884, -20860, -19836, -18812, -17788, -16764,
    -15996, -15484, -14972, -14460, -13948, -13436, -12924, -12412,
    -11900, -11388, -10876, -10364,  -9852,  -9340,  -8828,  -8316,
     -7932,  -7676,  -7420,  -7164,  -6908,  -6652,  -6396,  -6140,
     -5884,  -5628,  -5372,  -5116,  -4860,  -4604,  -4348,  -4092,
     -3900,  -3772,  -3644,  -3516,  -3388,  -3260,  -3132,  -3004,
     -2876,  -2748,  -2620,  -2492,  -2364,  -2236,  -2108,  -1980,
     -1884,  -1820,  -1756,  -1692,  -1628,  -1564,  -1500,  -1436,
     -1372,  -1308,  -1244,  -1180,  -1116,  -1052,   -988,   -924,
      -876,   -844,   -812,   -780,   -748,   -716,   -684,   -652,
      -620,   -588,   -556,   -524,   -492,   -460,   -428,   -396,
      -372,   -356,   -340,   -324,   -308,   -292,   -276,   -260,
      -244,   -228,   -212,   -196,   -180,   -164,   -148,   -132,
      -120,   -112,   -104,    -96,    -88,    -80,    -72,    -64,
       -56,    -48,    -40,    -32,    -24,    -16,     -8,      0,
     32124,  31100,  30076,  29052,  28028,  27004,  25980,  24956,
     23932,  22908,  21884,  20860,  19836,  18812,  17788,  16764,
     15996,  15484,  14972,  14460,  13948,  13436,  12924,  12412,
     11900,  11388,  10876,  10364,   9852,   9340,   8828,   8316,
      7932,   7676,   7420,   7164,   6908,   6652,   6396,   6140,
      5884,   5628,   5372,   5116,   4860,   4604,   4348,   4092,
      3900,   3772,   3644,   3516,   3388,   3260,   3132,   3004,
      2876,   2748,   2620,   2492,   2364,   2236,   2108,   1980,
      1884,   1820,   1756,   1692,   1628,   1564,   1500,   1436,
      1372,   1308,   1244,   1180,   1116,   1052,    988,    924,
       876,    844,    812,    780,    748,    716,    684,    652,
       620,    588,    556,    524,    492,    460,    428,    396,
       372,    356,    340,    324,    308,    292,    276,    260,
       244,    228,    212,    196,    180,    164,    148,    132,
       120,    112,    104,     96,     88,     80,     72,     64,
        56,     48,     40,     32,     24,     16,      8,      0,
};

const int UlawUtil::exp_lut1[256] = {
    0, 0, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3,
    4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4,
    5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5,
    5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5,
    6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6,
    6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6,
    6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6,
    6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6,
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
};

const unsigned char UlawUtil::a2u[256] = {
    0x29, 0x2A, 0x27, 0x28, 0x2D, 0x2E, 0x2B, 0x2C, 0x21, 0x22, 0x20, 0x20,
    0x25, 0x26, 0x23, 0x24, 0x39, 0x3A, 0x37, 0x38, 0x3D, 0x3E, 0x3B, 0x3C,
    0x31, 0x32, 0x2F, 0x30, 0x35, 0x36, 0x33, 0x34, 0x0A, 0x0B, 0x08, 0x09,
    0x0E, 0x0F, 0x0C, 0x0D, 0x02, 0x03, 0x00, 0x01, 0x06, 0x07, 0x04, 0x05,
    0x1A, 0x1B, 0x18, 0x19, 0x1E, 0x1F, 0x1C, 0x1D, 0x12, 0x13, 0x10, 0x11,
    0x16, 0x17, 0x14, 0x15, 0x62, 0x63, 0x60, 0x61, 0x66, 0x67, 0x64, 0x65,
    0x5D, 0x5D, 0x5C, 0x5C, 0x5F, 0x5F, 0x5E, 0x5E, 0x74, 0x76, 0x70, 0x72,
    0x7C, 0x7E, 0x78, 0x7A, 0x6A, 0x6B, 0x68, 0x69, 0x6E, 0x6F, 0x6C, 0x6D,
    0x48, 0x49, 0x46, 0x47, 0x4C, 0x4D, 0x4A, 0x4B, 0x40, 0x41, 0x3F, 0x3F,
    0x44, 0x45, 0x42, 0x43, 0x56, 0x57, 0x54, 0x55, 0x5A, 0x5B, 0x58, 0x59,
    0x4F, 0x4F, 0x4E, 0x4E, 0x52, 0x53, 0x50, 0x51, 0xA9, 0xAA, 0xA7, 0xA8,
    0xAD, 0xAE, 0xAB, 0xAC, 0xA1, 0xA2, 0xA0, 0xA0, 0xA5, 0xA6, 0xA3, 0xA4,
    0xB9, 0xBA, 0xB7, 0xB8, 0xBD, 0xBE, 0xBB, 0xBC, 0xB1, 0xB2, 0xAF, 0xB0,
    0xB5, 0xB6, 0xB3, 0xB4, 0x8A, 0x8B, 0x88, 0x89, 0x8E, 0x8F, 0x8C, 0x8D,
    0x82, 0x83, 0x80, 0x81, 0x86, 0x87, 0x84, 0x85, 0x9A, 0x9B, 0x98, 0x99,
    0x9E, 0x9F, 0x9C, 0x9D, 0x92, 0x93, 0x90, 0x91, 0x96, 0x97, 0x94, 0x95,
    0xE2, 0xE3, 0xE0, 0xE1, 0xE6, 0xE7, 0xE4, 0xE5, 0xDD, 0xDD, 0xDC, 0xDC,
    0xDF, 0xDF, 0xDE, 0xDE, 0xF4, 0xF6, 0xF0, 0xF2, 0xFC, 0xFE, 0xF8, 0xFA,
    0xEA, 0xEB, 0xE8, 0xE9, 0xEE, 0xEF, 0xEC, 0xED, 0xC8, 0xC9, 0xC6, 0xC7,
    0xCC, 0xCD, 0xCA, 0xCB, 0xC0, 0xC1, 0xBF, 0xBF, 0xC4, 0xC5, 0xC2, 0xC3,
    0xD6, 0xD7, 0xD4, 0xD5, 0xDA, 0xDB, 0xD8, 0xD9, 0xCF, 0xCF, 0xCE, 0xCE,
    0xD2, 0xD3, 0xD0, 0xD1,
};

unsigned char UlawUtil::l2u[65536];

unsigned char UlawUtil::linear2ulaw(int sample) {
  static const int kBias = 132;
  static const int kClip = 32635;
  if (sample > 32767) sample = 32767;
  if (sample < -32768) sample = -32768;
  const int sign = sample < 0 ? 0x80 : 0;
  int magnitude = sample < 0 ? -sample : sample;
  if (magnitude > kClip) magnitude = kClip;
  magnitude += kBias;
  const int segment = exp_lut1[(magnitude >> 7) & 0xFF];
  const int mantissa = (magnitude >> (segment + 3)) & 0x0F;
  unsigned char code = static_cast<unsigned char>(~(sign | (segment << 4) | mantissa));
  if (ZEROTRAP != 0 && code == 0x00) code = 0x02;
  return code;
}

void UlawUtil::initialize() {
  for (int i = 0; i < 65536; ++i) l2u[i] = linear2ulaw(i - 32768);
}

int UlawUtil::ulawToPcm(signed char code) {
  const unsigned short linear = static_cast<unsigned short>(toPcm16(code));
  return static_cast<signed char>(linear >> 8);
}

unsigned char UlawUtil::pcm2Ulaw(signed char pcm) {
  return l2u[(static_cast<unsigned char>(pcm) - 128) * 256 + 32768];
}

void UlawUtil::ulaw2pcm8Unsigned(short* buf, int from, int to) {
  for (int i = from; i < to; ++i) {
    const signed char code = static_cast<signed char>(buf[i] & 0xFF);
    buf[i] = static_cast<short>(ulawToPcm(code) + 128);
  }
}

void UlawUtil::fillSilence(signed char* buf, int offset, int len) {
  if (len > 0) memset(buf + offset, 0xFF, len);
}

unsigned char UlawUtil::fromPcm16c2(short a, short b) {
  int sum = a + b;
  if (sum > 32767) sum = 32767;
  if (sum < -32768) sum = -32768;
  return fromPcm16(static_cast<short>(sum));
}

void UlawUtil::fromPcm16c2(signed char* dst, signed char* src, int len) {
  for (int k = 0; 4 * k + 4 <= len; ++k) {
    const signed char* frame = src + 4 * k;
    const short left = static_cast<short>(frame[1] * 256 + static_cast<unsigned char>(frame[0]));
    const short right = static_cast<short>(frame[3] * 256 + static_cast<unsigned char>(frame[2]));
    dst[k] = static_cast<signed char>(fromPcm16c2(left, right));
  }
}

const short AlawUtil::a2l[256] = {
     -5504,  -5248,  -6016,  -5760,  -4480,  -4224,  -4992,  -4736,
     -7552,  -7296,  -8064,  -7808,  -6528,  -6272,  -7040,  -6784,
     -2752,  -2624,  -3008,  -2880,  -2240,  -2112,  -2496,  -2368,
     -3776,  -3648,  -4032,  -3904,  -3264,  -3136,  -3520,  -3392,
    -22016, -20992, -24064, -23040, -17920, -16896, -19968, -18944,
    -30208, -29184, -32256, -31232, -26112, -25088, -28160, -27136,
    -11008, -10496, -12032, -11520,  -8960,  -8448,  -9984,  -9472,
    -15104, -14592, -16128, -15616, -13056, -12544, -14080, -13568,
      -344,   -328,   -376,   -360,   -280,   -264,   -312,   -296,
      -472,   -456,   -504,   -488,   -408,   -392,   -440,   -424,
       -88,    -72,   -120,   -104,    -24,     -8,    -56,    -40,
      -216,   -200,   -248,   -232,   -152,   -136,   -184,   -168,
     -1376,  -1312,  -1504,  -1440,  -1120,  -1056,  -1248,  -1184,
     -1888,  -1824,  -2016,  -1952,  -1632,  -1568,  -1760,  -1696,
      -688,   -656,   -752,   -720,   -560,   -528,   -624,   -592,
      -944,   -912,  -1008,   -976,   -816,   -784,   -880,   -848,
      5504,   5248,   6016,   5760,   4480,   4224,   4992,   4736,
      7552,   7296,   8064,   7808,   6528,   6272,   7040,   6784,
      2752,   2624,   3008,   2880,   2240,   2112,   2496,   2368,
      3776,   3648,   4032,   3904,   3264,   3136,   3520,   3392,
     22016,  20992,  24064,  23040,  17920,  16896,  19968,  18944,
     30208,  29184,  32256,  31232,  26112,  25088,  28160,  27136,
     11008,  10496,  12032,  11520,   8960,   8448,   9984,   9472,
     15104,  14592,  16128,  15616,  13056,  12544,  14080,  13568,
       344,    328,    376,    360,    280,    264,    312,    296,
       472,    456,    504,    488,    408,    392,    440,    424,
        88,     72,    120,    104,     24,      8,     56,     40,
       216,    200,    248,    232,    152,    136,    184,    168,
      1376,   1312,   1504,   1440,   1120,   1056,   1248,   1184,
      1888,   1824,   2016,   1952,   1632,   1568,   1760,   1696,
       688,    656,    752,    720,    560,    528,    624,    592,
       944,    912,   1008,    976,    816,    784,    880,    848,
};

const unsigned char AlawUtil::u2a[256] = {
    0x2A, 0x2B, 0x28, 0x29, 0x2E, 0x2F, 0x2C, 0x2D, 0x22, 0x23, 0x20, 0x21,
    0x26, 0x27, 0x24, 0x25, 0x3A, 0x3B, 0x38, 0x39, 0x3E, 0x3F, 0x3C, 0x3D,
    0x32, 0x33, 0x30, 0x31, 0x36, 0x37, 0x34, 0x35, 0x0B, 0x08, 0x09, 0x0E,
    0x0F, 0x0C, 0x0D, 0x02, 0x03, 0x00, 0x01, 0x06, 0x07, 0x04, 0x05, 0x1A,
    0x1B, 0x18, 0x19, 0x1E, 0x1F, 0x1C, 0x1D, 0x12, 0x13, 0x10, 0x11, 0x16,
    0x17, 0x14, 0x15, 0x6B, 0x68, 0x69, 0x6E, 0x6F, 0x6C, 0x6D, 0x62, 0x63,
    0x60, 0x61, 0x66, 0x67, 0x64, 0x65, 0x7B, 0x79, 0x7E, 0x7F, 0x7C, 0x7D,
    0x72, 0x73, 0x70, 0x71, 0x76, 0x77, 0x74, 0x75, 0x4B, 0x49, 0x4F, 0x4D,
    0x42, 0x43, 0x40, 0x41, 0x46, 0x47, 0x44, 0x45, 0x5A, 0x5B, 0x58, 0x59,
    0x5E, 0x5F, 0x5C, 0x5D, 0x52, 0x52, 0x53, 0x53, 0x50, 0x50, 0x51, 0x51,
    0x56, 0x56, 0x57, 0x57, 0x54, 0x54, 0x55, 0x55, 0xAA, 0xAB, 0xA8, 0xA9,
    0xAE, 0xAF, 0xAC, 0xAD, 0xA2, 0xA3, 0xA0, 0xA1, 0xA6, 0xA7, 0xA4, 0xA5,
    0xBA, 0xBB, 0xB8, 0xB9, 0xBE, 0xBF, 0xBC, 0xBD, 0xB2, 0xB3, 0xB0, 0xB1,
    0xB6, 0xB7, 0xB4, 0xB5, 0x8B, 0x88, 0x89, 0x8E, 0x8F, 0x8C, 0x8D, 0x82,
    0x83, 0x80, 0x81, 0x86, 0x87, 0x84, 0x85, 0x9A, 0x9B, 0x98, 0x99, 0x9E,
    0x9F, 0x9C, 0x9D, 0x92, 0x93, 0x90, 0x91, 0x96, 0x97, 0x94, 0x95, 0xEB,
    0xE8, 0xE9, 0xEE, 0xEF, 0xEC, 0xED, 0xE2, 0xE3, 0xE0, 0xE1, 0xE6, 0xE7,
    0xE4, 0xE5, 0xFB, 0xF9, 0xFE, 0xFF, 0xFC, 0xFD, 0xF2, 0xF3, 0xF0, 0xF1,
    0xF6, 0xF7, 0xF4, 0xF5, 0xCB, 0xC9, 0xCF, 0xCD, 0xC2, 0xC3, 0xC0, 0xC1,
    0xC6, 0xC7, 0xC4, 0xC5, 0xDA, 0xDB, 0xD8, 0xD9, 0xDE, 0xDF, 0xDC, 0xDD,
    0xD2, 0xD2, 0xD3, 0xD3, 0xD0, 0xD0, 0xD1, 0xD1, 0xD6, 0xD6, 0xD7, 0xD7,
    0xD4, 0xD4, 0xD5, 0xD5,
};

const short AlawUtil::seg_end[8] = {
    0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF, 0x1FFF, 0x3FFF, 0x7FFF,
};

unsigned char AlawUtil::l2a[65536];

unsigned char AlawUtil::linear2alaw(short sample) {
  int mask = 0xD5;
  int magnitude = sample;
  if (sample < 0) {
    mask = 0x55;
    magnitude = sample == -32768 ? 32767 : -sample;
  }
  int segment = 0;
  while (segment < 7 && seg_end[segment] < magnitude) ++segment;
  int code;
  if (segment == 0) {
    code = (magnitude >> 4) & 0x0F;
  } else {
    code = (segment << 4) | ((magnitude >> (segment + 3)) & 0x0F);
  }
  return static_cast<unsigned char>(code ^ mask);
}

void AlawUtil::initialize() {
  for (int i = 0; i < 65536; ++i) l2a[i] = linear2alaw(static_cast<short>(i - 32768));
}

void AlawUtil::fillSilence(signed char* buf, int offset, int len) {
  if (len > 0) memset(buf + offset, 0x55, len);
}

namespace {

// Fills the linear-to-code tables when the library is loaded.
struct CodecInit {
  CodecInit() {
    UlawUtil::initialize();
    AlawUtil::initialize();
  }
};

const CodecInit codecInit;

}  // namespace
