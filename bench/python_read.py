"""import qev measured: a file read with readinto into one reused 1 MiB buffer, by one
thread and by two (each one half), MiB/s once opened; and walk() over an archive touching
every name, against os.walk over the same tree unpacked.

    python3 bench/python_read.py read ARCHIVE PATH THREADS
    python3 bench/python_read.py walk qev ARCHIVE | walk os TREE   (one walker a process,
                                                                  for its own peak)
"""
import os
import resource
import sys
import threading
import time

import qev


def read(archive_path, path, threads):
    with qev.open(archive_path) as archive:
        size = archive.stat(path).st_size
        part = (size + threads - 1) // threads

        def half(t):
            with archive.open(path, buffering=0) as f:
                buffer = bytearray(1 << 20)
                f.seek(t * part)
                left = min(part, size - t * part)
                while left > 0:
                    n = f.readinto(memoryview(buffer)[:min(left, len(buffer))])
                    left -= n

        start = time.perf_counter()
        workers = [threading.Thread(target=half, args=(t,)) for t in range(threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        print(f"{threads} thread(s): {size / (time.perf_counter() - start) / 1048576:.0f} MiB/s")


def walk(which, path):
    rest = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.perf_counter()
    touched = 0
    for _, dirnames, filenames in (qev.open(path).walk() if which == "qev" else os.walk(path)):
        touched += sum(len(n) for n in dirnames) + sum(len(n) for n in filenames)
    seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(f"{which}: {seconds:.2f} s, {touched} name bytes, peak {peak // 1024} MB ({(peak - rest) // 1024} MB above rest)")


if __name__ == "__main__":
    if sys.argv[1] == "read":
        read(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    else:
        walk(sys.argv[2], sys.argv[3])
