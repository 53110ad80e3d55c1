"""Generic data structures."""
# typing is read by type checkers only: importing it would cost every
# `import velmor.tcl` more than the rest of this module.
from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any


class AttrDict(dict):  # type: ignore[type-arg]
    """A dict whose keys can also be read and written as attributes."""

    __slots__ = ()

    def __getattr__(self, name: str) -> Any:
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None

    def __setattr__(self, name: str, value: Any) -> None:
        self[name] = value

    def __delattr__(self, name: str) -> None:
        try:
            del self[name]
        except KeyError:
            raise AttributeError(name) from None
