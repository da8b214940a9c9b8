#include "SoundUtil.h"

SoundUtil::SoundUtil() {}

SoundUtil::~SoundUtil() {}
