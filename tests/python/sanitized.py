"""Whether the tests run against the modules built with AddressSanitizer (the test command's
second Python run preloads its runtime), and sizes for that run."""
import os

SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def lasting(n, slowdown=20):
    """The sample count for a call that only has to last (long enough to be interrupted, or for
    other threads to run during it): instrumented, the same call runs `slowdown` times slower or
    more, and that share of the samples still lasts a second or longer."""
    return n // slowdown if SANITIZED else n
