// Every suite that builds a link runs it on the simulated bridge, installed
// before main() as the program's main installs its choice.
#include "simcontrol.h"

static const bool s_simInstalled = (d2xx::install(sim::d2xxCalls()), true);
