// morvel.Index's docstrings: what help() shows, and what the stub repeats
// word for word.
#pragma once

namespace morvel::binding {

inline constexpr const char *index_doc =
    R"(Exact similarity search over the windows of one series.

Index(ts, window, stride=1, *, w=None) indexes every window of `window`
values of ts, window i starting at i * stride, with words of w symbols
(default min(16, window)). ts is a list or any numeric buffer
(a numpy.memmap too): a buffer of float64 is held (exported, so it cannot be
resized) for the index's lifetime and never copied, so its values must not
change while the index lives (copy it first if they will); anything else is
copied once into float64. A collection of equal-length series is the case
stride == window over their concatenation.

The distance between a query and a window: both are z-normalised as paa
z-normalises a window (mean, population standard deviation, subtraction
then division), the squared differences are added in ascending position
from 0.0, and the square root is taken. A window with no shape (flat, or
holding NaN or an infinity) has distance NaN, ranked after every number.

The index keeps a word of w 8-bit symbols per window (breakpoints at the
256 equiprobable quantiles of N(0, 1)), its window number (4 bytes), and
per leaf of 64 words the least and greatest symbol of each segment: w + 4
bytes per ranked window, 4 per window without a shape or beyond the bounds,
and 2 w per leaf, beyond the series (nbytes). The build and batches of
queries run on `threads` threads (default: every core) with the interpreter
released; Ctrl-C stops a build; progress=True reports it on stderr.)";

inline constexpr const char *query_doc =
    R"(The k windows nearest to q, nearest first: (distances, starts).

distances is float64 and starts int64, each of min(k, len(index)) values;
ties go to the lower start. No two returned windows start within `exclude`
positions of each other (|a - b| <= exclude; default a quarter of the
window, rounded up; 0 allows all): each is the nearest window outside the
zones of those before it. A place no window can fill holds NaN and -1.
Each distance is bit for bit the defined one; the lower bounds only decide
what need not be computed. With within=r, only windows at distance <= r
are returned (a window with no shape never is), and the search prunes by r
from the start: r is an upper bound one already holds, from another index
or an earlier answer (for rows of queries, one r or one per row). With
exact=False only the part of the index around q's own word is searched:
faster, not always the nearest.

q holds `window` numbers (a ValueError otherwise, or if it is flat or holds
NaN or an infinity); a 2-D q answers one query per row, in rows of the
results, on `threads` threads.)";

inline constexpr const char *matrix_profile_doc =
    R"(Each window's nearest other window: (distances, neighbours).

distances is float64 and neighbours int64 (a start), one per window, in
window order: the nearest window whose start is more than `exclude` from
its own (default a quarter of the window, rounded up), ties to the lower
start, at the index's distance, bit for bit. A window with no shape is at
NaN with neighbour -1 and is never another's neighbour; a window with no
other window is at +inf with -1. Runs on `threads` threads (default: every
core) with the interpreter released; Ctrl-C stops it; progress=True
reports on stderr.)";

inline constexpr const char *discords_doc =
    R"(The k windows farthest from every other: (distances, starts, neighbours).

The windows of largest matrix_profile() value, chosen greedily: the
largest, then the largest whose start is more than `exclude` from every
start chosen, ...; ties to the lower start; a window at NaN or +inf is
never chosen. Each of the k places holds its distance (float64), its start
and its nearest window's start (int64); a place none fills holds NaN, -1
and -1. Found without the whole profile: a window is dropped as soon as a
window nearer than the k-th discord's bound is found. threads and progress
as for matrix_profile().)";

inline constexpr const char *motifs_doc =
    R"(The k pairs of windows nearest each other: (distances, starts).

The nearest pair of windows whose starts are more than `exclude` apart,
then the nearest pair whose both starts are more than `exclude` from every
start chosen, ...; each pair as a row (lower start, higher start) of starts
(int64, shape (k, 2)), ties to the lower pair; distances float64. A place
none fills holds NaN and -1, -1. Found from lower bounds and a shrinking
radius, without the whole profile. threads and progress as for
matrix_profile().)";

inline constexpr const char *save_doc =
    R"(Saves the index into the directory `path` (made if missing;
FileExistsError if it is a file): header.json, a small versioned header
naming this save's generation G with the BLAKE2b-256 checksum of every
file, and plain .npy files named <table>-G.npy: series (the series itself,
float64), words (uint8, one row per ranked window), windows (uint32, their
window numbers), boxes (uint8, per leaf the least and greatest symbols),
irregular and shapeless (uint32 window numbers). Every file is new and
header.json is renamed into place last, so a load sees the index before or
after a save, whole, and a process that maps the old files keeps reading
them; files no header names any longer are removed. A save that fails
removes what it wrote.)";

inline constexpr const char *load_doc =
    R"(Opens an index saved by save(). With mmap=True its
files are mapped, not read into memory. Every file is checked first: the
header, each file's type, byte order, layout, shape and size, its checksum
(accidental damage), and that the tables hold every window once. With
verify=True the tables are also built again from the series and must be
the same (a file crafted to match its checksums): about the cost of a
build. Anything else is ValueError("not a readable morvel.Index: ...").)";

} // namespace morvel::binding
