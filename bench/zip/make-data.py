#!/usr/bin/env python3
"""Makes the benchmark's input trees in the folder given as argument:
bundle/Big.app, a synthetic application bundle of about 150 MB in some 5,000
files with framework-style symbolic links, and large/data.bin, one 500 MB
file of mixed compressible data. Deterministic, so runs are comparable."""
import os, random, sys

root = sys.argv[1]
rng = random.Random(20261206)
words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 10))) for _ in range(2000)]


def text(size):
    out = bytearray()
    while len(out) < size:
        out += b" ".join(rng.choice(words) for _ in range(16)) + b"\n"
    return bytes(out[:size])


def binary(size):
    # Machine-code-like: half random, half repeating patterns.
    out = bytearray()
    while len(out) < size:
        out += rng.randbytes(256) if rng.random() < 0.5 else bytes(rng.choice(words)) * 20
    return bytes(out[:size])


def mixed(size):
    return text(size // 2) + rng.randbytes(size - size // 2)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


bundle = os.path.join(root, "bundle", "Big.app", "Contents")
if not os.path.exists(bundle):
    write(os.path.join(bundle, "Info.plist"), text(2000))
    write(os.path.join(bundle, "MacOS", "Big"), binary(20 << 20))
    os.chmod(os.path.join(bundle, "MacOS", "Big"), 0o755)
    files = 2
    for framework in range(20):
        versions = os.path.join(bundle, "Frameworks", f"Kit{framework}.framework", "Versions")
        write(os.path.join(versions, "A", f"Kit{framework}"), binary(3 << 20))
        for resource in range(120):
            write(os.path.join(versions, "A", "Resources", f"r{resource // 40}", f"res{resource}.txt"), text(rng.randint(500, 60000)))
        os.symlink("A", os.path.join(versions, "Current"))
        for name in (f"Kit{framework}", "Resources"):
            os.symlink(f"Versions/Current/{name}", os.path.join(bundle, "Frameworks", f"Kit{framework}.framework", name))
        files += 121
    for index in range(5000 - files):
        folder = os.path.join(bundle, "Resources", f"group{index // 100}")
        kind = index % 4
        size = rng.randint(200, 30000)
        data = text(size) if kind < 2 else binary(size) if kind == 2 else mixed(size)
        write(os.path.join(folder, f"item{index}.{['strings', 'nib', 'car', 'png'][kind]}"), data)

large = os.path.join(root, "large", "data.bin")
if not os.path.exists(large):
    os.makedirs(os.path.dirname(large), exist_ok=True)
    with open(large, "wb") as f:
        for block in range(500):
            f.write(text(1 << 19) + binary(1 << 18) + rng.randbytes(1 << 18))
