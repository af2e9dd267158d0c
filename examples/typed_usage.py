"""A small typed program: mypy checks it against morvel's stub and
morvel_dask's annotations."""

import array

import numpy as np

import morvel
import morvel_dask


def words(series: list[float], window: int, alpha: int = 4) -> list[str]:
    return ["".join(row) for row in morvel.sax(series, window, 1, 8, alpha)]


def flattest_window(series: np.ndarray, window: int) -> int:
    rows: list[list[float]] = morvel.paa(series, window, w=4)
    spans = [max(row) - min(row) for row in rows]
    return spans.index(min(spans))


def nearest_window(series: np.ndarray, window: int) -> int:
    """The window whose word is nearest the first window's, by mindist."""
    letters = morvel.sax_array(series, window, 1, 8, 6)
    distances = np.asarray(morvel.mindist(letters[0], letters[1:], window, 6))
    return 1 + int(np.argmin(distances))


def means_into(series: np.ndarray, window: int) -> np.ndarray:
    out = np.empty((len(series) - window + 1, 4))
    return morvel.paa_array(series, window, w=4, out=out)


def nearest_on_a_cluster(path: str, q: np.ndarray) -> np.ndarray:
    """The windows nearest q of a series in a .npy file, with the current
    distributed client."""
    index = morvel_dask.Index(morvel_dask.from_npy(path, chunks=10**6), 128, path=path + ".index")
    distances, starts = index.query(q, 3, exclude=64)
    return starts[distances < 2 * len(index)]


def every_kind_of_series() -> list[list[list[float]]]:
    values = [float((i * 37) % 11) for i in range(16)]
    return [
        morvel.paa(tuple(values), 8),
        morvel.paa(array.array("d", values), 8),
        morvel.paa(memoryview(array.array("d", values)), 8),
        morvel.paa(range(16), 8, w=np.int64(4)),
        morvel.paa((v * 2 for v in values), 8),
        morvel.paa(set(values), 4),
        morvel.paa({v: None for v in values}.keys(), 4),
    ]


if __name__ == "__main__":
    walk = [float((i * 37) % 11) for i in range(64)]
    print(words(walk, 16)[:3], flattest_window(np.array(walk), 16), len(every_kind_of_series()))
    print(nearest_window(np.array(walk), 16), means_into(np.array(walk), 16).shape)
