"""morvel on a Dask cluster: the array functions over dask arrays, and an
index of every window of a series too long for one machine.

paa_array(ts, ...) and sax_array(ts, ...) take a one-dimensional dask array
and return a lazy dask array of rows, chunked on window starts: a block of
rows for each chunk of ts in which windows start. They equal one call over
the whole series, bit for bit, whatever the chunks and the stride.

Index(ts, window, ..., path=...) builds one morvel.Index per chunk of ts on
the cluster's workers, saved under `path` where they map it, and query()
answers exactly what one morvel.Index over the whole series answers.

morvel computes everything; this module only plans the chunks and merges
their answers.
"""

from .arrays import from_npy, paa_array, sax_array
from .index import Index

__all__ = ["Index", "from_npy", "paa_array", "sax_array"]
