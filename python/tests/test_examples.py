"""The examples run as a user runs them: under the vexa-sim launcher."""
import os
import re
import select
import subprocess
import sys
import tty

import pytest

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "examples")
LAUNCHER = os.environ.get("VEXA_SIM_LAUNCHER")
pytestmark = pytest.mark.skipif(not LAUNCHER, reason="VEXA_SIM_LAUNCHER not set")


def command(chips, example, *args, pty=False):
    chip_args = [arg for chip in chips for arg in ("--chip", chip)]
    return [LAUNCHER, *chip_args, *(["--pty"] if pty else []), "--", sys.executable,
            os.path.join(EXAMPLES, example), *args]


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


def read_until(fd, done):
    """Reads the raw descriptor until ``done`` holds for all it said."""
    got = b""
    while not done(got):
        assert select.select([fd], [], [], 10)[0], f"nothing more within 10 s after {got!r}"
        chunk = os.read(fd, 4096)
        assert chunk, f"the example ended after {got!r}"
        got += chunk
    return got


def test_aio_bridge_carries_both_directions():
    process = subprocess.Popen(
        command(["dual,serial=VX2001"], "aio_bridge.py", "--left", "VX2001 A", "--right",
                "VX2001 B", "--seconds", "30", pty=True),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    ptys = {}
    try:
        named = rb"channel ([AB]): (\S+)\n"
        said = read_until(process.stderr.fileno(), lambda got: len(re.findall(named, got)) == 2)
        for letter, name in re.findall(named, said):
            ptys[letter] = os.open(name, os.O_RDWR | os.O_NOCTTY)
            tty.setraw(ptys[letter])
        read_until(process.stdout.fileno(), lambda got: b"bridging" in got)
        for source, sink, data in ((b"A", b"B", b"to the right"), (b"B", b"A", b"and back")):
            os.write(ptys[source], data)
            assert read_until(ptys[sink], lambda got: len(got) >= len(data)) == data
    finally:
        process.terminate()
        process.wait(10)
        for fd in ptys.values():
            os.close(fd)
