// The one thing the scenario table needs from the backend it runs through
// (one per test executable). The chips are the simulator's model in both
// backends, so the table adds, unplugs and inspects them through vexa_sim.h.
#ifndef VEXA_SCENARIO_BACKEND_H
#define VEXA_SCENARIO_BACKEND_H

// Puts a chip the model has just added on the bus the library scans.
void PlugChip(int chip);

#endif  // VEXA_SCENARIO_BACKEND_H
