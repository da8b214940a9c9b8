#ifndef JLIB_SOUNDUTIL_H
#define JLIB_SOUNDUTIL_H

class SoundUtil {
 public:
  SoundUtil();
  ~SoundUtil();
};

#endif  // JLIB_SOUNDUTIL_H
