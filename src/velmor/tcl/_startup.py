"""The package's own start-up hook (entry-point group "velmor.tcl", name "tcl_init")."""
import os

#: Folder of the Tcl packages shipped with velmor.tcl (hobnail).
TCL_LIBRARY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tcllib")

# Reads hobnail's package index with $dir bound in a lambda, as Tcl's own
# package scan would, without touching a global variable.
_LOAD_INDEX = ("dir", "source [file join $dir pkgIndex.tcl]")


def tcl_init(interp):
    """Put the package's Tcl library on ``auto_path`` and load ``hobnail``."""
    tk = interp.tk
    tk.call("lappend", "::auto_path", TCL_LIBRARY)
    # Registering the index directly spares `package require` a scan of
    # every folder on auto_path.
    tk.call("apply", _LOAD_INDEX, os.path.join(TCL_LIBRARY, "hobnail"))
    tk.call("package", "require", "hobnail")
