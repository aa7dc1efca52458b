#include "cidProtocol.h"
