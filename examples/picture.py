"""Draws one window of a series as morvel sees it: the z-normalised values,
the PAA segment means as steps, the Gaussian breakpoints of the alphabet as
horizontal lines, and each segment's SAX letter."""

import statistics

import morvel


def breakpoints(alpha):
    """The alphabet's cut points, for display: quantiles k/alpha of N(0, 1)."""
    normal = statistics.NormalDist()
    return [normal.inv_cdf(k / alpha) for k in range(1, alpha)]


def draw_window(values, first_label, w, alpha, path, title):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    window = len(values)
    (means,) = morvel.paa(values, window, 1, w)
    (letters,) = morvel.sax(values, window, 1, w, alpha)
    mean = statistics.fmean(values)
    sd = statistics.pstdev(values)
    normalised = [(value - mean) / sd for value in values]

    figure, axis = plt.subplots(figsize=(10, 4.8))
    positions = list(range(window))
    axis.plot(positions, normalised, color="0.55", marker=".", linewidth=1, label="z-normalised series")
    edges = [index * window / w - 0.5 for index in range(w + 1)]
    for index, segment_mean in enumerate(means):
        axis.hlines(
            segment_mean,
            edges[index],
            edges[index + 1],
            color="tab:blue",
            linewidth=3,
            label="PAA segment means" if index == 0 else None,
        )
        axis.annotate(
            letters[index],
            ((edges[index] + edges[index + 1]) / 2, segment_mean),
            xytext=(0, 8),
            textcoords="offset points",
            ha="center",
            fontsize=15,
            fontweight="bold",
            color="tab:red",
        )
    for index, cut in enumerate(breakpoints(alpha)):
        axis.axhline(
            cut,
            color="tab:red",
            linestyle="--",
            linewidth=0.8,
            alpha=0.7,
            label=f"breakpoints, alphabet of {alpha}" if index == 0 else None,
        )
    for index, letter in enumerate("abcdefghijklmnopqrstuvwx"[:alpha]):
        cuts = [-2.6] + breakpoints(alpha) + [2.6]
        axis.text(
            window - 0.2,
            (max(cuts[index], -2.4) + min(cuts[index + 1], 2.4)) / 2,
            letter,
            color="tab:red",
            va="center",
            fontsize=10,
            alpha=0.8,
        )
    ticks = positions[:: max(1, window // 11)]
    axis.set_xticks(ticks, [str(first_label + tick) for tick in ticks])
    axis.set_xlim(-1, window + 0.5)
    axis.set_ylim(-2.6, 2.6)
    axis.set_ylabel("z-normalised value")
    axis.set_title(title)
    axis.legend(loc="lower left", fontsize="small")
    axis.grid(True, alpha=0.2)
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    plt.close(figure)
