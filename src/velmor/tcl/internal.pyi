"""The few functions of Tcl's C library that velmor.tcl needs."""
from collections.abc import Callable
from typing import Any

from _tkinter import TclError as TclError, Tcl_Obj as Tcl_Obj

__velmor_state__: object  # the module's own state, for its C++ code only

def GetListFromAny(value: str | bytes | int | float | tuple[Any, ...] | list[Any] | Tcl_Obj) -> tuple[Any, ...]: ...
def _createcommand(tk: Any, name: str, func: Callable[..., object]) -> None: ...

class TclDLL:
    @staticmethod
    def Tcl_ResetResult(interpreter: Any) -> None: ...
