"""Sliding-window PAA and SAX over 309 years of sunspot numbers."""

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
    window, stride, w, alpha = 33, 11, 11, 5  # three solar cycles, one cycle apart
    means = morvel.paa(spots, window, stride, w)
    words = morvel.sax(spots, window, stride, w, alpha)
    print(f"{len(spots)} yearly sunspot numbers, {years[0]}-{years[-1]}")
    print(f"window={window} years, stride={stride}, w={w} segments of 3 years, alpha={alpha}: {len(means)} windows\n")
    print("years      sax word    shape        paa segment means (z-normalised)")
    for i, (row, word) in enumerate(zip(means, words)):
        first = years[i * stride]
        shape = "".join(bar(mean) for mean in row)
        values = " ".join(f"{mean:+.2f}" for mean in row)
        print(f"{first}-{first + window - 1}  {''.join(word)}  [{shape}]  {values}")
    counts = {}
    for word in words:
        counts["".join(word)] = counts.get("".join(word), 0) + 1
    repeated = sorted((word for word, n in counts.items() if n > 1), key=counts.get, reverse=True)
    print(f"\n{len(counts)} distinct words; repeated: {', '.join(repeated) or 'none'}")
    print("letters: 'a' is the lowest fifth of a standard normal, 'e' the highest")


if __name__ == "__main__":
    main()
