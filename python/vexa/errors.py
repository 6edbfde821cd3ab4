"""Exceptions raised for the library's status codes.

Every call that returns a status other than OK raises :class:`VexaError` or
one of its family subclasses, so a caller can catch as broadly or as narrowly
as it needs.
"""
from __future__ import annotations

from typing import Dict, Type

from . import _lib

class VexaError(Exception):
    """A library call failed.

    Attributes:
        status: the numeric status code the library returned.
        name: its symbolic name, e.g. ``"KX_ERR_IO"``.
        text: the library's description of the status.
        call: the library function that returned it.
    """

    def __init__(self, status: int, call: str = "") -> None:
        self.status = status
        self.call = call
        self.name = _lib.status_name(status)
        self.text = _lib.status_text(status)
        where = f"{call}: " if call else ""
        super().__init__(f"{where}{self.text} ({self.name})")


class NotFoundError(VexaError):
    """No channel with that index, serial number or description."""


class NotOpenedError(VexaError):
    """The channel could not be opened: busy, or a bad channel letter."""


class VexaIOError(VexaError):
    """A transfer to the chip failed (control request or bulk write)."""


class ParameterError(VexaError, ValueError):
    """The library refused an argument (a value out of range, a baud rate
    without a divisor within 3 %)."""


class EepromError(VexaError):
    """Reading, writing or erasing the EEPROM failed, or it is absent or blank."""


class UnsupportedError(VexaError):
    """The operation is not supported, or not by this chip."""


_FAMILIES: Dict[int, Type[VexaError]] = {
    _lib.ERR_NOT_FOUND: NotFoundError,
    _lib.ERR_NOT_OPENED: NotOpenedError,
    _lib.ERR_IO: VexaIOError,
    _lib.ERR_WRITE: VexaIOError,
    _lib.ERR_PARAMETER: ParameterError,
    _lib.ERR_BAUD_RATE: ParameterError,
    _lib.ERR_EE_READ: EepromError,
    _lib.ERR_EE_WRITE: EepromError,
    _lib.ERR_EE_ERASE: EepromError,
    _lib.ERR_EE_ABSENT: EepromError,
    _lib.ERR_EE_BLANK: EepromError,
    _lib.ERR_ARGS: EepromError,
    _lib.ERR_UNSUPPORTED: UnsupportedError,
}


def error_for(status: int, call: str = "") -> VexaError:
    """The exception of the family that ``status`` belongs to."""
    return _FAMILIES.get(status, VexaError)(status, call)


def check(status: int, call: str) -> None:
    """Raises the matching :class:`VexaError` unless ``status`` is OK."""
    if status != _lib.OK:
        raise error_for(status, call)


def fail_closed() -> ValueError:
    """The error for any use of a closed channel (as Python's files do)."""
    return ValueError("I/O operation on a closed vexa channel")
