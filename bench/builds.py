"""The headline call on this interpreter, and eight threads sharing one array.

`make bench` runs this once per build (CPython 3.14; the free-threaded 3.14t
as imported, which re-enables the GIL; 3.14t with PYTHON_GIL=0), each run
appending one JSON line to a file, then prints them side by side:

  paa / sax      best of 9, a 100,000-value random walk as a float64 array,
                 window 128, w 15 (the headline row of the main benchmark)
  8 in a row     eight paa calls on that array, one after another
  8 threads      the same eight calls, one per thread, all started together
  speed-up       8 in a row / 8 threads (2 cores: at most 2)
"""

import argparse
import json
import sys
import sysconfig
import threading

import numpy as np
from timing import best

import morvel

WALK = np.cumsum(np.random.default_rng(1).standard_normal(100_000))
WINDOW, W = 128, 15


def eight_in_a_row():
    for _ in range(8):
        morvel.paa(WALK, WINDOW, 1, W)


def eight_threads():
    barrier = threading.Barrier(8)

    def call():
        barrier.wait()
        morvel.paa(WALK, WINDOW, 1, W)

    threads = [threading.Thread(target=call) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def measure():
    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    gil = sys._is_gil_enabled() if free_threaded else True
    build = "3.14t" if free_threaded else "3.14"
    row = {
        "build": build + (", GIL off" if not gil else ", GIL re-enabled" if free_threaded else ""),
        "paa_ms": best(9, lambda: morvel.paa(WALK, WINDOW, 1, W)) * 1e3,
        "sax_ms": best(9, lambda: morvel.sax(WALK, WINDOW, 1, W)) * 1e3,
    }
    # Interleaved, so that a slow spell of the machine costs both alike.
    serial, threaded = float("inf"), float("inf")
    for _ in range(5):
        serial = min(serial, best(1, eight_in_a_row))
        threaded = min(threaded, best(1, eight_threads))
    row.update(serial_ms=serial * 1e3, threads_ms=threaded * 1e3, speedup=serial / threaded)
    return row


def table(rows):
    lines = [
        "| build | paa (ms) | sax (ms) | 8 paa in a row (ms) | 8 paa in 8 threads (ms) | speed-up |",
        "|---|---|---|---|---|---|",
    ]
    for row in rows:
        lines.append(
            f"| {row['build']} | {row['paa_ms']:.1f} | {row['sax_ms']:.1f} | {row['serial_ms']:.0f} "
            f"| {row['threads_ms']:.0f} | {row['speedup']:.2f}x |"
        )
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--append", metavar="FILE", help="measure this build and append its row to FILE")
    parser.add_argument("--table", metavar="FILE", help="print the rows of FILE as a table")
    args = parser.parse_args()
    if args.append:
        row = measure()
        with open(args.append, "a") as out:
            out.write(json.dumps(row) + "\n")
        print(table([row]).splitlines()[-1])
    if args.table:
        with open(args.table) as rows:
            print(table([json.loads(line) for line in rows]))


if __name__ == "__main__":
    main()
