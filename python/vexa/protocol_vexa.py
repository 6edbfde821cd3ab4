"""pyserial URL handler for ``vexa://`` ports (``serial.serial_for_url``)."""
from .serial_port import Serial

__all__ = ["Serial"]
