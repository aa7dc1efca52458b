#include "CustomChannel.h"
