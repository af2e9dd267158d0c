"""Sliding-window PAA over 309 years of sunspot numbers."""

import csv
import pathlib

import morvel

DATA = pathlib.Path(__file__).parent / "data" / "sunspots.csv"
BARS = " .:-=+*#%@"


def load(path):
    with open(path, newline="") as handle:
        rows = list(csv.DictReader(handle))
    return [int(row["year"]) for row in rows], [float(row["sunspots"]) for row in rows]


def bar(mean):
    """A z-normalised mean as one character, low to high."""
    position = round((max(-2.0, min(2.0, mean)) + 2.0) / 4.0 * (len(BARS) - 1))
    return BARS[position]


def main():
    years, spots = load(DATA)
    window, stride, w = 33, 11, 11  # three solar cycles, one cycle apart
    rows = morvel.paa(spots, window, stride, w)
    print(f"{len(spots)} yearly sunspot numbers, {years[0]}-{years[-1]}")
    print(f"paa(ts, window={window}, stride={stride}, w={w}): {len(rows)} windows of {w} means\n")
    print("years        shape        segment means (each 3 years, z-normalised)")
    for i, row in enumerate(rows):
        first = years[i * stride]
        shape = "".join(bar(mean) for mean in row)
        means = " ".join(f"{mean:+.2f}" for mean in row)
        print(f"{first}-{first + window - 1}  [{shape}]  {means}")
    peaks = [max(range(w), key=row.__getitem__) for row in rows]
    print(f"\nthe highest segment of each window: {peaks}")


if __name__ == "__main__":
    main()
