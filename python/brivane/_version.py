"""The package's version, read from the installed distribution's metadata where there is one."""
try:
    from importlib.metadata import PackageNotFoundError, version as _version

    try:
        __version__ = _version("brivane")
    except PackageNotFoundError:  # run from a source tree
        __version__ = "0.1.0"
except ImportError:  # pragma: no cover
    __version__ = "0.1.0"
