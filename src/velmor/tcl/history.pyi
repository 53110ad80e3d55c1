"""The bounded, time-stamped record of an interpreter's Tcl calls."""
import datetime
import logging
import re
from collections import deque
from collections.abc import Hashable, Iterable

log: logging.Logger
__velmor_state__: object  # the module's own state, for its C++ code only

get_time = datetime.datetime.now

class Entry:
    timestamp: datetime.datetime
    api: str
    def __init__(self, api: str | Iterable[str]) -> None: ...

class History:
    __MAX_HISTORY__: int
    __history__: deque[Entry]
    __markers__: dict[Hashable, deque[Entry]]
    __activeMarkers__: list[Hashable]
    enabled: bool
    def __init__(self, max_history: int = 9999) -> None: ...
    def enable(self) -> None: ...
    def disable(self) -> None: ...
    def append(self, item: str | Iterable[str]) -> None: ...
    def clear(self, marker: Hashable | None = None, clear_all: bool = False) -> None: ...
    def start_marker(self, marker: Hashable) -> None: ...
    def end_marker(self, marker: Hashable) -> None: ...
    def filter(
        self, marker: Hashable | None = None, count: int = 20, regex: str | re.Pattern[str] | None = None
    ) -> list[Entry]: ...
