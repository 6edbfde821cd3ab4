import asyncio
import time

import pytest

import vexa
import vexa.aio


def run(coroutine, timeout=5):
    return asyncio.run(asyncio.wait_for(coroutine, timeout))


def test_streams_read_two_channels_at_once_and_keep_what_overran_the_limit(sim):
    sim.add("dual,serial=VX2001,loopback=1")

    async def scenario():
        a = await vexa.aio.open(serial="VX2001 A")
        b = await vexa.aio.open(serial="VX2001 B", limit=8)
        async with a, b:
            reads = asyncio.gather(a.readexactly(6), b.readuntil(b"\n"))
            await asyncio.sleep(0.05)  # both are waiting now
            sim.queue_rx(b"line\n", channel=1)
            sim.queue_rx(b"abc", channel=0)
            await asyncio.sleep(0.05)
            sim.queue_rx(b"def", channel=0)
            both = await reads
            b.write(b"hello world")  # the chip sends it back
            await b.drain()
            with pytest.raises(asyncio.LimitOverrunError):
                await b.readuntil(b"\n")
            kept = await b.readexactly(11)  # nothing was lost
            waiting = asyncio.ensure_future(a.read(1))
            await asyncio.sleep(0.01)
            with pytest.raises(RuntimeError):  # one reader at a time
                await a.read(1)
            sim.queue_rx(b"z")
            return both, kept, await b.read(0), await waiting

    assert run(scenario()) == ([b"abcdef", b"line\n"], b"hello world", b"", b"z")


def test_modem_changes_wake_their_waiter_and_do_not_spin_a_read(sim):
    sim.add("r4,serial=S")

    async def scenario():
        async with await vexa.aio.open(serial="S") as stream:
            waiter = asyncio.ensure_future(stream.wait_modem_change())
            await asyncio.sleep(0.02)
            sim.set_status(0x10)
            status = await waiter
            # A change during a read is marked seen, so the read sleeps on.
            reading = asyncio.ensure_future(stream.read(1))
            began = time.process_time()
            await asyncio.sleep(0.02)
            sim.set_status(0x30)
            await asyncio.sleep(0.2)
            cpu = time.process_time() - began
            sim.queue_rx(b"d")
            return status, cpu, await reading

    status, cpu, data = run(scenario())
    assert status & 0x10 and cpu < 0.03 and data == b"d"  # a spinning loop burns ~0.1 s
