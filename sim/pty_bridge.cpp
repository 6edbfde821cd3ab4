#include "pty_bridge.h"

// Placeholder until the bridge lands: no pseudo-terminals are made.
void vexa_sim_pty_bridge_start(void) {}
