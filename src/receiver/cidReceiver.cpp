#include "cidReceiver.h"
