// Internal to the simulator: turns every simulated channel into a host
// pseudo-terminal (VEXA_SIM_PTY=1), so that a person can talk to an
// application through any terminal program.
#ifndef VEXA_SIM_PTY_BRIDGE_H
#define VEXA_SIM_PTY_BRIDGE_H

// Starts the bridge for every attached chip; prints the pty names on stderr
// and, with VEXA_SIM_PTY_LINK=PATH, makes a symbolic link to each.
// Called once from the first usb_init when VEXA_SIM_PTY is set.
void vexa_sim_pty_bridge_start(void);

// Waits until what the program wrote to the chip's channels has been read
// from their pseudo-terminals (or stopped moving). Called by usb_close
// without the simulator's lock; does nothing without a bridge.
void vexa_sim_pty_bridge_drain(int chip);

#endif
