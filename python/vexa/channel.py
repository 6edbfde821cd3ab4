"""Channels: discovery, opening, data and line control."""
from __future__ import annotations

import ctypes
import enum
import math
import sys
import threading
import time
from ctypes import byref, c_int, c_uint32, c_ubyte, c_ulong
from dataclasses import dataclass
from typing import TYPE_CHECKING, Callable, List, Optional, Union

from . import _lib
from .errors import NotFoundError, VexaError, check, fail_closed

if TYPE_CHECKING:
    from .eeprom import Eeprom

BytesLike = Union[bytes, bytearray, memoryview]
_KX_READ = _lib.function("KX_Read")


def _bytes_allocator() -> Optional[Callable[[None, int], bytes]]:
    """CPython's constructor of a bytes object whose contents are still to be
    written; None unless the contents of a bytes object are found (by reading
    only) where the object layout puts them."""
    if sys.implementation.name != "cpython":
        return None
    probe = b"".join([b"vexa", b" probe"])
    if ctypes.string_at(id(probe) + _BYTES_DATA_OFFSET, len(probe)) != probe:
        return None
    new = ctypes.pythonapi.PyBytes_FromStringAndSize
    new.restype = ctypes.py_object
    new.argtypes = [ctypes.c_char_p, ctypes.c_ssize_t]
    return new


_BYTES_DATA_OFFSET = bytes.__basicsize__ - 1  # the header, without the final NUL byte
_new_bytes = _bytes_allocator()


class Parity(enum.IntEnum):
    """Parity codes as the chip takes them."""
    NONE = 0
    ODD = 1
    EVEN = 2
    MARK = 3
    SPACE = 4


class Flow(enum.IntEnum):
    """Flow-control modes."""
    NONE = 0x0000
    RTS_CTS = 0x0100
    DTR_DSR = 0x0200
    XON_XOFF = 0x0400


class DeviceType(enum.IntEnum):
    """Chip families as the library reports them."""
    BCD0400 = 0
    BCD0200 = 1
    OTHER = 3
    DUAL = 4


_STOP_BITS = {1: 0, 2: 2}
_BYTE_SIZES = (7, 8)
_MODEM_CTS, _MODEM_DSR, _MODEM_RI, _MODEM_DCD = 0x10, 0x20, 0x40, 0x80
XON, XOFF = 0x11, 0x13


@dataclass(frozen=True)
class ChannelInfo:
    """One attached channel as :func:`list_channels` found it.

    ``serial`` and ``description`` carry the channel letter (" A", " B") on
    multi-channel chips and are None when the chip has no such string. The
    type and identifiers come from briefly opening the channel; they are None
    when it could not be opened (for instance because it is in use).
    """
    index: int
    serial: Optional[str]
    description: Optional[str]
    type: Optional[DeviceType]
    vendor_id: Optional[int]
    product_id: Optional[int]


def _list_string(index: int, flag: int) -> Optional[str]:
    buffer = ctypes.create_string_buffer(_lib.LIST_STRING_SIZE)
    status = _lib.function("KX_ListDevices")(ctypes.c_void_p(index), buffer,
                                             _lib.LIST_INDEXED | flag)
    if status == _lib.ERR_OTHER:  # the chip has no such string
        return None
    check(status, "KX_ListDevices")
    return buffer.value.decode("latin-1")


def _channel_count() -> int:
    count = c_uint32()
    check(_lib.function("KX_ListDevices")(byref(count), None, _lib.LIST_COUNT), "KX_ListDevices")
    return count.value


def list_channels() -> List[ChannelInfo]:
    """Rescans the USB buses and lists every channel of the accepted chips.

    Not thread-safe against other listing or opening calls (the library's
    scan state is process-wide). Raises :class:`VexaError` when the scan fails.
    """
    channels = []
    for index in range(_channel_count()):
        serial = _list_string(index, _lib.MATCH_SERIAL)
        description = _list_string(index, _lib.MATCH_DESCRIPTION)
        kind = vendor = product = None
        if serial is not None:
            try:
                with Channel._open_named(serial, _lib.MATCH_SERIAL) as probe:
                    kind, vendor, product = probe.type, probe.vendor_id, probe.product_id
            except VexaError:
                pass
        channels.append(ChannelInfo(index, serial, description, kind, vendor, product))
    return channels


def open(index: Optional[int] = None, *, serial: Optional[str] = None,  # noqa: A001
         description: Optional[str] = None) -> "Channel":
    """Opens one channel, by exactly one of index, serial number or description.

    A serial number or description selects channel B of a dual-channel chip
    with a trailing " B" (``"VX2001 B"``); without a letter it opens channel A.
    The bus is rescanned first, so chips attached since the last scan are found.

    Raises:
        NotFoundError: no such channel.
        NotOpenedError: the channel is busy or the letter is not A or B.
        ValueError: not exactly one selector given.
    """
    if sum(x is not None for x in (index, serial, description)) != 1:
        raise ValueError("give exactly one of index, serial or description")
    _channel_count()  # rescan
    if index is not None:
        if index < 0:
            raise NotFoundError(_lib.ERR_NOT_FOUND, "KX_Open")
        handle = _lib.HANDLE()
        check(_lib.function("KX_Open")(index, byref(handle)), "KX_Open")
        return Channel(handle)
    if serial is not None:
        return Channel._open_named(serial, _lib.MATCH_SERIAL)
    assert description is not None
    return Channel._open_named(description, _lib.MATCH_DESCRIPTION)


class Channel:
    """An open channel of a chip; use :func:`open` to get one.

    A context manager: leaving the ``with`` block closes it. Closing twice is
    harmless; any other call after closing raises ValueError. Reading is for
    one thread at a time; writes and control calls may run beside a read.
    Line settings (baud rate, format, flow) are remembered here, because the
    chip cannot report them; a fresh channel starts at 9600 8N1 without flow
    control as far as this object knows, until :meth:`configure` is called.
    """

    type: DeviceType  #: chip family
    vendor_id: int  #: USB vendor id
    product_id: int  #: USB product id
    serial: str  #: serial number, with " A"/" B" on a dual-channel chip
    description: str  #: product description, lettered likewise

    def __init__(self, handle: _lib.HANDLE) -> None:
        self._handle: Optional[_lib.HANDLE] = handle
        self._lock = threading.Lock()
        self._read_timeout_ms = 0
        self._got = c_uint32(0)
        self._got_ref = byref(self._got)
        self._eeprom: Optional["Eeprom"] = None
        self._baudrate = 9600
        self._bytesize = 8
        self._parity = Parity.NONE
        self._stopbits = 1
        self._flow = Flow.NONE
        self._dtr = self._rts = self._break = False
        self._event_fd: Optional[int] = None
        kind, ident = c_ulong(), c_ulong()
        serial = ctypes.create_string_buffer(_lib.INFO_SERIAL_SIZE)
        description = ctypes.create_string_buffer(_lib.INFO_DESCRIPTION_SIZE)
        try:
            self._call("KX_GetDeviceInfo", byref(kind), byref(ident), serial, description, None)
            # Only modem changes go to the status word: modem_changed reads it.
            self._call("KX_SetEventNotification", _lib.EVENT_MODEM_CHANGED, None)
        except BaseException:
            self.close()
            raise
        self.type = DeviceType(kind.value) if kind.value in DeviceType._value2member_map_ \
            else DeviceType.OTHER
        self.vendor_id = ident.value >> 16
        self.product_id = ident.value & 0xFFFF
        self.serial = serial.value.decode("latin-1")
        self.description = description.value.decode("latin-1")

    @classmethod
    def _open_named(cls, name: str, flag: int) -> "Channel":
        handle = _lib.HANDLE()
        check(_lib.function("KX_OpenEx")(name.encode("latin-1"), flag, byref(handle)),
              "KX_OpenEx")
        return cls(handle)

    # ---- lifecycle

    def _h(self) -> _lib.HANDLE:
        handle = self._handle
        if handle is None:
            raise fail_closed()
        return handle

    def _call(self, name: str, *args: object) -> None:
        check(_lib.function(name)(self._h(), *args), name)

    @property
    def closed(self) -> bool:
        """True once :meth:`close` has run."""
        return self._handle is None

    def close(self) -> None:
        """Closes the channel; later calls raise ValueError. Idempotent."""
        with self._lock:
            handle, self._handle = self._handle, None
        if handle is not None:
            _lib.function("KX_Close")(handle)

    def __enter__(self) -> "Channel":
        self._h()
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<vexa.Channel {self.serial!r} {state}>"

    # ---- data

    def _set_read_timeout(self, timeout: Optional[float]) -> None:
        # 0 means no limit to the library; anything positive waits at least 1 ms.
        ms = 0 if timeout is None else max(1, math.ceil(timeout * 1000))
        if ms != self._read_timeout_ms:
            self._call("KX_SetTimeouts", ms, 0)
            self._read_timeout_ms = ms

    def _read_to(self, target: object, size: int, timeout: Optional[float]) -> int:
        if timeout is not None and timeout <= 0:
            size = min(size, self.in_waiting)
            if size == 0:
                return 0
        else:
            self._set_read_timeout(timeout)
        got = self._got
        got.value = 0
        status = _KX_READ(self._h(), target, size, self._got_ref)
        if status != _lib.OK and status != _lib.ERR_IO:  # ERR_IO: the time-out expired
            check(status, "KX_Read")
        return got.value

    def readinto(self, buffer: Union[bytearray, memoryview], timeout: Optional[float] = None) -> int:
        """Reads into a writable buffer; returns the byte count. See :meth:`read`."""
        view = memoryview(buffer).cast("B")
        if len(view) == 0:
            self._h()
            return 0
        return self._read_to((ctypes.c_char * len(view)).from_buffer(view), len(view), timeout)

    def read(self, size: int, timeout: Optional[float] = None) -> bytes:
        """Reads up to ``size`` bytes.

        ``timeout`` in seconds: None waits until all ``size`` bytes arrived;
        0 returns at once with what is buffered; a positive number returns
        what arrived when it expires. An expired time-out is not an error:
        the result is simply shorter (possibly empty). A receive purge from
        another thread also ends a waiting read early.
        """
        if size <= 0:
            if size < 0:
                raise ValueError("size must not be negative")
            self._h()
            return b""
        if _new_bytes is not None:
            # Read straight into the bytes object that is returned: one copy
            # (ring to result), as a C caller has.
            result = _new_bytes(None, size)
            got = self._read_to(ctypes.c_void_p(id(result) + _BYTES_DATA_OFFSET), size, timeout)
            return result if got == size else result[:got]
        buffer = bytearray(size)
        got = self._read_to((ctypes.c_char * size).from_buffer(buffer), size, timeout)
        return bytes(memoryview(buffer)[:got])

    def write(self, data: BytesLike) -> int:
        """Sends ``data``; returns the number of bytes the chip accepted.

        Raises VexaIOError when the bulk transfer fails.
        """
        if not isinstance(data, bytes):
            data = bytes(data)
        written = c_uint32(0)
        self._call("KX_Write", data, len(data), byref(written))
        return written.value

    @property
    def in_waiting(self) -> int:
        """Received bytes waiting to be read."""
        queued = c_uint32()
        self._call("KX_GetQueueStatus", byref(queued))
        return queued.value

    def reset_input_buffer(self) -> None:
        """Discards received bytes; a read waiting on another thread returns early."""
        self._call("KX_Purge", _lib.PURGE_RX)

    def reset_output_buffer(self) -> None:
        """Asks the chip to discard bytes it has not sent yet."""
        self._call("KX_Purge", _lib.PURGE_TX)

    def fileno(self) -> int:
        """A descriptor that is readable while bytes wait or a modem change is unread.

        Owned by the channel (closed with it), for ``select``, ``selectors``
        or an event loop. Do not close it yourself.
        """
        self._h()
        if self._event_fd is None:
            fd = c_int(-1)
            self._call("vexa_get_event_fd", byref(fd))
            self._event_fd = fd.value
        return self._event_fd

    # ---- line settings

    def configure(self, baudrate: Optional[int] = None, bytesize: Optional[int] = None,
                  parity: Optional[Parity] = None, stopbits: Optional[int] = None,
                  flow: Optional[Flow] = None) -> None:
        """Sets any of the line settings; those not given keep their value.

        ``baudrate`` in bits per second; ``bytesize`` 7 or 8; ``stopbits`` 1
        or 2. Raises ValueError for values the chip cannot take and
        ParameterError when no divisor comes within 3 % of the baud rate.
        """
        size = self._bytesize if bytesize is None else bytesize
        stops = self._stopbits if stopbits is None else stopbits
        par = self._parity if parity is None else Parity(parity)
        if size not in _BYTE_SIZES:
            raise ValueError(f"bytesize must be 7 or 8, not {size!r}")
        if stops not in _STOP_BITS:
            raise ValueError(f"stopbits must be 1 or 2, not {stops!r}")
        if baudrate is not None:
            if not isinstance(baudrate, int) or baudrate <= 0:
                raise ValueError(f"baudrate must be a positive integer, not {baudrate!r}")
            self._call("KX_SetBaudRate", baudrate)
            self._baudrate = baudrate
        if bytesize is not None or stopbits is not None or parity is not None:
            self._call("KX_SetDataCharacteristics", size, _STOP_BITS[stops], int(par))
            self._bytesize, self._stopbits, self._parity = size, stops, par
        if flow is not None:
            flow = Flow(flow)
            self._call("KX_SetFlowControl", int(flow), XON, XOFF)
            self._flow = flow

    @property
    def baudrate(self) -> int:
        """Baud rate in bits per second."""
        return self._baudrate

    @baudrate.setter
    def baudrate(self, value: int) -> None:
        self.configure(baudrate=value)

    @property
    def bytesize(self) -> int:
        """Data bits per character: 7 or 8."""
        return self._bytesize

    @bytesize.setter
    def bytesize(self, value: int) -> None:
        self.configure(bytesize=value)

    @property
    def parity(self) -> Parity:
        """Parity of each character."""
        return self._parity

    @parity.setter
    def parity(self, value: Parity) -> None:
        self.configure(parity=value)

    @property
    def stopbits(self) -> int:
        """Stop bits: 1 or 2."""
        return self._stopbits

    @stopbits.setter
    def stopbits(self, value: int) -> None:
        self.configure(stopbits=value)

    @property
    def flow(self) -> Flow:
        """Flow control mode."""
        return self._flow

    @flow.setter
    def flow(self, value: Flow) -> None:
        self.configure(flow=value)

    # ---- modem lines

    @property
    def dtr(self) -> bool:
        """The DTR output as last set (False after opening)."""
        return self._dtr

    @dtr.setter
    def dtr(self, on: bool) -> None:
        self._call("KX_SetDtr" if on else "KX_ClrDtr")
        self._dtr = bool(on)

    @property
    def rts(self) -> bool:
        """The RTS output as last set (False after opening)."""
        return self._rts

    @rts.setter
    def rts(self, on: bool) -> None:
        self._call("KX_SetRts" if on else "KX_ClrRts")
        self._rts = bool(on)

    @property
    def break_condition(self) -> bool:
        """Whether the transmit line is held in break."""
        return self._break

    @break_condition.setter
    def break_condition(self, on: bool) -> None:
        self._call("KX_SetBreakOn" if on else "KX_SetBreakOff")
        self._break = bool(on)

    def send_break(self, duration: float = 0.25) -> None:
        """Holds the line in break for ``duration`` seconds, then releases it."""
        self.break_condition = True
        try:
            time.sleep(duration)
        finally:
            self.break_condition = False

    @property
    def modem_status(self) -> int:
        """The modem status bits the chip last reported (CTS 0x10, DSR 0x20,
        RI 0x40, CD 0x80). Reading it marks the change as seen."""
        status = c_ulong()
        self._call("KX_GetModemStatus", byref(status))
        return status.value

    @property
    def cts(self) -> bool:
        """Clear To Send input."""
        return bool(self.modem_status & _MODEM_CTS)

    @property
    def dsr(self) -> bool:
        """Data Set Ready input."""
        return bool(self.modem_status & _MODEM_DSR)

    @property
    def ri(self) -> bool:
        """Ring Indicator input."""
        return bool(self.modem_status & _MODEM_RI)

    @property
    def cd(self) -> bool:
        """Carrier Detect input."""
        return bool(self.modem_status & _MODEM_DCD)

    @property
    def modem_changed(self) -> bool:
        """True when the modem inputs changed since this was last asked or
        since they were last read (``cts``, ``modem_status``...); asking clears it."""
        events = c_uint32()
        self._call("KX_GetEventStatus", byref(events))
        return bool(events.value & _lib.EVENT_MODEM_CHANGED)

    # ---- chip features

    @property
    def latency_timer(self) -> int:
        """Latency timer in milliseconds (UnsupportedError on chips without one)."""
        value = c_ubyte()
        self._call("KX_GetLatencyTimer", byref(value))
        return value.value

    @latency_timer.setter
    def latency_timer(self, milliseconds: int) -> None:
        if not 0 <= milliseconds <= 255:
            raise ValueError("latency timer must be 0 to 255 ms")
        self._call("KX_SetLatencyTimer", milliseconds)

    def set_bit_mode(self, mask: int, mode: int) -> None:
        """Sets the bit mode: ``mask`` selects output pins, ``mode`` the mode
        code (0 resets). UnsupportedError on chips without bit modes."""
        if not (0 <= mask <= 255 and 0 <= mode <= 255):
            raise ValueError("mask and mode are bytes")
        self._call("KX_SetBitMode", mask, mode)

    def read_pins(self) -> int:
        """The pin levels in bit mode (UnsupportedError on chips without bit modes)."""
        value = c_ubyte()
        self._call("KX_GetBitMode", byref(value))
        return value.value

    def reset(self) -> None:
        """Resets the chip and discards both directions' buffered data."""
        self._call("KX_ResetDevice")

    @property
    def eeprom(self) -> "Eeprom":
        """The chip's configuration EEPROM."""
        self._h()
        if self._eeprom is None:
            from .eeprom import Eeprom
            self._eeprom = Eeprom(self)
        return self._eeprom
