"""pyserial's documented semantics on a vexa:// port."""
import time

import pytest
import serial

import vexa  # noqa: F401  (registers the URL handler)
from conftest import FAULT_BULK_WRITE, eventually

CHIPS = "dual,serial=VX2001,desc=Twin;r4,serial=VS0001"


@pytest.fixture
def port(sim):
    sim.add(CHIPS)
    with serial.serial_for_url("vexa://VX2001%20B", baudrate=115200, timeout=1) as opened:
        yield opened


@pytest.mark.parametrize("url, serial_number", [
    ("vexa://VX2001%20B", "VX2001 B"), ("vexa://VX2001 B", "VX2001 B"),
    ("vexa://VX2001", "VX2001 A"), ("vexa://#2", "VS0001"), ("VEXA://#1", "VX2001 B"),
    *((bad, None) for bad in ("vexa://", "vexa://#", "vexa://#x", "vexa://NOPE", "vexa://#9")),
])
def test_urls_name_channels_and_bad_ones_raise_serial_exception(sim, url, serial_number):
    sim.add(CHIPS)
    if serial_number is None:
        with pytest.raises(serial.SerialException):
            serial.serial_for_url(url)
        return
    with serial.serial_for_url(url) as port:
        assert port.is_open and port._channel.serial == serial_number


def test_opening_applies_settings_and_lines(sim):
    sim.add(CHIPS)
    port = serial.serial_for_url("vexa://VX2001", baudrate=115200, bytesize=7,
                                 parity=serial.PARITY_ODD, stopbits=2, rtscts=True)
    state = sim.state()
    assert (state.line_control, state.flow_mode, state.dtr, state.rts) == (0x1107, 0x0100, 1, 0)
    port.baudrate = 9600  # changes on the open port reach the chip
    port.parity = serial.PARITY_NONE
    port.rtscts, port.xonxoff = False, True
    assert (sim.state().line_control, sim.state().flow_mode) == (0x1007, 0x0400)
    assert sim.state().divisor != state.divisor
    for refused in (dict(bytesize=5), dict(dsrdtr=True)):  # dsrdtr: a second flow mode
        with pytest.raises(ValueError):
            port.apply_settings(refused)
    port.close()
    port.close()
    assert not port.is_open
    with pytest.raises(serial.PortNotOpenError):
        port.read(1)


# The channel's read is tested for every kind of time-out; here, the port hands its own over.
@pytest.mark.parametrize("timeout, min_s, max_s", [(0, 0, 0.1), (0.2, 0.18, 2)])
def test_read_follows_the_timeout(port, sim, timeout, min_s, max_s):
    port.timeout = timeout
    sim.queue_rx(b"ab", channel=1)
    assert eventually(lambda: port.in_waiting == 2)
    began = time.monotonic()
    assert port.read(5) == b"ab"
    assert min_s <= time.monotonic() - began <= max_s


def test_writes_are_finished_or_time_out_and_buffers_reset(port, sim):
    sim.lib.vexa_sim_set_write_limit(0, 1, 1)  # one byte per transfer
    assert port.write(bytearray(b"x" * 100)) == 100  # no write timeout: sends it all
    assert sim.take_tx(channel=1) == b"x" * 100
    port.write_timeout = 0
    with pytest.raises(serial.SerialTimeoutException):
        port.write(b"more")
    sim.queue_rx(b"junk", channel=1)
    assert eventually(lambda: port.in_waiting == 4)
    port.reset_input_buffer()
    assert port.in_waiting == 0
    purges = sim.state(channel=1).tx_purges
    port.reset_output_buffer()
    assert sim.state(channel=1).tx_purges == purges + 1
    sim.fault(FAULT_BULK_WRITE)
    port.write_timeout = None
    with pytest.raises(serial.SerialException):
        port.write(b"lost")


def test_modem_lines_and_break(port, sim):
    port.dtr, port.rts = False, True
    port.break_condition = True
    state = sim.state(channel=1)
    assert (state.dtr, state.rts, state.line_control & 0x4000) == (0, 1, 0x4000)
    port.break_condition = False
    assert not sim.state(channel=1).line_control & 0x4000
    sim.set_status(0x20 | 0x40, channel=1)  # DSR and RI
    assert eventually(lambda: port.dsr)
    assert (port.cts, port.dsr, port.ri, port.cd) == (False, True, True, False)
