#include "simcontrol.h"
