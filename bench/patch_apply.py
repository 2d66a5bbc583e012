#!/usr/bin/python3.11
"""Patch application and MD5 checking against their plain reference tools.

usage: bench/patch_apply.py BUILD_DIR [--scale N] [--keep]

BUILD_DIR holds a release build (tools/zrpatch, bench/md5_check_bench,
bench/signature_check_bench).

1. Builds a client folder pair whose patch unpacks to about 200 MB: half of
   it MODI runs over one large file, half of it new files (ADDF).
2. For each codec, times `zrpatch apply` against the same work done by the
   reference tools: `lzop -d` / `bzip2 -d` of the same unpacked body, piped
   into `dd` writing the same number of bytes; bzip2 also against
   `lbzip2 -d -n $(nproc)`, which decodes on every core. Medians of 5 runs
   after one warm-up run, ours and the references taking turns; the apply's peak RSS is set against packed +
   unpacked size.
3. Times CheckFileMd5 against `md5sum` on a 1 GB file, and on the same file
   `zrpatch sign` against `minisign -S` and the programs' signature check
   against `minisign -V` (one key pair from `minisign -G -W`); the signature
   check is also set against CheckFileMd5, which it follows in the updater.

Generated data lives in BUILD_DIR/bench-patch and is removed at the end
(unless --keep). Figures are printed; nothing is asserted.
"""

import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import time

RUNS = 5
MB = 1 << 20


def run_timed(argv, **kwargs):
    """Runs argv under /usr/bin/time; gives (seconds, peak RSS in bytes).

    The peak comes from time(1), not from this process's wait4: a child
    forked from this (large) interpreter would count its pages too.
    """
    rss_file = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"bench-rss-{os.getpid()}")
    start = time.perf_counter()
    result = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss_file, *argv], **kwargs)
    elapsed = time.perf_counter() - start
    if result.returncode != 0:
        sys.exit(f"failed ({result.returncode}): {' '.join(argv)}")
    with open(rss_file) as f:
        rss = int(f.read().split()[-1]) * 1024
    os.unlink(rss_file)
    return elapsed, rss


def medians(argv, **kwargs):
    run_timed(argv, **kwargs)  # warm-up: page cache, first-touch effects
    samples = [run_timed(argv, **kwargs) for _ in range(RUNS)]
    return (statistics.median(s[0] for s in samples), max(s[1] for s in samples))


def medians_alternating(sides):
    """Like medians() for several commands, run in turn: [(median s, peak RSS)]."""
    for argv, kwargs in sides:
        run_timed(argv, **kwargs)
    samples = [[] for _ in sides]
    for _ in range(RUNS):
        for i, (argv, kwargs) in enumerate(sides):
            samples[i].append(run_timed(argv, **kwargs))
    return [(statistics.median(s[0] for s in runs), max(s[1] for s in runs)) for runs in samples]


def content(rng, size):
    """Bytes that pack about as well as game data: random and wordy halves."""
    words = [bytes(rng.choice(b"abcdefghijklmnop") for _ in range(rng.randint(3, 9)))
             for _ in range(400)]
    text = b" ".join(rng.choice(words) for _ in range(40000))
    out = bytearray()
    while len(out) < size:
        out += os.urandom(4096)
        start = rng.randrange(0, len(text) - 4096)
        out += text[start:start + 4096]
    return bytes(out[:size])


def make_folders(root, scale):
    rng = random.Random(1234)
    old, new = os.path.join(root, "old"), os.path.join(root, "new")
    for d in (old, new):
        os.makedirs(os.path.join(d, "data"), exist_ok=True)
        os.makedirs(os.path.join(d, "added"), exist_ok=True)

    # The large file: 200 MB, the second half of every 64 KiB block changed,
    # so its runs carry 100 MB.
    big_size = 200 * MB * scale // 100
    big = bytearray(content(rng, big_size))
    with open(os.path.join(old, "data", "big.dat"), "wb") as f:
        f.write(big)
    block = 64 * 1024
    fresh = content(rng, big_size // 2)
    for i, at in enumerate(range(0, big_size, block)):
        half = block // 2
        big[at + half:at + block] = fresh[i * half:(i + 1) * half]
    with open(os.path.join(new, "data", "big.dat"), "wb") as f:
        f.write(big)

    # New files: 100 MB in ten files.
    for i in range(10):
        with open(os.path.join(new, "added", f"file{i}.dat"), "wb") as f:
            f.write(content(rng, 10 * MB * scale // 100))
    return old, new


def bench_codec(zrpatch, root, old, new, codec):
    patch = os.path.join(root, f"p-{codec}.dat")
    body = os.path.join(root, f"body-{codec}")
    subprocess.run([zrpatch, "make", "--from", old, "--to", new, "--version", "1.0.1",
                    "--codec", codec, "-o", patch], check=True, stdout=subprocess.DEVNULL)
    subprocess.run([zrpatch, "info", patch, "--body", body], check=True,
                   stdout=subprocess.DEVNULL)
    unpacked = os.path.getsize(body)
    packed = os.path.getsize(patch) - 12

    # The reference: the same body packed by the stand-alone tool.
    if codec == "lzo":
        ref_packed = body + ".lzo"
        subprocess.run(["lzop", "-9", "-f", "-o", ref_packed, body], check=True)
        unpack = f"lzop -dc '{ref_packed}'"
    else:
        ref_packed = body + ".bz2"
        with open(ref_packed, "wb") as out:
            subprocess.run(["bzip2", "-9", "-c", body], check=True, stdout=out)
        unpack = f"bzip2 -dc '{ref_packed}'"
    os.unlink(body)
    ref_out = os.path.join(root, "ref.out")
    reference = ["sh", "-c", f"{unpack} | dd of='{ref_out}' bs=1M status=none"]
    parallel = None
    if codec == "bzip2":
        parallel = ["sh", "-c", f"lbzip2 -d -n {os.cpu_count()} -c '{ref_packed}'"
                                f" | dd of='{ref_out}' bs=1M status=none"]

    game = os.path.join(root, "game")
    shutil.rmtree(game, ignore_errors=True)
    shutil.copytree(old, game)
    apply = [zrpatch, "apply", patch, "--game", game, "--version", "1.0.1"]
    # Ours and the references take turns, so that a change in the machine's
    # load falls on all of them alike.
    sides = [(apply, {"stdout": subprocess.DEVNULL}), (reference, {})]
    if parallel:
        sides.append((parallel, {}))
    (apply_time, apply_rss), (ref_time, _), *rest = medians_alternating(sides)
    parallel_time = rest[0][0] if parallel else None

    for name in ("data/big.dat", *(f"added/file{i}.dat" for i in range(10))):
        if not same_file(os.path.join(game, name), os.path.join(new, name)):
            sys.exit(f"apply result differs from the new folder: {name}")
    shutil.rmtree(game)
    for p in (ref_out, ref_packed, patch):
        os.unlink(p)
    return {
        "codec": codec, "unpacked": unpacked, "packed": packed,
        "apply": apply_time, "reference": ref_time, "rss": apply_rss,
        "parallel": parallel_time,
    }


def same_file(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x, y = fa.read(MB), fb.read(MB)
            if x != y:
                return False
            if not x:
                return True


def bench_checks(zrpatch, checker, sig_checker, root, size):
    """MD5 check and signatures of one file; gives {work: (ours, reference)}."""
    path = os.path.join(root, "md5.dat")
    chunk = os.urandom(16 * MB)
    with open(path, "wb") as f:
        for _ in range(size // len(chunk)):
            f.write(chunk)
    pub, key = os.path.join(root, "bench.pub"), os.path.join(root, "bench.key")
    subprocess.run(["minisign", "-G", "-W", "-p", pub, "-s", key], check=True,
                   stdout=subprocess.DEVNULL)
    quiet = {"stdout": subprocess.DEVNULL}
    try:
        digest = subprocess.run(["md5sum", path], check=True, capture_output=True,
                                text=True).stdout.split()[0]
        results = {"md5": (medians([checker, path, digest])[0],
                           medians(["md5sum", path], **quiet)[0])}
        # Both write path + ".minisig", equally valid; the checks read the last.
        results["sign"] = (medians([zrpatch, "sign", "--key", key, path], **quiet)[0],
                           medians(["minisign", "-S", "-s", key, "-m", path], **quiet)[0])
        subprocess.run([zrpatch, "sign", "--key", key, path], check=True, **quiet)
        results["check"] = (medians([sig_checker, pub, path])[0],
                            medians(["minisign", "-V", "-p", pub, "-m", path], **quiet)[0])
    finally:
        for p in (path, path + ".minisig", pub, key):
            if os.path.exists(p):
                os.unlink(p)
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build_dir")
    parser.add_argument("--scale", type=int, default=100,
                        help="percent of the default data sizes (default 100)")
    parser.add_argument("--keep", action="store_true", help="keep the generated folders")
    args = parser.parse_args()

    zrpatch = os.path.join(args.build_dir, "tools", "zrpatch")
    checker = os.path.join(args.build_dir, "bench", "md5_check_bench")
    sig_checker = os.path.join(args.build_dir, "bench", "signature_check_bench")
    if shutil.which("minisign") is None:
        sys.exit("minisign is missing (make deps)")
    if not shutil.which("lbzip2"):
        sys.exit("missing lbzip2: install the dependencies first (make deps)")
    for program in (zrpatch, checker, sig_checker):
        if not os.access(program, os.X_OK):
            sys.exit(f"missing {program}: build the release first (make release)")
    root = os.path.join(args.build_dir, "bench-patch")
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)

    try:
        print("generating client folders ...", flush=True)
        old, new = make_folders(root, args.scale)
        rows = []
        for codec in ("lzo", "bzip2"):
            print(f"making and applying the {codec} patch ...", flush=True)
            rows.append(bench_codec(zrpatch, root, old, new, codec))
        print("MD5 and signatures of a 1 GB file ...", flush=True)
        checks = bench_checks(zrpatch, checker, sig_checker, root, 1024 * MB * args.scale // 100)
    finally:
        if not args.keep:
            shutil.rmtree(root, ignore_errors=True)

    print()
    print(f"median of {RUNS} runs after one warm-up; speed ratio = reference time / our time")
    print(f"{'work':<28}{'ours s':>9}{'ref s':>9}{'ratio':>8}{'peak RSS':>11}{'RSS/(p+u)':>11}")
    for r in rows:
        total = r["packed"] + r["unpacked"]
        print(f"{'apply ' + r['codec'] + ' (' + str(r['unpacked'] // MB) + ' MB unpacked)':<28}"
              f"{r['apply']:>9.3f}{r['reference']:>9.3f}{r['reference'] / r['apply']:>8.2f}"
              f"{r['rss'] / MB:>9.0f}MB{r['rss'] / total:>11.2f}")
        if r["parallel"]:
            print(f"{'  vs lbzip2 -d -n ' + str(os.cpu_count()):<28}{r['apply']:>9.3f}"
                  f"{r['parallel']:>9.3f}{r['parallel'] / r['apply']:>8.2f}")
    for work, label in (("md5", "CheckFileMd5 vs md5sum"), ("sign", "zrpatch sign vs minisign -S"),
                        ("check", "signature check vs -V")):
        ours, ref = checks[work]
        print(f"{label:<28}{ours:>9.3f}{ref:>9.3f}{ref / ours:>8.2f}")
    md5_time, check_time = checks["md5"][0], checks["check"][0]
    print(f"{'signature check vs MD5':<28}{check_time:>9.3f}{md5_time:>9.3f}"
          f"{md5_time / check_time:>8.2f}   (reference: CheckFileMd5; above 1: cheaper)")
    for r in rows:
        print(f"  {r['codec']}: packed {r['packed'] / MB:.1f} MB, unpacked {r['unpacked'] / MB:.1f} MB;"
              f" reference: {'lzop -d' if r['codec'] == 'lzo' else 'bzip2 -d'} | dd")


if __name__ == "__main__":
    main()
