"""velmor: Python test automation against Tcl libraries."""


def __getattr__(name):
    # Read on first use: the metadata costs nothing at import.
    if name == "__version__":
        from .utils.import_utils import package_version

        version = globals()["__version__"] = package_version()
        return version
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
