#include "tavrel.h"
