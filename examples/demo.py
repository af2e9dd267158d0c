"""Sliding-window PAA and SAX over 309 years of sunspot numbers."""

import csv
import pathlib
import sys

import morvel

HERE = pathlib.Path(__file__).resolve().parent
DATA = HERE / "data" / "sunspots.csv"
PICTURE = HERE.parent / "build" / "demo" / "sunspots-window.png"
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
    sys.path.insert(0, str(HERE))
    years, spots = load(DATA)
    window, stride, w, alpha = 33, 11, 11, 5  # three solar cycles, one cycle apart
    means = morvel.paa(spots, window, stride, w)
    words = morvel.sax(spots, window, stride, w, alpha)
    print(f"{len(spots)} yearly sunspot numbers, {years[0]}-{years[-1]}")
    print(f"window={window} years, stride={stride}, w={w} segments of 3 years, alpha={alpha}: {len(means)} windows\n")
    print("years      sax word    shape        paa segment means (z-normalised)")
    for i, (row, word) in enumerate(zip(means, words, strict=True)):
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

    # The window holding the highest cycle on record, as a picture.
    peak = max(range(len(spots)), key=spots.__getitem__)
    index = min(range(len(means)), key=lambda i: abs(i * stride + window // 2 - peak))
    first = index * stride
    try:
        from picture import draw_window
    except ImportError:
        return
    try:
        PICTURE.parent.mkdir(parents=True, exist_ok=True)
        draw_window(
            spots[first : first + window],
            years[first],
            w,
            alpha,
            PICTURE,
            f"Sunspots {years[first]}-{years[first] + window - 1}: "
            f"paa and sax with window={window}, w={w}, alpha={alpha}",
        )
    except ImportError:
        print("\n(matplotlib is not installed: no picture)")
        return
    print(f"\nword {''.join(words[index])} drawn in {PICTURE.relative_to(HERE.parent)}")


if __name__ == "__main__":
    main()
