// Internal: the process-wide gate that pauses bulk-in streaming on every
// handle (KX_StopInTask / KX_RestartInTask). The USB library we link against
// has no such calls, so the library keeps its own gate under the names the
// exported functions call: usb_stop_bulk_in and usb_start_bulk_in (bulk_in.h).
#ifndef VEXA_IN_TASK_GATE_H
#define VEXA_IN_TASK_GATE_H

#include "device.h"

// Blocks the calling reader thread while the gate is closed, until it opens
// or the device's stop_reader is set. A read that waits meanwhile serves
// itself from the ring, so buffered bytes stay readable. Returns whether it
// had to wait (the ring's room may have changed meanwhile).
KX_INTERNAL bool WaitWhileInTaskStopped(norvec_device *device);

// Wakes every reader waiting at the gate so that it rechecks its flags.
KX_INTERNAL void WakeInTaskGate();

#endif  // VEXA_IN_TASK_GATE_H
