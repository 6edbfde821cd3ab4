#!/usr/bin/python3
"""Gives every attached chip its own serial number (PREFIX + a running number)
by programming its EEPROM, then reads each one back to check it:

    vexa-sim --chip r4,serial=OLD1,eeprom=64 --chip r4,serial=OLD2,eeprom=64 \\
        -- python3 program_serials.py --prefix LAB --first 100
"""
import argparse
import sys

import vexa


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--prefix", default="VX", help="text in front of the number")
    parser.add_argument("--first", type=int, default=1, help="number of the first chip")
    parser.add_argument("--description", default="Lab adapter", help="product description")
    args = parser.parse_args()

    # Program each chip once: channel B of a dual-channel chip shares channel A's EEPROM.
    channels = [c for c in vexa.list_channels() if not (c.serial or "").endswith(" B")]
    if not channels:
        print("no chips found", file=sys.stderr)
        return 1
    failures = 0
    for number, info in enumerate(channels, start=args.first):
        serial = f"{args.prefix}{number:05d}"
        with vexa.open(index=info.index) as ch:
            config = vexa.EepromConfig(vendor_id=ch.vendor_id, product_id=ch.product_id,
                                       manufacturer="vexa", manufacturer_id=args.prefix[:2],
                                       description=args.description, serial_number=serial)
            try:
                ch.eeprom.program(config)
                written = ch.eeprom.read().serial_number
            except vexa.VexaError as error:
                print(f"channel {info.index} ({info.serial}): {error}", file=sys.stderr)
                failures += 1
                continue
        ok = written == serial
        failures += not ok
        print(f"channel {info.index} ({info.serial}) -> {written} {'ok' if ok else 'MISMATCH'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
