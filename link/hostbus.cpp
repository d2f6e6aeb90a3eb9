#include "hostbus.h"
