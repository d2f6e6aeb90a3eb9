#include "fttask.h"
