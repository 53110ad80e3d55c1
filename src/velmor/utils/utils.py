"""Time source for time stamps; a module attribute so tests can replace it."""


def get_time(tz=None):
    """The current local time as a ``datetime`` (``datetime.datetime.now``)."""
    return _now(tz)


def _first_now(tz=None):
    # datetime costs a noticeable share of `import velmor.tcl`, and the
    # package takes its first time stamp only when history is recorded.
    global _now
    import datetime

    _now = datetime.datetime.now
    return _now(tz)


_now = _first_now
