"""The shapes a series keeps coming back to: the pairs of windows nearest
each other (morvel.Index.motifs, exact), and, the teaching version, the
most frequent SAX words.

morvel.Index.motifs gives the nearest pair of windows that do not overlap,
then the nearest pair clear of the first two, and so on: exact distances,
found from lower bounds and a shrinking radius.

Every window gets its SAX word (one morvel.sax call). A word that turns up
again and again marks a recurring shape, a motif. Neighbouring windows overlap
and mostly share their word, so each run of overlapping occurrences counts
once (the usual exclusion of trivial matches): an occurrence counts only if it
starts at least a window after the last one counted. Among words with as many
occurrences, the one whose occurrences are closest together, by z-normalised
Euclidean distance, comes first.

Run: tools/run python3 examples/motifs.py  (draws build/demo/motifs.png)
"""

import pathlib
import sys
from collections import defaultdict
from dataclasses import dataclass

import numpy as np

import morvel

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from discords import load, plot, znormalised_windows  # noqa: E402

PICTURE = HERE.parent / "build" / "demo" / "motifs.png"


@dataclass
class Motif:
    word: str
    positions: list[int]  # non-overlapping occurrences
    spread: float  # mean z-normalised distance between them


def non_trivial(positions, window):
    """Occurrences at least a window apart, first come first kept."""
    kept = []
    for position in positions:
        if not kept or position - kept[-1] >= window:
            kept.append(position)
    return kept


def nearest_pairs(ts, window, top=3):
    """The `top` nearest pairs of windows, none overlapping another chosen:
    (distance, (start, start)) each."""
    index = morvel.Index(ts, window)
    distances, starts = index.motifs(top, exclude=window - 1)
    return [(float(d), (int(a), int(b))) for d, (a, b) in zip(distances, starts, strict=True) if a >= 0]


def motifs(ts, window, w=8, alpha=6, top=3):
    words = ["".join(letters) for letters in morvel.sax(ts, window, 1, w, alpha)]
    occurrences = defaultdict(list)
    for position, word in enumerate(words):
        occurrences[word].append(position)
    z = znormalised_windows(ts, window)
    found = []
    for word, positions in occurrences.items():
        kept = non_trivial(positions, window)
        if len(kept) < 2:
            continue
        pairs = [(a, b) for i, a in enumerate(kept) for b in kept[i + 1 :]]
        spread = float(np.mean([np.linalg.norm(z[a] - z[b]) for a, b in pairs]))
        found.append(Motif(word, kept, spread))
    found.sort(key=lambda motif: (-len(motif.positions), motif.spread))
    return found[:top]


def draw(ts, window, pairs, path=PICTURE):
    def draw_on(axes):
        axes.plot(ts, color="0.6", linewidth=0.6)
        for (distance, positions), colour in zip(pairs, ("crimson", "royalblue", "darkgreen"), strict=False):
            for k, position in enumerate(positions):
                axes.plot(
                    range(position, position + window),
                    ts[position : position + window],
                    color=colour,
                    linewidth=1.1,
                    label=f"pair at {distance:.3f}" if k == 0 else None,
                )

    title = f"The nearest pairs of windows of {window}, none overlapping another"
    return plot(path, title, draw_on)


def main(window=100):
    ts, _ = load()
    pairs = nearest_pairs(ts, window)
    print(f"{len(ts):,} heart-rate readings, windows of {window}; the nearest pairs:")
    for distance, (a, b) in pairs:
        print(f"  readings {a} and {b}: distance {distance:.4f}")
    print("the most frequent SAX words:")
    for motif in motifs(ts, window):
        shown = ", ".join(str(p) for p in motif.positions[:8]) + (" ..." if len(motif.positions) > 8 else "")
        print(f"  {motif.word}: {len(motif.positions)} occurrences (mean distance {motif.spread:.3f}) at {shown}")
    print(f"drawn in {draw(ts, window, pairs)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
