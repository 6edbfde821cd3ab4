"""asyncio streams over channels.

Each stream waits on the channel's event descriptor with ``loop.add_reader``:
no thread per channel and no polling. The descriptor is watched only while a
coroutine waits, because it stays readable as long as bytes are buffered.
"""
from __future__ import annotations

import asyncio
from typing import Optional

from . import channel as _channel
from .channel import BytesLike, Channel

_DEFAULT_LIMIT = 1 << 16


class Stream:
    """A channel seen as an asyncio byte stream (see :func:`open`).

    One coroutine reads at a time (RuntimeError otherwise). ``write`` sends at
    once, as the library's write does, so ``drain`` has nothing to wait for.
    """

    def __init__(self, channel: Channel, limit: int = _DEFAULT_LIMIT) -> None:
        self.channel = channel
        self._limit = limit
        self._buffer = bytearray()
        self._reading = False
        self._modem_changed = asyncio.Event()

    # ---- waiting

    async def _wait_readable(self) -> None:
        loop = asyncio.get_running_loop()
        fd = self.channel.fileno()
        ready = loop.create_future()

        def wake() -> None:
            if not ready.done():
                ready.set_result(None)

        loop.add_reader(fd, wake)
        try:
            await ready
        finally:
            loop.remove_reader(fd)

    async def _fill(self) -> None:
        """Waits until received bytes are appended to the buffer or the modem
        inputs changed."""
        if self._reading:
            raise RuntimeError("another coroutine is already reading from this stream")
        self._reading = True
        try:
            while True:
                waiting = self.channel.in_waiting
                if waiting:
                    self._buffer += self.channel.read(waiting, timeout=0)
                    return
                await self._wait_readable()
                if not self.channel.in_waiting:
                    # Readable without data: a modem change. Reading the
                    # status marks it seen, so the descriptor quiets down.
                    self.channel.modem_status
                    self._modem_changed.set()
                    return
        finally:
            self._reading = False

    def _take(self, n: int) -> bytes:
        data = bytes(self._buffer[:n])
        del self._buffer[:n]
        return data

    # ---- reading

    async def read(self, n: int = -1) -> bytes:
        """Waits for at least one byte, then returns up to ``n`` bytes
        (everything buffered when ``n`` is -1). ``read(0)`` returns b""."""
        if n == 0:
            return b""
        while not self._buffer:
            await self._fill()
        return self._take(len(self._buffer) if n < 0 else n)

    async def readexactly(self, n: int) -> bytes:
        """Waits until exactly ``n`` bytes have arrived and returns them."""
        if n < 0:
            raise ValueError("readexactly size can not be less than zero")
        while len(self._buffer) < n:
            await self._fill()
        return self._take(n)

    async def readuntil(self, separator: bytes = b"\n") -> bytes:
        """Returns the bytes up to and including ``separator``.

        Raises asyncio.LimitOverrunError when the stream's limit (64 KiB by
        default) is buffered without a separator; the data stays buffered.
        """
        if not separator:
            raise ValueError("separator should be at least one-byte string")
        start = 0
        while True:
            found = self._buffer.find(separator, start)
            if found >= 0:
                return self._take(found + len(separator))
            if len(self._buffer) > self._limit:
                raise asyncio.LimitOverrunError(
                    "separator is not found, and chunk exceed the limit", len(self._buffer))
            start = max(0, len(self._buffer) - len(separator) + 1)
            await self._fill()

    async def wait_modem_change(self) -> int:
        """Waits until the modem inputs change; returns the new modem status bits.

        Serves only while no other coroutine reads the stream.
        """
        self._modem_changed.clear()
        while not self._modem_changed.is_set():
            if self.channel.modem_changed:
                break
            await self._fill()
        self._modem_changed.clear()
        return self.channel.modem_status

    # ---- writing and closing

    def write(self, data: BytesLike) -> None:
        """Sends ``data`` now (VexaIOError when the transfer fails)."""
        self.channel.write(data)

    async def drain(self) -> None:
        """Kept for symmetry with asyncio streams: writes are already sent."""
        await asyncio.sleep(0)

    def close(self) -> None:
        """Closes the channel."""
        self.channel.close()

    async def wait_closed(self) -> None:
        """Returns once :meth:`close` has run (closing does not wait)."""

    async def __aenter__(self) -> "Stream":
        return self

    async def __aexit__(self, *exc: object) -> None:
        self.close()


async def open(index: Optional[int] = None, *, serial: Optional[str] = None,  # noqa: A001
               description: Optional[str] = None, limit: int = _DEFAULT_LIMIT) -> Stream:
    """Opens a channel as :func:`vexa.open` does and wraps it in a :class:`Stream`.

    Raises UnsupportedError when the library has no event descriptor.
    """
    ch = _channel.open(index, serial=serial, description=description)
    try:
        ch.fileno()
    except BaseException:
        ch.close()
        raise
    return Stream(ch, limit)
