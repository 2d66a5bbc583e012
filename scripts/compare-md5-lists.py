"""Prints which files were added, removed or changed between two listings
made with `md5sum` in a folder (lines "DIGEST  ./NAME"):
    compare-md5-lists.py BEFORE AFTER"""
import sys


def load(path):
    digests = {}
    for line in open(path, encoding="utf-8", errors="surrogateescape"):
        digest, name = line.rstrip("\n").split("  ", 1)
        digests[name[2:]] = digest
    return digests


before, after = load(sys.argv[1]), load(sys.argv[2])
for name in sorted(set(before) | set(after)):
    if name not in before:
        print(f"  added    {name}")
    elif name not in after:
        print(f"  removed  {name}")
    elif before[name] != after[name]:
        print(f"  changed  {name}")
