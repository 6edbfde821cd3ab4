"""A pyserial port on a vexa channel.

``Serial`` is a ``serial.SerialBase``, so programs written for pyserial run
unchanged. The port is a ``vexa://`` URL (``vexa://VX2001``,
``vexa://VX2001%20B`` for channel B, ``vexa://#0`` for the first channel)
or a bare serial number. Needs pyserial (Debian: python3-serial).
"""
from __future__ import annotations

import time
import urllib.parse
from typing import Any, Optional, Tuple

import serial
from serial import SerialBase, SerialException, SerialTimeoutException

from . import channel as _channel
from .channel import Channel, Flow, Parity
from .errors import VexaError

try:
    from serial import PortNotOpenError
except ImportError:  # pyserial before 3.5
    PortNotOpenError = SerialException  # type: ignore

_PARITIES = {
    serial.PARITY_NONE: Parity.NONE, serial.PARITY_ODD: Parity.ODD,
    serial.PARITY_EVEN: Parity.EVEN, serial.PARITY_MARK: Parity.MARK,
    serial.PARITY_SPACE: Parity.SPACE,
}
_URL_FORMS = '"vexa://SERIAL", "vexa://SERIAL%20B" or "vexa://#INDEX"'


def parse_url(url: str) -> Tuple[Optional[int], Optional[str]]:
    """(index, serial) named by a port string; SerialException when malformed."""
    rest = url
    if url.lower().startswith("vexa://"):
        rest = urllib.parse.unquote(url[len("vexa://"):])
    if rest.startswith("#"):
        if not rest[1:].isdigit():
            raise SerialException(f"expected {_URL_FORMS}, not {url!r}")
        return int(rest[1:]), None
    if not rest:
        raise SerialException(f"expected {_URL_FORMS}, not {url!r}")
    return None, rest


class Serial(SerialBase):
    """pyserial's interface on a vexa channel.

    Supported: 7 or 8 data bits, parity N/E/O/M/S, 1 or 2 stop bits, and one
    flow-control mode at a time (rtscts, dsrdtr or xonxoff).
    ``inter_byte_timeout`` is not supported. ``write_timeout`` bounds a write
    that the chip accepts only in parts.
    """

    BAUDRATES = SerialBase.BAUDRATES + (230400, 460800, 921600, 1000000, 2000000, 3000000)
    BYTESIZES = (serial.SEVENBITS, serial.EIGHTBITS)
    STOPBITS = (serial.STOPBITS_ONE, serial.STOPBITS_TWO)

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        self._channel: Optional[Channel] = None
        super().__init__(*args, **kwargs)

    # ---- opening

    def open(self) -> None:
        """Opens the channel the port names; SerialException when it cannot."""
        if self._port is None:
            raise SerialException("Port must be configured before it can be used.")
        if self.is_open:
            raise SerialException("Port is already open.")
        index, name = parse_url(self._port)
        try:
            self._channel = _channel.open(index, serial=name)
        except VexaError as error:
            raise SerialException(f"could not open port {self._port}: {error}") from error
        self.is_open = True
        try:
            self._reconfigure_port()
            if not self._dsrdtr:
                self._update_dtr_state()
            if not self._rtscts:
                self._update_rts_state()
            self.reset_input_buffer()
        except BaseException:
            self.close()
            raise

    def close(self) -> None:
        """Closes the port; harmless when it is not open."""
        if self._channel is not None:
            self._channel.close()
            self._channel = None
        self.is_open = False

    def from_url(self, url: str) -> str:
        """Checks a ``vexa://`` URL and returns it unchanged."""
        parse_url(url)
        return url

    def _open_channel(self) -> Channel:
        if not self.is_open or self._channel is None:
            raise PortNotOpenError()
        return self._channel

    def _reconfigure_port(self, force_update: bool = False) -> None:
        ch = self._open_channel()
        if self._bytesize not in self.BYTESIZES:
            raise ValueError(f"unsupported byte size: {self._bytesize!r}")
        if self._stopbits not in self.STOPBITS:
            raise ValueError(f"unsupported number of stop bits: {self._stopbits!r}")
        if self._inter_byte_timeout is not None:
            raise ValueError("inter_byte_timeout is not supported")
        modes = [mode for on, mode in ((self._rtscts, Flow.RTS_CTS), (self._dsrdtr, Flow.DTR_DSR),
                                       (self._xonxoff, Flow.XON_XOFF)) if on]
        if len(modes) > 1:
            raise ValueError("only one of rtscts, dsrdtr and xonxoff can be on")
        try:
            ch.configure(baudrate=self._baudrate, bytesize=self._bytesize,
                         parity=_PARITIES[self._parity], stopbits=int(self._stopbits),
                         flow=modes[0] if modes else Flow.NONE)
        except VexaError as error:
            raise SerialException(f"cannot configure the port: {error}") from error

    # ---- data

    @property
    def in_waiting(self) -> int:
        """Received bytes waiting to be read."""
        return self._guard(lambda ch: ch.in_waiting)

    def read(self, size: int = 1) -> bytes:
        """Reads ``size`` bytes, as pyserial defines it: with ``timeout`` None
        until they arrived, with 0 what is buffered, else until the time-out."""
        return self._guard(lambda ch: ch.read(size, timeout=self._timeout))

    def write(self, data: Any) -> int:
        """Sends ``data``; returns its length. SerialTimeoutException when the
        write time-out expires before the chip took it all."""
        data = memoryview(serial.to_bytes(data)).cast("B")
        self._open_channel()
        deadline = None if self._write_timeout is None else time.monotonic() + self._write_timeout
        sent = 0
        while sent < len(data):
            taken = self._guard(lambda c: c.write(data[sent:]))
            sent += taken
            if sent < len(data):
                if deadline is not None and time.monotonic() >= deadline:
                    raise SerialTimeoutException("Write timeout")
                if taken == 0 and deadline is None:
                    raise SerialException("the chip accepts no more data")
        return len(data)

    def flush(self) -> None:
        """Returns once written data is sent: writes are synchronous already."""
        self._open_channel()

    def reset_input_buffer(self) -> None:
        """Discards received bytes."""
        self._guard(lambda ch: ch.reset_input_buffer())

    def reset_output_buffer(self) -> None:
        """Discards bytes not yet sent."""
        self._guard(lambda ch: ch.reset_output_buffer())

    def fileno(self) -> int:
        """A descriptor readable while received bytes wait, for select()."""
        return self._guard(lambda ch: ch.fileno())

    # ---- modem lines

    def _update_break_state(self) -> None:
        self._guard(lambda ch: setattr(ch, "break_condition", self._break_state))

    def _update_rts_state(self) -> None:
        self._guard(lambda ch: setattr(ch, "rts", self._rts_state))

    def _update_dtr_state(self) -> None:
        self._guard(lambda ch: setattr(ch, "dtr", self._dtr_state))

    @property
    def cts(self) -> bool:
        """Clear To Send."""
        return self._guard(lambda ch: ch.cts)

    @property
    def dsr(self) -> bool:
        """Data Set Ready."""
        return self._guard(lambda ch: ch.dsr)

    @property
    def ri(self) -> bool:
        """Ring Indicator."""
        return self._guard(lambda ch: ch.ri)

    @property
    def cd(self) -> bool:
        """Carrier Detect."""
        return self._guard(lambda ch: ch.cd)

    def _guard(self, action: Any) -> Any:
        """Runs ``action`` on the open channel, turning library errors into
        SerialException as pyserial's own ports do."""
        ch = self._open_channel()
        try:
            return action(ch)
        except VexaError as error:
            raise SerialException(str(error)) from error
