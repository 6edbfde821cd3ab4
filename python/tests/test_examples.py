"""The examples run as a user runs them: under the vexa-sim launcher."""
import asyncio
import importlib.util
import os
import subprocess
import sys
import threading

import pytest

from conftest import eventually

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "examples")
LAUNCHER = os.environ.get("VEXA_SIM_LAUNCHER")
pytestmark = pytest.mark.skipif(not LAUNCHER, reason="VEXA_SIM_LAUNCHER not set")


def command(chips, example, *args):
    chip_args = [arg for chip in chips for arg in ("--chip", chip)]
    return [LAUNCHER, *chip_args, "--", sys.executable, os.path.join(EXAMPLES, example), *args]


@pytest.mark.parametrize("chips, example, args, code, expected", [
    (["r4,serial=VS1,loopback=1"], "request_response.py", ["--count", "3"], 0, "got b'PING 2\\n'"),
    (["r4,serial=OLD1,eeprom=64", "dual,serial=OLD2,eeprom=256", "r2,serial=OLD3,eeprom=64"],
     "program_serials.py", ["--prefix", "LAB", "--first", "7"], 0, "-> LAB00009 ok"),
    (["r4,serial=VS1"], "request_response.py", [], 1, ""),  # no reply
])
def test_example_exit_status_and_output(chips, example, args, code, expected):
    done = subprocess.run(command(chips, example, *args), capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == code, done.stderr
    assert expected in done.stdout


def test_aio_bridge_carries_both_directions(sim):
    # In this process, on the simulated chip (the launcher's ptys have tests of their own).
    sim.add("dual,serial=VX2001")
    located = importlib.util.spec_from_file_location("bridge", os.path.join(EXAMPLES, "aio_bridge.py"))
    example = importlib.util.module_from_spec(located)
    located.loader.exec_module(example)
    bridge = example.bridge("VX2001 A", "VX2001 B", seconds=2)
    running = threading.Thread(target=asyncio.run, args=(bridge,))
    running.start()
    assert eventually(lambda: sim.lib.vexa_sim_open_handles() == 2)
    for source, sink, data in ((0, 1, b"to the right"), (1, 0, b"and back")):
        sim.queue_rx(data, channel=source)
        assert sim.take_tx(channel=sink) == data
    running.join()
