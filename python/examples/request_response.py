#!/usr/bin/python3
"""Request/response over one channel: send a numbered request, wait for the
reply line. On a loopback chip the reply is the request itself, so this runs
as-is under the simulator:

    vexa-sim --chip r4,serial=VS000001,loopback=1 -- python3 request_response.py
"""
import argparse
import sys

import vexa


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--serial", help="serial number of the channel (default: the first)")
    parser.add_argument("--count", type=int, default=5, help="requests to send")
    args = parser.parse_args()

    selector = {"serial": args.serial} if args.serial else {"index": 0}
    with vexa.open(**selector) as ch:
        ch.configure(baudrate=115200, bytesize=8, parity=vexa.Parity.NONE, stopbits=1)
        for number in range(args.count):
            request = f"PING {number}\n".encode()
            ch.write(request)
            reply = ch.read(len(request), timeout=1.0)
            print(f"sent {request!r}, got {reply!r}")
            if reply != request:
                print("no matching reply within 1 s", file=sys.stderr)
                return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
