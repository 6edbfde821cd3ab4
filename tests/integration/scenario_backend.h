// What the scenario table needs from a backend: a fresh bus, chips to plug
// and unplug, and a check that every device handle was closed. The chips
// themselves are the simulator's model in both backends, so the table reads
// their state and log through vexa_sim.h.
#ifndef VEXA_SCENARIO_BACKEND_H
#define VEXA_SCENARIO_BACKEND_H

#include <string>

#include "vexa_sim.h"

class ScenarioBackend {
 public:
  virtual ~ScenarioBackend() = default;
  // Why the backend cannot run in this process; empty when it can.
  virtual std::string Unavailable() const { return {}; }
  // Removes every chip; the next bus scan finds none.
  virtual void Reset() = 0;
  // Attaches a chip; it appears at the next scan. Returns the model's chip id.
  virtual int AddChip(const vexa_sim_chip_config &config) = 0;
  virtual void Unplug(int chip) = 0;
  // Whether every handle the library opened on a device has been closed.
  virtual bool AllHandlesClosed() = 0;
};

// Defined once per test executable: the backend the table runs through.
ScenarioBackend &Backend();

#endif  // VEXA_SCENARIO_BACKEND_H
