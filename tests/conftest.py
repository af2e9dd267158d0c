import math
import os
import struct

# Running under AddressSanitizer (make sanitize): its allocator cannot honour
# address-space limits and holds freed memory for a while.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def exact(rows):
    """Rows as comparable bit patterns; every NaN counts as the same value."""
    return [
        [
            "nan" if isinstance(v, float) and math.isnan(v) else struct.pack("<d", v) if isinstance(v, float) else v
            for v in row
        ]
        for row in rows
    ]
