"""Runs the tests against simulated chips: the simulated libusb (from VEXA_SIM_LIBDIR) is
loaded before ``import vexa`` loads libvexa, which then binds to it instead of the real one."""
import ctypes
import os
import time
from ctypes import c_int, c_size_t, c_uint8, c_uint16, c_uint32, c_void_p

import pytest

_sim = ctypes.CDLL(os.path.join(os.environ.get("VEXA_SIM_LIBDIR", ""), "libusb-0.1.so.4"),
                   mode=ctypes.RTLD_GLOBAL)
if not hasattr(_sim, "vexa_sim_reset"):
    raise RuntimeError("VEXA_SIM_LIBDIR does not hold the simulated libusb")
_sim.vexa_sim_queue_rx.argtypes = [c_int, c_int, c_void_p, c_size_t]
_sim.vexa_sim_take_tx.restype = c_size_t
_sim.vexa_sim_take_tx.argtypes = [c_int, c_int, c_void_p, c_size_t]

FAULT_CONTROL = 5
FAULT_BULK_WRITE = 8


def eventually(condition, limit_s=2):
    deadline = time.monotonic() + limit_s
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.005)
    return True


class ChannelState(ctypes.Structure):
    _fields_ = [("divisor", c_uint16), ("divisor_index", c_uint16), ("line_control", c_uint16),
                ("flow_mode", c_uint16), ("flow_chars", c_uint16), ("dtr", c_uint8),
                ("rts", c_uint8), ("event_char", c_uint16), ("error_char", c_uint16),
                ("latency_timer", c_uint8), ("bit_mask", c_uint8), ("bit_mode", c_uint8),
                ("modem_status", c_uint8), ("line_status", c_uint8), ("rx_purges", c_uint32),
                ("tx_purges", c_uint32), ("resets", c_uint32), ("claimed", c_int)]


class Sim:
    """The simulated bus of one test; ``lib`` has the vexa_sim_* functions."""
    lib = _sim

    def add(self, text):  # a VEXA_SIM_CHIPS-style description
        assert _sim.vexa_sim_add_chips_from_text(text.encode()) > 0, text

    def queue_rx(self, data, chip=0, channel=0):
        assert _sim.vexa_sim_queue_rx(chip, channel, data, len(data)) == 0

    def take_tx(self, chip=0, channel=0):
        _sim.vexa_sim_wait_tx(chip, channel, 1000)
        buffer = ctypes.create_string_buffer(1 << 17)
        n = _sim.vexa_sim_take_tx(chip, channel, buffer, len(buffer))
        return buffer.raw[:n]

    def set_status(self, modem, chip=0, channel=0):
        _sim.vexa_sim_set_status(chip, channel, modem, 0x60)

    def state(self, chip=0, channel=0):
        state = ChannelState()
        assert _sim.vexa_sim_get_state(chip, channel, ctypes.byref(state)) == 0
        return state

    def fault(self, kind, request=-1):
        # kind, chip, channel, request, skip, count, result: every later call fails (EPIPE)
        _sim.vexa_sim_add_fault((c_int * 7)(kind, -1, -1, request, 0, -1, -32))


@pytest.fixture
def sim():
    """A bus without chips; the test adds its own. A handle left open fails the test."""
    _sim.vexa_sim_reset()
    yield Sim()
    assert _sim.vexa_sim_open_handles() == 0, "a handle was left open"
    _sim.vexa_sim_reset()


@pytest.fixture
def ch(sim):
    """Channel 0 of a single-channel chip with a 64-word EEPROM, open."""
    sim.add("r4,serial=S,eeprom=64")
    import vexa
    with vexa.open(serial="S") as opened:
        yield opened
