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


def wait_for(stream, pattern, seen, count=1):
    """Reads the raw pipe until ``pattern`` matched ``count`` times in all it said."""
    while len(re.findall(pattern, seen[stream])) < count:
        assert select.select([stream], [], [], 10)[0], f"no {pattern!r} within 10 s"
        chunk = os.read(stream.fileno(), 4096).decode()
        assert chunk, f"the example ended without {pattern!r}: {seen[stream]!r}"
        seen[stream] += chunk
    return re.findall(pattern, seen[stream])


def test_aio_bridge_carries_both_directions():
    process = subprocess.Popen(
        command(["dual,serial=VX2001"], "aio_bridge.py", "--left", "VX2001 A", "--right",
                "VX2001 B", "--seconds", "30", pty=True),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    ptys = {}
    try:
        seen = {process.stdout: "", process.stderr: ""}
        for letter, name in wait_for(process.stderr, r"channel ([AB]): (\S+)\n", seen, 2):
            ptys[letter] = os.open(name, os.O_RDWR | os.O_NOCTTY)
            tty.setraw(ptys[letter])
        wait_for(process.stdout, "bridging", seen)
        for source, sink, data in (("A", "B", b"to the right"), ("B", "A", b"and back")):
            os.write(ptys[source], data)
            got = b""
            while len(got) < len(data):
                assert select.select([ptys[sink]], [], [], 10)[0], f"nothing reached {sink}"
                got += os.read(ptys[sink], 100)
            assert got == data
    finally:
        process.terminate()
        process.wait(10)
        for fd in ptys.values():
            os.close(fd)
