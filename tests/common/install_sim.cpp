// Links built by a suite talk to the simulated bridge, installed before main() as main does.
#include "simcontrol.h"

static const bool s_simInstalled = (d2xx::install(sim::d2xxCalls()), true);
