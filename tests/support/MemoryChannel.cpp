#include "MemoryChannel.h"
