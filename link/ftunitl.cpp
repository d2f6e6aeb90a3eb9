#include "ftunitl.h"
