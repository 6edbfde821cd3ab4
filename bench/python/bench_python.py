#!/usr/bin/python3
"""Python figures beside their baselines, measured in one run.

* Channel.read in 64 KiB requests against the C KX_Read loop of the benchmark
  program (rx/library/p512/r65536): the same 16 MiB stream from a simulated
  chip with 512-byte packets, the reader held while the stream is queued.
  The C program runs between the Python rounds so both see the same load.
* Wake-up latency in asyncio: from one byte entering the simulated chip to
  the return of an awaiting vexa.aio read, against the same wait on a
  pseudo-terminal (loop.add_reader on its slave, a byte written to the
  master). Both are triggered from a second thread; samples alternate in
  blocks.

Usage: bench_python.py --build-dir DIR [--quick] [--json FILE]
"""
import argparse
import asyncio
import ctypes
import json
import os
import pty
import statistics
import subprocess
import sys
import threading
import time
import tty

ARGS = None
C_FIGURE = "rx/library/p512/r65536"
SETTLE_S = 0.001


def load(build_dir):
    sim = ctypes.CDLL(os.path.join(build_dir, "simlib", "libusb-0.1.so.4"), mode=ctypes.RTLD_GLOBAL)
    os.environ.setdefault("VEXA_LIBRARY", os.path.join(build_dir, "libvexa.so.1"))
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))
    sim.vexa_sim_queue_rx.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t]
    return sim


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


# ---- throughput

def python_round(sim, vexa, iterations, total, into):
    """Streams read with Channel.read, or with Channel.readinto into one
    reused buffer when ``into`` (no allocation per read)."""
    stream = bytes(range(256)) * (total // 256)
    buffer = bytearray(65536)
    rates = []
    lib = vexa._lib
    with vexa.open(serial="BENCH") as ch:
        for _ in range(iterations):
            lib.function("KX_StopInTask")(ch._h())
            time.sleep(0.02)  # a transfer already under way ends first
            sim.vexa_sim_queue_rx(0, 0, stream, len(stream))
            began = time.perf_counter()
            lib.function("KX_RestartInTask")(ch._h())
            received = 0
            while received < total:
                want = min(65536, total - received)
                got = ch.readinto(memoryview(buffer)[:want], timeout=5) if into else \
                    len(ch.read(want, timeout=5))
                if not got:
                    raise RuntimeError("Channel.read timed out before the stream arrived")
                received += got
            rates.append(total / (time.perf_counter() - began))
    return rates


def c_round(program, quick):
    command = [program, f"--benchmark_filter=^{C_FIGURE}/", "--benchmark_format=json"]
    if quick:
        command.append("--quick")
    out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    runs = json.loads(out)["benchmarks"]
    # A full run reports only the aggregates of its repetitions: take the median.
    medians = [r for r in runs if r.get("aggregate_name") == "median"]
    return [r["bytes_per_second"] for r in (medians or runs) if "bytes_per_second" in r]


def throughput(sim, vexa, build_dir, quick):
    rounds, iterations = (1, 3) if quick else (5, 5)
    total = (4 if quick else 16) << 20
    program = os.path.join(build_dir, "bench", "vexa_bench")
    py, into, c = [], [], []
    sim.vexa_sim_log_bulk(0)  # as the C program's bus: no transfer log
    sim.vexa_sim_add_chips_from_text(b"r4,serial=BENCH,packet=512")
    for _ in range(rounds):
        py += python_round(sim, vexa, iterations, total, into=False)
        c += c_round(program, quick)
        into += python_round(sim, vexa, iterations, total, into=True)
    sim.vexa_sim_reset()
    return statistics.median(py), statistics.median(into), statistics.median(c)


# ---- wake-up latency

class Trigger(threading.Thread):
    """Sends one byte each time the loop says it is about to wait."""

    def __init__(self, send):
        super().__init__(daemon=True)
        self.send = send
        self.waiting = threading.Event()
        self.sent_at = 0.0
        self.stop = False

    def run(self):
        while True:
            self.waiting.wait()
            self.waiting.clear()
            if self.stop:
                return
            time.sleep(SETTLE_S)
            self.sent_at = time.perf_counter()
            self.send()


async def sample_block(trigger, receive, count, out):
    for _ in range(count):
        trigger.waiting.set()
        await receive()
        out.append(time.perf_counter() - trigger.sent_at)


async def wakeups(sim, vexa, samples, block):
    import vexa.aio
    sim.vexa_sim_log_bulk(0)
    sim.vexa_sim_add_chips_from_text(b"r4,serial=WAKE")
    stream = await vexa.aio.open(serial="WAKE")
    master, slave = pty.openpty()
    tty.setraw(slave)
    loop = asyncio.get_running_loop()

    async def pty_read():
        ready = loop.create_future()
        loop.add_reader(slave, ready.set_result, None)
        try:
            await ready
        finally:
            loop.remove_reader(slave)
        os.read(slave, 1)

    one = b"x"
    triggers = {
        "vexa": (Trigger(lambda: sim.vexa_sim_queue_rx(0, 0, one, 1)), lambda: stream.read(1)),
        "pty": (Trigger(lambda: os.write(master, one)), pty_read),
    }
    results = {name: [] for name in triggers}
    for trigger, _ in triggers.values():
        trigger.start()
    while len(results["pty"]) < samples:
        for name, (trigger, receive) in triggers.items():
            await sample_block(trigger, receive, block, results[name])
    for trigger, _ in triggers.values():
        trigger.stop = True
        trigger.waiting.set()
    stream.close()
    os.close(master)
    os.close(slave)
    sim.vexa_sim_reset()
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--quick", action="store_true", help="few samples: proves the figures work")
    parser.add_argument("--json", help="write the raw figures here")
    args = parser.parse_args()
    sim = load(args.build_dir)
    import vexa

    py_rate, into_rate, c_rate = throughput(sim, vexa, args.build_dir, args.quick)
    samples, block = (200, 50) if args.quick else (2000, 250)
    lat = asyncio.run(wakeups(sim, vexa, samples, block))
    p50 = {name: percentile(values, 0.5) * 1e6 for name, values in lat.items()}
    p99 = {name: percentile(values, 0.99) * 1e6 for name, values in lat.items()}
    ratio_rate = py_rate / c_rate
    ratio_wake = p50["vexa"] / p50["pty"]
    print("| Python figure | measured | baseline (same run) | ratio | goal |")
    print("|---|---|---|---|---|")
    print(f"| Channel.read, 64 KiB reads | {py_rate / 2**20:.0f} MiB/s | C KX_Read loop "
          f"{c_rate / 2**20:.0f} MiB/s | {ratio_rate:.2f} | >= 0.8 {'met' if ratio_rate >= 0.8 else 'MISSED'} |")
    print(f"| Channel.readinto, one 64 KiB buffer | {into_rate / 2**20:.0f} MiB/s | C KX_Read loop "
          f"{c_rate / 2**20:.0f} MiB/s | {into_rate / c_rate:.2f} | - |")
    print(f"| asyncio wake-up p50 (p99) | {p50['vexa']:.0f} us ({p99['vexa']:.0f} us) | pty in asyncio "
          f"{p50['pty']:.0f} us ({p99['pty']:.0f} us) | {ratio_wake:.2f} | <= 2 "
          f"{'met' if ratio_wake <= 2 else 'MISSED'} |")
    if args.json:
        with open(args.json, "w") as out:
            json.dump({"read_bytes_per_s": py_rate, "readinto_bytes_per_s": into_rate,
                       "c_read_bytes_per_s": c_rate,
                       "wakeup_p50_us": p50, "wakeup_p99_us": p99,
                       "samples": {k: len(v) for k, v in lat.items()}}, out, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
