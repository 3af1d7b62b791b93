#!/usr/bin/env python3
"""Writes a benchmark bundle: a gzip tar archive of about SIZE_MB megabytes
of files in COUNT entries, spread over directories, with contents that
compress like real site and configuration trees (text from a vocabulary,
some structured records, a few incompressible blobs). Same seed, same bytes.
Directory entries come first, parents before children, as archivers write
them: the agent creates only the last level of a file's parent itself."""
import io, random, sys, tarfile, gzip

def main():
    out, size_mb, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    rng = random.Random(20261210)
    words = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 11)))
             for _ in range(4000)]
    total = size_mb * 1_000_000
    average = total // count
    with open(out, "wb") as raw, gzip.GzipFile(fileobj=raw, mode="wb", compresslevel=6, mtime=0) as gz, \
            tarfile.open(fileobj=gz, mode="w|", format=tarfile.GNU_FORMAT) as tar:
        def directory(name):
            info = tarfile.TarInfo(name)
            info.type = tarfile.DIRTYPE
            info.mode = 0o755
            info.mtime = 1_700_000_000
            tar.addfile(info)
        directory("site")
        for d in range(min(count, 200)):
            directory("site/d%03d" % d)
        for d, s in sorted({(i % 200, i % 17) for i in range(count)}):
            directory("site/d%03d/s%02d" % (d, s))
        for i in range(count):
            size = max(1, int(rng.expovariate(1 / average)))
            kind = i % 10
            if kind == 9:
                data = rng.randbytes(size)           # images, already compressed media
            elif kind >= 6:
                line = lambda: "%d,%s,%0.4f,%s\n" % (rng.randint(0, 10**6), rng.choice(words),
                                                      rng.random(), rng.choice(words))
                data = "".join(line() for _ in range(size // 24 + 1)).encode()[:size]
            else:
                text = " ".join(rng.choice(words) for _ in range(size // 6 + 1))
                data = text.encode()[:size]
            info = tarfile.TarInfo("site/d%03d/s%02d/file%05d.dat" % (i % 200, i % 17, i))
            info.size = len(data)
            info.mode = 0o644
            info.mtime = 1_700_000_000
            tar.addfile(info, io.BytesIO(data))

if __name__ == "__main__":
    main()
