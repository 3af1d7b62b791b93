#!/usr/bin/env python3
"""Writes a tar archive shaped like a large configuration bundle: about
TOTAL bytes of data in ENTRIES entries under a directory tree, mostly text
(configuration, JSON, scripts, logs) with some binary and some
incompressible files, so that gzip compresses it about as much as such
bundles compress."""
import io
import random
import sys
import tarfile

out, total, entries = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rng = random.Random(20240601)

words = [''.join(rng.choice('abcdefghijklmnopqrstuvwxyz_') for _ in range(rng.randint(2, 12)))
         for _ in range(4000)]
# Word frequencies fall off as in natural text (Zipf), which is what makes
# text compress four to six times.
weights = [1 / (rank + 1) for rank in range(len(words))]
cumulative = []
acc = 0.0
for w in weights:
    acc += w
    cumulative.append(acc)


def pick(k=1):
    return rng.choices(words, cum_weights=cumulative, k=k)


def text_pool(size, shape):
    parts, n = [], 0
    while n < size:
        k = pick()[0]
        if shape == 'conf':
            line = f'{k}.{pick()[0]} = {pick()[0]}{rng.randint(0, 9999)}\n'
        elif shape == 'json':
            line = f'  {{"{k}": "{pick()[0]}", "id": {rng.randint(0, 10**6)}, "on": {rng.choice(["true", "false"])}}},\n'
        elif shape == 'log':
            line = f'2024-06-{rng.randint(1, 30):02d}T{rng.randint(0, 23):02d}:{rng.randint(0, 59):02d}:00Z {rng.choice(["INFO", "WARN", "DEBUG"])} {k}: {" ".join(pick(8))}\n'
        else:
            line = f'    {k}({", ".join(pick(3))});  # {" ".join(pick(5))}\n'
        parts.append(line)
        n += len(line)
    return ''.join(parts).encode()


pools = {shape: text_pool(4 << 20, shape) for shape in ('conf', 'json', 'log', 'code')}
# Binary files of fixed-size records: counters, flags and padding.
binary_pool = b''.join(
    rng.randint(0, 255).to_bytes(1, 'little') + (i % 4096).to_bytes(4, 'little') + bytes(7) +
    rng.choice([b'\x00\x00\x00\x01', b'\xff\xff\x00\x00', b'\x10\x20\x30\x40'])
    for i in range((2 << 20) // 16))
random_pool = rng.randbytes(2 << 20)

# Sizes follow a log-normal spread scaled to the total.
raw = [rng.lognormvariate(8.3, 1.1) for _ in range(entries)]
scale = total / sum(raw)
sizes = [max(0, min(int(s * scale), 1 << 21)) for s in raw]

with tarfile.open(out, 'w', format=tarfile.GNU_FORMAT) as tar:
    dirs = set()
    for i, size in enumerate(sizes):
        r = rng.random()
        if r < 0.82:
            shape = rng.choice(list(pools))
            pool = pools[shape]
            ext = {'conf': '.conf', 'json': '.json', 'log': '.log', 'code': '.py'}[shape]
        elif r < 0.95:
            pool, ext = binary_pool, '.bin'
        else:
            pool, ext = random_pool, '.gz'
        start = rng.randrange(0, len(pool) - size) if size < len(pool) else 0
        data = (pool * (size // len(pool) + 1))[start:start + size]
        d = f'srv/{words[i % 10]}/{words[100 + i % 7]}'
        if d not in dirs:
            dirs.add(d)
            info = tarfile.TarInfo(d)
            info.type, info.mode = tarfile.DIRTYPE, 0o755
            tar.addfile(info)
        info = tarfile.TarInfo(f'{d}/{words[i % 4000]}-{i}{ext}')
        info.size, info.mode, info.mtime = len(data), 0o644, 1717200000
        tar.addfile(info, io.BytesIO(data))
