#!/usr/bin/env python3
"""Block operations of the patcher against dd and cp on a target in the page cache.

Builds patches for a backward Move of the whole target by 4 KiB (an insertion
near the start), a forward Move by 4 KiB (a removal), the same by 13 bytes, a Fill of the whole
target and 2,000 scattered relative Writes of 256 bytes, runs each several
times and prints the median wall time, the peak resident memory and the ratio
to dd copying the same number of bytes file to file (bs=1M conv=notrunc).

    bench/blockops.py [--size-mib 1024] [--runs 5] [--stub build/native/patcher]
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

KIB = 1024
MIB = 1024 * KIB


def le(value, width):
    return value.to_bytes(width, "little")


def container(stream):
    stream += b"\x00"
    header = b"3PS\x00\x01\x00\x00\x00" + le(16 + len(stream), 8)
    return header + stream + le(16 + len(stream) + 8, 8)


def move(source, destination, length):
    return b"\x02" + le(source, 8) + le(destination, 8) + le(length, 8)


def fill(offset, length, value):
    return b"\x03" + le(offset, 8) + le(length, 8) + bytes([value])


def scattered_writes(size, count, rng):
    # Absolute first, then relative steps forward, as patches carry them.
    positions = sorted(rng.sample(range(0, size - 256, 256), count))
    stream = b"\x16" + le(positions[0], 8) + b"\xff" + rng.randbytes(256)
    here = positions[0] + 256
    for p in positions[1:]:
        step = p - here
        width, code = (1, 0) if step < 1 << 8 else (2, 1) if step < 1 << 16 else (4, 2) if step < 1 << 32 else (8, 3)
        stream += bytes([0x18 | code << 1]) + le(step, width) + b"\xff" + rng.randbytes(256)
        here = p + 256
    return stream


def run(argv):
    """Wall seconds and peak resident KiB of one command (GNU time reports it)."""
    subprocess.run(["sync"], check=True)
    start = time.perf_counter()
    done = subprocess.run(["/usr/bin/time", "-f", "%M", *argv], stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True)
    elapsed = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit(f"failed: {' '.join(argv)}: {done.stderr}")
    return elapsed, int(done.stderr.split()[-1])


def measure(argv, runs):
    results = [run(argv) for _ in range(runs)]
    return statistics.median(r[0] for r in results), max(r[1] for r in results)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--stub", default="build/native/patcher")
    parser.add_argument("--dir", default=None, help="where the files go (default: a temp dir)")
    args = parser.parse_args()

    size = args.size_mib * MIB
    rng = random.Random(1)
    work = tempfile.mkdtemp(prefix="blockops-bench-", dir=args.dir)
    try:
        target = os.path.join(work, "target")
        copy = os.path.join(work, "copy")
        with open(target, "wb") as f:
            chunk = rng.randbytes(MIB)
            for _ in range(args.size_mib):
                f.write(chunk)
        shutil.copyfile(target, copy)
        stub = open(args.stub, "rb").read()

        cases = [
            ("backward Move by 4 KiB", move(0, 4 * KIB, size), size),
            ("forward Move by 4 KiB", move(4 * KIB, 0, size - 4 * KIB), size - 4 * KIB),
            ("backward Move by 13 B", move(0, 13, size), size),
            ("forward Move by 13 B", move(13, 0, size - 13), size - 13),
            ("Fill of the whole target", fill(0, size, 0xA5), size),
            ("2,000 relative Writes of 256 B", scattered_writes(size, 2000, rng), 2000 * 256),
        ]
        print(f"target {args.size_mib} MiB in the page cache, {args.runs} runs each, medians")
        print(f"{'case':34} {'patcher s':>10} {'dd s':>8} {'ratio':>6} {'patcher RSS':>12} {'dd RSS':>8}")
        for name, stream, moved in cases:
            patch = os.path.join(work, "patch")
            with open(patch, "wb") as f:
                f.write(stub + container(stream))
            os.chmod(patch, 0o755)
            t_patch, rss_patch = measure([patch, target], args.runs)
            count = max(1, moved // MIB)
            t_dd, rss_dd = measure(["dd", f"if={target}", f"of={copy}", "bs=1M", f"count={count}",
                                    "conv=notrunc", "status=none"], args.runs)
            print(f"{name:34} {t_patch:10.3f} {t_dd:8.3f} {t_patch / t_dd:6.2f} "
                  f"{rss_patch / 1024:9.1f} MiB {rss_dd / 1024:5.1f} MiB")
        t_cp, rss_cp = measure(["cp", target, copy], args.runs)
        print(f"{'cp of the target':34} {t_cp:10.3f}   (peak {rss_cp / 1024:.1f} MiB)")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
