#!/usr/bin/python3.11
"""Client versions 1.0.0 to 1.0.3 for bench/update.sh.

usage: bench/update_data.py ROOT SIZE_MB

Writes ROOT/1.0.0 .. ROOT/1.0.3. The three steps unpack to about SIZE_MB
in all: 1.0.1 adds a quarter (data/one.dat), 1.0.2 half (two files), 1.0.3
changes the second half of every 64 KiB block of data/one.dat and adds an
eighth. The bytes pack about as well as game data: random and wordy halves.
"""

import os
import random
import shutil
import sys

from patch_apply import content  # the same kind of bytes as bench-patch

MB = 1 << 20


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def main():
    root, size_mb = sys.argv[1], int(sys.argv[2])
    quarter = size_mb * MB // 4
    rng = random.Random(2026)
    v = [os.path.join(root, f"1.0.{i}") for i in range(4)]

    write(os.path.join(v[0], "readme.txt"), b"client 1.0.0\n")
    write(os.path.join(v[0], "data", "base.dat"), content(rng, quarter // 2))

    shutil.copytree(v[0], v[1])
    one = bytearray(content(rng, quarter))
    write(os.path.join(v[1], "data", "one.dat"), one)

    shutil.copytree(v[1], v[2])
    write(os.path.join(v[2], "data", "two_a.dat"), content(rng, quarter))
    write(os.path.join(v[2], "data", "two_b.dat"), content(rng, quarter))

    shutil.copytree(v[2], v[3])
    block = 64 * 1024
    fresh = content(rng, quarter // 2 + block)
    for i, at in enumerate(range(0, len(one), block)):
        half = block // 2
        one[at + half:at + block] = fresh[i * half:(i + 1) * half]
    write(os.path.join(v[3], "data", "one.dat"), one)
    write(os.path.join(v[3], "data", "three.dat"), content(rng, quarter // 2))
    write(os.path.join(v[3], "readme.txt"), b"client 1.0.3\n")


if __name__ == "__main__":
    main()
