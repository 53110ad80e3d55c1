"""Array: the Python form of a Tcl array, read from `array get` text."""
from tkinter import TclError

from velmor.tcl.internal import GetListFromAny

__all__ = ("Array",)


class Array(dict):
    """A dict of the elements of a Tcl array, element name to value.

    >>> Array.from_tcl("a 1 b {two words}")
    {'a': '1', 'b': 'two words'}
    """

    __slots__ = ()

    @classmethod
    def from_tcl(cls, value):
        """Build an Array from a Tcl list of alternating names and values.

        `value` is the text (or Tcl object, or tuple) that `array get`
        returns.  Raises ValueError for text that is not a Tcl list or has
        an odd number of elements; a name given twice keeps its last value.
        """
        try:
            items = GetListFromAny(value)
        except (TclError, TypeError) as exc:
            raise ValueError(exc) from exc
        if len(items) % 2:
            raise ValueError(
                "array list must have an even number of elements, got {}".format(len(items))
            )
        return cls(zip(items[0::2], items[1::2]))
