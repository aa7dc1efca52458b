#include "BaseProtocol.h"
