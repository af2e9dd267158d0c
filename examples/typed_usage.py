"""A small typed program: mypy checks it against morvel's stub."""

import morvel


def words(series: list[float], window: int, alpha: int = 4) -> list[str]:
    return ["".join(row) for row in morvel.sax(series, window, 1, 8, alpha)]


def flattest_window(series: list[float], window: int) -> int:
    rows: list[list[float]] = morvel.paa(series, window, w=4)
    spans = [max(row) - min(row) for row in rows]
    return spans.index(min(spans))


if __name__ == "__main__":
    walk = [float((i * 37) % 11) for i in range(64)]
    print(words(walk, 16)[:3], flattest_window(walk, 16))
