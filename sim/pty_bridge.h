// Internal to the simulator: turns every simulated channel into a host
// pseudo-terminal (VEXA_SIM_PTY=1), so that a person can talk to an
// application through any terminal program.
#ifndef VEXA_SIM_PTY_BRIDGE_H
#define VEXA_SIM_PTY_BRIDGE_H

// Starts the bridge for every attached chip; prints the pty names on stderr.
// Called once from the first usb_init when VEXA_SIM_PTY is set.
void vexa_sim_pty_bridge_start(void);

#endif
