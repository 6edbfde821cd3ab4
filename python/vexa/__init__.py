"""vexa: USB-to-serial bridge chips from Python.

    import vexa
    for info in vexa.list_channels():
        print(info.index, info.serial, info.description)
    with vexa.open(serial="VX2001 B") as ch:
        ch.configure(baudrate=115200)
        ch.write(b"ping")
        print(ch.read(4, timeout=1.0))

``vexa.aio`` gives asyncio streams; with pyserial installed, importing vexa
also lets ``serial.serial_for_url("vexa://...")`` open our chips.
"""
from __future__ import annotations

from . import _lib
from .channel import Channel, ChannelInfo, DeviceType, Flow, Parity, list_channels, open
from .eeprom import Eeprom, EepromConfig, UserArea
from .errors import (EepromError, NotFoundError, NotOpenedError, ParameterError,
                     UnsupportedError, VexaError, VexaIOError)

__version__ = "1.0.0"

__all__ = [
    "Channel", "ChannelInfo", "DeviceType", "Flow", "Parity", "list_channels", "open",
    "Eeprom", "EepromConfig", "UserArea", "VexaError", "NotFoundError", "NotOpenedError",
    "VexaIOError", "ParameterError", "EepromError", "UnsupportedError", "library_version",
]


def library_version() -> str:
    """Version of the loaded libvexa, "MAJOR.MINOR.PATCH"."""
    return _lib.function("vexa_version")().decode("ascii")


def _register_url_handler() -> None:
    try:
        import serial
    except ImportError:
        return
    if "vexa" not in serial.protocol_handler_packages:
        serial.protocol_handler_packages.append("vexa")


_register_url_handler()
