#!/usr/bin/python3
"""Joins two channels with asyncio: what one receives, the other sends.

    python3 aio_bridge.py --left "VX2001 A" --right "VX2001 B" --seconds 10

Both directions run in one thread on one event loop; each stream wakes only
when its channel has data.
"""
import argparse
import asyncio
import sys

import vexa
import vexa.aio


async def pump(source: vexa.aio.Stream, sink: vexa.aio.Stream, name: str) -> None:
    while True:
        data = await source.read(4096)
        sink.write(data)
        await sink.drain()
        print(f"{name}: {len(data)} bytes", flush=True)


async def bridge(left: str, right: str, seconds: float) -> None:
    a = await vexa.aio.open(serial=left)
    async with a, await vexa.aio.open(serial=right) as b:
        pumps = [asyncio.ensure_future(pump(a, b, f"{left} -> {right}")),
                 asyncio.ensure_future(pump(b, a, f"{right} -> {left}"))]
        print("bridging", flush=True)
        done, _ = await asyncio.wait(pumps, timeout=seconds if seconds > 0 else None,
                                     return_when=asyncio.FIRST_EXCEPTION)
        for task in pumps:
            task.cancel()
        for task in done:
            task.result()  # report a failed pump


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--left", required=True, help="serial number of one channel")
    parser.add_argument("--right", required=True, help="serial number of the other")
    parser.add_argument("--seconds", type=float, default=0, help="stop after this long (0: never)")
    args = parser.parse_args()
    try:
        asyncio.run(bridge(args.left, args.right, args.seconds))
    except KeyboardInterrupt:
        pass
    except vexa.VexaError as error:
        print(error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
