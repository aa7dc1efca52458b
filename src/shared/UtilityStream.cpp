#include "UtilityStream.h"
