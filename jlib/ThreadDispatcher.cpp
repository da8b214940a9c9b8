#include "ThreadDispatcher.h"

int DispatchThreadBase::THREAD_PRIORITY = 1000;
