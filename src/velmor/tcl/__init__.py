"""velmor.tcl: drive an embedded Tcl interpreter from Python."""
from . import listify, history  # noqa: F401
