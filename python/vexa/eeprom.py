"""The configuration EEPROM beside a chip: the decoded record, the user area and raw words."""
from __future__ import annotations

import ctypes
import dataclasses
from ctypes import byref, c_uint32, c_ushort
from dataclasses import dataclass
from typing import TYPE_CHECKING, List, Optional

from . import _lib

if TYPE_CHECKING:
    from .channel import Channel, BytesLike

_TEXTS = ("manufacturer", "manufacturer_id", "description", "serial_number")


@dataclass
class EepromConfig:
    """A chip's EEPROM configuration.

    The same record serves single- and dual-channel chips: the ``dual_*``,
    ``*_a``/``*_b`` and ``a_config_*``/``b_config_*`` fields matter only on
    the dual-channel chip, ``rev4`` to ``usb_version`` only on the others.
    When programming, an empty ``serial_number`` makes the library generate
    one from ``manufacturer_id`` (two characters); ``max_power`` is in mA,
    at most 500. ``dual_image`` is only reported by :meth:`Eeprom.read`.
    """
    vendor_id: int = 0x0403
    product_id: int = 0x6001
    manufacturer: str = ""
    manufacturer_id: str = ""
    description: str = ""
    serial_number: str = ""
    max_power: int = 100
    plug_and_play: bool = True
    self_powered: bool = False
    remote_wakeup: bool = False
    rev4: bool = True
    iso_in: bool = False
    iso_out: bool = False
    pull_down_enable: bool = False
    serial_number_enable: bool = True
    usb_version_enable: bool = False
    usb_version: int = 0x0200
    dual_image: bool = False
    iso_in_a: bool = False
    iso_in_b: bool = False
    iso_out_a: bool = False
    iso_out_b: bool = False
    dual_pull_down_enable: bool = False
    dual_serial_number_enable: bool = True
    dual_usb_version_enable: bool = False
    dual_usb_version: int = 0x0200
    a_config_bit4: bool = False
    b_config_bit4: bool = False
    a_config_bit0: bool = False
    a_config_bit1: bool = False
    a_config_bit2: bool = False
    a_config_bit3: bool = False
    b_config_bit0: bool = False
    b_config_bit1: bool = False
    b_config_bit2: bool = False
    b_config_bit3: bool = False


def _to_record(config: EepromConfig, keep: List[object]) -> _lib.ProgramData:
    record = _lib.ProgramData(marker_zero=0, marker_ones=0xFFFFFFFF)
    for field in dataclasses.fields(config):
        value = getattr(config, field.name)
        if field.name in _TEXTS:
            text = ctypes.create_string_buffer(value.encode("latin-1"))
            keep.append(text)  # the record only points at it
            value = ctypes.cast(text, ctypes.c_char_p)
        setattr(record, field.name, value)
    return record


def _from_record(record: _lib.ProgramData) -> EepromConfig:
    values = {}
    for field in dataclasses.fields(EepromConfig):
        value = getattr(record, field.name)
        if field.name in _TEXTS:
            value = (value or b"").decode("latin-1")
        elif field.type in ("bool", bool):
            value = bool(value)
        values[field.name] = value
    return EepromConfig(**values)


class UserArea:
    """The free bytes of the EEPROM after the configuration."""

    def __init__(self, channel: "Channel") -> None:
        self._channel = channel

    @property
    def size(self) -> int:
        """Size of the user area in bytes (it depends on the texts programmed)."""
        size = c_uint32()
        self._channel._call("KX_EE_UASize", byref(size))
        return size.value

    def read(self, length: Optional[int] = None) -> bytes:
        """Reads ``length`` bytes (default: the whole area) from its start."""
        if length is None:
            length = self.size
        buffer = ctypes.create_string_buffer(max(length, 1))
        got = c_uint32(0)
        self._channel._call("KX_EE_UARead", buffer, length, byref(got))
        return buffer.raw[:got.value]

    def write(self, data: "BytesLike") -> None:
        """Writes ``data`` at the start of the area; EepromError when it does not fit."""
        data = bytes(data)
        self._channel._call("KX_EE_UAWrite", data, len(data))


class Eeprom:
    """EEPROM access of an open channel (``channel.eeprom``)."""

    def __init__(self, channel: "Channel") -> None:
        self._channel = channel
        self.user_area = UserArea(channel)

    def read(self) -> EepromConfig:
        """Decodes the configuration. EepromError when it is absent, blank or unreadable."""
        buffers = [ctypes.create_string_buffer(_lib.EE_TEXT_SIZE) for _ in _TEXTS]
        record = _lib.ProgramData(marker_zero=0, marker_ones=0xFFFFFFFF)
        for name, buffer in zip(_TEXTS, buffers):
            setattr(record, name, ctypes.cast(buffer, ctypes.c_char_p))
        self._channel._call("KX_EE_Read", byref(record))
        return _from_record(record)

    def program(self, config: EepromConfig) -> None:
        """Erases the EEPROM and writes ``config``, then verifies it.

        The user area is left zeroed. Raises EepromError when erasing,
        writing or the read-back fails, VexaError when the texts do not fit.
        """
        keep: List[object] = []
        record = _to_record(config, keep)
        self._channel._call("KX_EE_Program", byref(record))

    def erase(self) -> None:
        """Erases the whole EEPROM (every word reads 0xFFFF afterwards)."""
        self._channel._call("KX_EraseEE")

    def read_word(self, offset: int) -> int:
        """The 16-bit word at word ``offset`` (0 to 256)."""
        self._check_offset(offset)
        value = c_ushort()
        self._channel._call("KX_ReadEE", offset, byref(value))
        return value.value

    def write_word(self, offset: int, value: int) -> None:
        """Writes the 16-bit ``value`` at word ``offset`` (0 to 256)."""
        self._check_offset(offset)
        if not 0 <= value <= 0xFFFF:
            raise ValueError("an EEPROM word is 16 bits")
        self._channel._call("KX_WriteEE", offset, value)

    @staticmethod
    def _check_offset(offset: int) -> None:
        # The library reports offsets above 256 itself; negative ones would
        # wrap around in the conversion to an unsigned long.
        if offset < 0:
            raise ValueError("EEPROM word offsets are not negative")
