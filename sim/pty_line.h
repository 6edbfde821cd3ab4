// Internal to the pty bridge: the serial settings a program gave the chip,
// mirrored on the pseudo-terminal's termios, so that `stty -F` and the
// program on the other side see the baud rate, data bits, parity, stop bits
// and flow control.
#ifndef VEXA_SIM_PTY_LINE_H
#define VEXA_SIM_PTY_LINE_H

#include <termios.h>

#include "vexa_sim.h"

// The rate the chip runs at for a divisor request (value and index as sent).
// `capable` is whether the chip has eighth-step fractions; `dual` whether the
// index carries the port in its low byte (then the extension is bit 8).
unsigned long divisor_to_baud(uint16_t value, uint16_t index, bool capable, bool dual);

// The termios speed constant nearest to a rate.
speed_t nearest_speed(unsigned long baud);

// Changes the control flags, speeds and flow characters of `t` to match the
// channel's state; everything else in `t` stays.
void apply_line_state(const vexa_sim_channel_state &state, unsigned long baud, termios *t);

#endif
