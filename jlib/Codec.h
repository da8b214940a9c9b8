// G.711 mu-law and A-law sample conversion.
#ifndef JLIB_CODEC_H
#define JLIB_CODEC_H

class UlawUtil {
 public:
  static const short u2l[256];            // code -> linear sample
  static unsigned char l2u[65536];        // sample + 32768 -> code, filled at load
  static const int exp_lut1[256];         // segment of a biased magnitude's bits 7..14
  static constexpr int ZEROTRAP = 1;      // encode 0x00 as 0x02
  static const unsigned char a2u[256];    // A-law code -> mu-law code

  static unsigned char linear2ulaw(int sample);
  static void initialize();

  static short toPcm16(signed char code) { return u2l[static_cast<unsigned char>(code)]; }
  static unsigned char fromPcm16(short sample) { return l2u[sample + 32768]; }
  // Signed 8-bit PCM sample (-128..127).
  static int ulawToPcm(signed char code);
  // ulawToPcm - 128; the low 8 bits are the unsigned 8-bit PCM sample.
  static int ulawToPcm2(signed char code) { return ulawToPcm(code) - 128; }
  // pcm is an unsigned 8-bit PCM sample (128 is silence).
  static unsigned char pcm2Ulaw(signed char pcm);
  // In place: the low byte of each element in [from, to) is a code and
  // becomes an unsigned 8-bit PCM sample.
  static void ulaw2pcm8Unsigned(short* buf, int from, int to);
  static unsigned char fromAlaw(signed char code) { return a2u[static_cast<unsigned char>(code)]; }
  static void fillSilence(signed char* buf, int offset, int len);

  // Mix of two samples, the sum clamped to 16 bits.
  static unsigned char fromPcm16c2(short a, short b);
  // Stereo frames of two 16-bit little-endian samples -> one code per frame.
  // Only whole 4-byte frames within len are read.
  static void fromPcm16c2(signed char* dst, signed char* src, int len);

 private:
  UlawUtil() = delete;
};

class AlawUtil {
 public:
  static const short a2l[256];            // code -> linear sample
  static unsigned char l2a[65536];        // sample + 32768 -> code, filled at load
  static const short seg_end[8];          // upper magnitude of each segment
  static const unsigned char u2a[256];    // mu-law code -> A-law code

  static unsigned char linear2alaw(short sample);
  static void initialize();

  static short toPcm16(signed char code) { return a2l[static_cast<unsigned char>(code)]; }
  static unsigned char fromPcm16(short sample) { return l2a[sample + 32768]; }
  static unsigned char fromUlaw(signed char code) { return u2a[static_cast<unsigned char>(code)]; }
  static void fillSilence(signed char* buf, int offset, int len);

 private:
  AlawUtil() = delete;
};

#endif  // JLIB_CODEC_H
