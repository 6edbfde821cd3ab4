import select
import threading
import time

import pytest

import vexa
from conftest import FAULT_BULK_WRITE, FAULT_CONTROL, eventually

DUAL_AND_SINGLE = "dual,serial=VX2001,desc=Twin;r4,serial=VS0001,desc=Solo"


def test_listing_names_every_channel_with_its_identity(sim):
    sim.add("dual,serial=VX2001,desc=Twin;r4,desc=Nameless")
    assert [(c.index, c.serial, c.description, c.type, c.vendor_id, c.product_id)
            for c in vexa.list_channels()] == [
        (0, "VX2001 A", "Twin A", vexa.DeviceType.DUAL, 0x0403, 0x6010),
        (1, "VX2001 B", "Twin B", vexa.DeviceType.DUAL, 0x0403, 0x6010),
        (2, None, "Nameless", None, None, None),
    ]


@pytest.mark.parametrize("selector, expected", [
    (dict(index=1), "VX2001 B"), (dict(serial="VX2001 B"), "VX2001 B"),
    (dict(description="Solo"), "VS0001"), (dict(index=3), vexa.NotFoundError),
    (dict(index=-1), vexa.NotFoundError), (dict(serial="VX2001 C"), vexa.NotOpenedError),
    (dict(), ValueError), (dict(index=0, serial="VX2001"), ValueError),
])
def test_open_by_each_selector(sim, selector, expected):
    assert vexa.list_channels() == []  # open scans again and finds the chips added since
    sim.add(DUAL_AND_SINGLE)
    if isinstance(expected, str):
        with vexa.open(**selector) as ch:
            assert ch.serial == expected
    else:
        with pytest.raises(expected):
            vexa.open(**selector)


def test_close_is_idempotent_and_use_after_close_raises(ch):
    ch.close()
    ch.close()
    assert ch.closed
    for use in (lambda: ch.read(1), lambda: ch.write(b"x"), lambda: ch.in_waiting,
                lambda: setattr(ch, "dtr", True), lambda: ch.eeprom.erase(), ch.fileno):
        with pytest.raises(ValueError):
            use()


@pytest.mark.parametrize("queued, later, size, timeout, expected, min_s, max_s", [
    (b"ab", b"cd", 4, None, b"abcd", 0.28, 2),   # no time-out: waits for every byte
    (b"ab", b"", 5, 0, b"ab", 0, 0.1),           # non-blocking: what is there
    (b"abc", b"", 10, 0.3, b"abc", 0.28, 2),     # time-out: partial, no error
    (b"xy", b"", 0, None, b"", 0, 0.1),
])
@pytest.mark.parametrize("into_result", [True, False])
def test_read_time_outs(sim, ch, monkeypatch, into_result, queued, later, size, timeout, expected,
                        min_s, max_s):
    if not into_result:  # the copying path of interpreters other than CPython
        monkeypatch.setattr(vexa.channel, "_new_bytes", None)
    sim.queue_rx(queued)
    assert eventually(lambda: ch.in_waiting == len(queued))
    if later:
        threading.Timer(0.3, sim.queue_rx, [later]).start()
    began = time.monotonic()
    assert ch.read(size, timeout=timeout) == expected
    assert min_s <= time.monotonic() - began <= max_s


def test_write_delivers_and_readinto_fills_a_view_when_select_says_so(sim, ch):
    assert ch.write(bytearray(b"abc")) == 3 and ch.write(b"") == 0
    assert sim.take_tx() == b"abc"
    fd = ch.fileno()
    assert select.select([fd], [], [], 0)[0] == []
    sim.queue_rx(b"echo")
    assert select.select([fd], [], [], 2)[0] == [fd]
    buffer = bytearray(8)
    assert ch.readinto(memoryview(buffer)[:4], timeout=1) == 4
    assert buffer == b"echo" + bytes(4)


def test_configure_reaches_the_chip(sim, ch):
    ch.configure(baudrate=115200, bytesize=7, parity=vexa.Parity.EVEN, stopbits=2,
                 flow=vexa.Flow.XON_XOFF)
    state = sim.state()
    assert (state.line_control, state.flow_mode, state.flow_chars) == (0x1207, 0x0400, 0x1311)
    assert (ch.baudrate, ch.bytesize, ch.parity, ch.stopbits, ch.flow) == (
        115200, 7, vexa.Parity.EVEN, 2, vexa.Flow.XON_XOFF)
    ch.baudrate = 9600
    assert sim.state().divisor != state.divisor
    ch.parity = vexa.Parity.NONE  # other settings stay
    assert sim.state().line_control == 0x1007


@pytest.mark.parametrize("settings, error", [
    (dict(bytesize=6), ValueError), (dict(stopbits=1.5), ValueError),
    (dict(baudrate=0), ValueError), (dict(parity=9), ValueError),
    (dict(baudrate=50_000_000), vexa.ParameterError),
])
def test_configure_refuses_what_the_chip_cannot_do(sim, ch, settings, error):
    with pytest.raises(error):
        ch.configure(**settings)
    assert (ch.baudrate, ch.bytesize, ch.stopbits, ch.parity) == (9600, 8, 1, vexa.Parity.NONE)


def test_modem_lines(sim, ch):
    ch.dtr, ch.rts = True, True
    assert (sim.state().dtr, sim.state().rts) == (1, 1)
    ch.dtr = False
    assert (sim.state().dtr, ch.dtr, ch.rts) == (0, False, True)
    assert not ch.modem_changed
    sim.set_status(0x10 | 0x80)  # CTS and CD
    assert eventually(lambda: ch.modem_changed)
    assert (ch.cts, ch.dsr, ch.ri, ch.cd) == (True, False, False, True)


def test_break_latency_and_bit_mode(sim, ch):
    ch.break_condition = True
    assert sim.state().line_control == 0x4000
    ch.send_break(0.01)
    assert sim.state().line_control == 0 and not ch.break_condition
    ch.latency_timer = 2
    assert ch.latency_timer == 2 == sim.state().latency_timer
    ch.set_bit_mode(0x0F, 0x01)
    assert (sim.state().bit_mask, sim.state().bit_mode) == (0x0F, 0x01)
    sim.add("r2,serial=OLD")
    with vexa.open(serial="OLD") as old, pytest.raises(vexa.UnsupportedError):
        old.latency_timer = 2


def test_library_failures_raise_their_family(sim, ch):
    sim.fault(FAULT_CONTROL, request=1)  # modem-control request
    with pytest.raises(vexa.VexaIOError) as caught:
        ch.dtr = True
    assert caught.value.status == 4 and caught.value.name == "KX_ERR_IO"
    assert "KX_SetDtr" in str(caught.value) and not ch.dtr
    sim.fault(FAULT_BULK_WRITE)
    with pytest.raises(vexa.VexaIOError) as caught:
        ch.write(b"lost")
    assert caught.value.status == 10
