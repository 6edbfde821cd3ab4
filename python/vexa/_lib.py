"""Loading libvexa through ctypes, with every function's types declared once.

The library is found the way the dynamic loader finds any shared library
(``libvexa.so.1``), unless ``VEXA_LIBRARY`` names a file to load instead.
A library without one of the functions below is refused at import.
"""
from __future__ import annotations

import ctypes
import os
from ctypes import POINTER, c_char_p, c_int, c_uint8, c_uint16, c_uint32, c_ulong, c_ushort
from ctypes import c_ubyte, c_void_p
from typing import Any, Callable, Dict

STATUS = c_uint32
HANDLE = c_void_p

OK = 0
ERR_NOT_FOUND = 2
ERR_NOT_OPENED = 3
ERR_IO = 4
ERR_RESOURCES = 5
ERR_PARAMETER = 6
ERR_BAUD_RATE = 7
ERR_WRITE = 10
ERR_EE_READ = 11
ERR_EE_WRITE = 12
ERR_EE_ERASE = 13
ERR_EE_ABSENT = 14
ERR_EE_BLANK = 15
ERR_ARGS = 16
ERR_UNSUPPORTED = 17
ERR_OTHER = 18

MATCH_SERIAL = 0x1
MATCH_DESCRIPTION = 0x2
LIST_INDEXED = 0x40000000
LIST_COUNT = 0x80000000

EVENT_MODEM_CHANGED = 2
PURGE_RX = 1
PURGE_TX = 2

LIST_STRING_SIZE = 258
INFO_SERIAL_SIZE = 19
INFO_DESCRIPTION_SIZE = 67
EE_TEXT_SIZE = 64


class ProgramData(ctypes.Structure):
    """The EEPROM configuration record in its current form (with the markers)."""

    _fields_ = [
        ("marker_zero", c_uint32),
        ("marker_ones", c_uint32),
        ("layout_version", c_uint32),
        ("vendor_id", c_uint16),
        ("product_id", c_uint16),
        ("manufacturer", c_char_p),
        ("manufacturer_id", c_char_p),
        ("description", c_char_p),
        ("serial_number", c_char_p),
        ("max_power", c_uint16),
        ("plug_and_play", c_uint16),
        ("self_powered", c_uint16),
        ("remote_wakeup", c_uint16),
        ("rev4", c_uint8),
        ("iso_in", c_uint8),
        ("iso_out", c_uint8),
        ("pull_down_enable", c_uint8),
        ("serial_number_enable", c_uint8),
        ("usb_version_enable", c_uint8),
        ("usb_version", c_uint16),
        ("dual_image", c_uint8),
        ("iso_in_a", c_uint8),
        ("iso_in_b", c_uint8),
        ("iso_out_a", c_uint8),
        ("iso_out_b", c_uint8),
        ("dual_pull_down_enable", c_uint8),
        ("dual_serial_number_enable", c_uint8),
        ("dual_usb_version_enable", c_uint8),
        ("dual_usb_version", c_uint16),
        ("a_config_bit4", c_uint8),
        ("b_config_bit4", c_uint8),
        ("a_config_bit0", c_uint8),
        ("a_config_bit1", c_uint8),
        ("a_config_bit2", c_uint8),
        ("a_config_bit3", c_uint8),
        ("b_config_bit0", c_uint8),
        ("b_config_bit1", c_uint8),
        ("b_config_bit2", c_uint8),
        ("b_config_bit3", c_uint8),
    ]


_H = HANDLE
_P32 = POINTER(c_uint32)
# name: (result type, argument types)
_PROTOTYPES: Dict[str, Any] = {
    "my_init": (None, []),
    "my_fini": (None, []),
    "KX_ListDevices": (STATUS, [c_void_p, c_void_p, c_uint32]),
    "KX_Open": (STATUS, [c_int, POINTER(HANDLE)]),
    "KX_OpenEx": (STATUS, [c_char_p, c_uint32, POINTER(HANDLE)]),
    "KX_Close": (STATUS, [_H]),
    "KX_SetVIDPID": (STATUS, [c_uint32, c_uint32]),
    "KX_GetVIDPID": (STATUS, [_P32, _P32]),
    "KX_Read": (STATUS, [_H, c_void_p, c_uint32, _P32]),
    "KX_Write": (STATUS, [_H, c_void_p, c_uint32, _P32]),
    "KX_SetTimeouts": (STATUS, [_H, c_uint32, c_uint32]),
    "KX_GetQueueStatus": (STATUS, [_H, _P32]),
    "KX_GetStatus": (STATUS, [_H, _P32, _P32, _P32]),
    "KX_SetEventNotification": (STATUS, [_H, c_uint32, c_void_p]),
    "KX_GetEventStatus": (STATUS, [_H, _P32]),
    "KX_SetWaitMask": (STATUS, [_H, c_uint32]),
    "KX_WaitOnMask": (STATUS, [_H, _P32]),
    "KX_SetUSBParameters": (STATUS, [_H, c_uint32, c_uint32]),
    "KX_StopInTask": (STATUS, [_H]),
    "KX_RestartInTask": (STATUS, [_H]),
    "KX_SetBaudRate": (STATUS, [_H, c_ulong]),
    "KX_SetDivisor": (STATUS, [_H, c_ushort]),
    "KX_SetDataCharacteristics": (STATUS, [_H, c_ubyte, c_ubyte, c_ubyte]),
    "KX_SetFlowControl": (STATUS, [_H, c_ushort, c_ubyte, c_ubyte]),
    "KX_SetDtr": (STATUS, [_H]),
    "KX_ClrDtr": (STATUS, [_H]),
    "KX_SetRts": (STATUS, [_H]),
    "KX_ClrRts": (STATUS, [_H]),
    "KX_SetChars": (STATUS, [_H, c_ubyte, c_ubyte, c_ubyte, c_ubyte]),
    "KX_Purge": (STATUS, [_H, c_ulong]),
    "KX_SetBreakOn": (STATUS, [_H]),
    "KX_SetBreakOff": (STATUS, [_H]),
    "KX_ResetDevice": (STATUS, [_H]),
    "KX_SetLatencyTimer": (STATUS, [_H, c_ubyte]),
    "KX_GetLatencyTimer": (STATUS, [_H, POINTER(c_ubyte)]),
    "KX_SetBitMode": (STATUS, [_H, c_ubyte, c_ubyte]),
    "KX_GetBitMode": (STATUS, [_H, POINTER(c_ubyte)]),
    "KX_GetModemStatus": (STATUS, [_H, POINTER(c_ulong)]),
    "KX_GetDeviceInfo": (STATUS, [_H, POINTER(c_ulong), POINTER(c_ulong), c_char_p, c_char_p,
                                  c_void_p]),
    "KX_IoCtl": (STATUS, [_H, c_uint32, c_void_p, c_uint32, c_void_p, c_uint32, _P32]),
    "KX_SetResetPipeRetryCount": (STATUS, [_H, c_uint32]),
    "KX_ResetPort": (STATUS, [_H]),
    "KX_ReadEE": (STATUS, [_H, c_ulong, POINTER(c_ushort)]),
    "KX_WriteEE": (STATUS, [_H, c_ulong, c_ushort]),
    "KX_EraseEE": (STATUS, [_H]),
    "KX_EE_Program": (STATUS, [_H, POINTER(ProgramData)]),
    "KX_EE_Read": (STATUS, [_H, POINTER(ProgramData)]),
    "KX_EE_UASize": (STATUS, [_H, _P32]),
    "KX_EE_UAWrite": (STATUS, [_H, c_void_p, c_uint32]),
    "KX_EE_UARead": (STATUS, [_H, c_void_p, c_uint32, _P32]),
    "vexa_get_event_fd": (STATUS, [_H, POINTER(c_int)]),
    "vexa_status_name": (c_char_p, [STATUS]),
    "vexa_status_text": (c_char_p, [STATUS]),
    "vexa_version": (c_char_p, []),
}


def _load() -> ctypes.CDLL:
    path = os.environ.get("VEXA_LIBRARY") or "libvexa.so.1"
    try:
        return ctypes.CDLL(path)
    except OSError as error:
        raise ImportError(f"cannot load the vexa library ({path}): {error}. Install libvexa1, "
                          "or set VEXA_LIBRARY to the path of libvexa.so.1") from error


def _declare(library: ctypes.CDLL) -> Dict[str, Callable[..., Any]]:
    functions = {}
    for name, (restype, argtypes) in _PROTOTYPES.items():
        try:
            declared = getattr(library, name)
        except AttributeError as error:
            raise ImportError(f"the loaded vexa library lacks {name}: it is older than this "
                              "package") from error
        declared.restype = restype
        declared.argtypes = argtypes
        functions[name] = declared
    return functions


lib = _load()
_functions = _declare(lib)


def function(name: str) -> Callable[..., Any]:
    """The declared library function ``name``."""
    return _functions[name]


def status_name(status: int) -> str:
    """The library's name of a status code, e.g. "KX_ERR_IO"."""
    return _functions["vexa_status_name"](status).decode("ascii", "replace")


def status_text(status: int) -> str:
    """The library's one-line description of a status code."""
    return _functions["vexa_status_text"](status).decode("ascii", "replace")
