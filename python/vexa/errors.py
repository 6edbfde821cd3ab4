"""Exceptions raised for the library's status codes.

Every call that returns a status other than OK raises :class:`VexaError` or
one of its family subclasses, so a caller can catch as broadly or as narrowly
as it needs.
"""
from __future__ import annotations

from typing import Dict, Optional, Type

from . import _lib

# Used only when the loaded library is too old to name its own codes.
_NAMES: Dict[int, str] = {
    _lib.OK: "KX_OK", _lib.ERR_NOT_FOUND: "KX_ERR_NOT_FOUND",
    _lib.ERR_NOT_OPENED: "KX_ERR_NOT_OPENED", _lib.ERR_IO: "KX_ERR_IO",
    _lib.ERR_RESOURCES: "KX_ERR_RESOURCES", _lib.ERR_PARAMETER: "KX_ERR_PARAMETER",
    _lib.ERR_BAUD_RATE: "KX_ERR_BAUD_RATE", _lib.ERR_WRITE: "KX_ERR_WRITE",
    _lib.ERR_EE_READ: "KX_ERR_EE_READ", _lib.ERR_EE_WRITE: "KX_ERR_EE_WRITE",
    _lib.ERR_EE_ERASE: "KX_ERR_EE_ERASE", _lib.ERR_EE_ABSENT: "KX_ERR_EE_ABSENT",
    _lib.ERR_EE_BLANK: "KX_ERR_EE_BLANK", _lib.ERR_ARGS: "KX_ERR_ARGS",
    _lib.ERR_UNSUPPORTED: "KX_ERR_UNSUPPORTED", _lib.ERR_OTHER: "KX_ERR_OTHER",
}


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
        self.name = _lib.text_of("vexa_status_name", status) or _NAMES.get(
            status, f"status {status}")
        self.text = _lib.text_of("vexa_status_text", status) or ""
        where = f"{call}: " if call else ""
        detail = f"{self.text} ({self.name})" if self.text else self.name
        super().__init__(f"{where}{detail}")


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
