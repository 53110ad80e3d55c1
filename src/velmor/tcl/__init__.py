"""velmor.tcl: drive an embedded Tcl interpreter from Python.

Importing the package creates the default interpreter
(``velmor.tcl.interpreter._global_interpreter``) and offers its public members
as package-level names: ``velmor.tcl.eval(code)``, ``velmor.tcl.cast_list(s)``,
``velmor.tcl.tk`` and so on.
"""


def _in_main_interpreter():
    # The extension modules keep process-wide state (Tcl's stubs, the
    # classes, the default interpreter): one Python interpreter only.
    import sys

    # The module's name changed in 3.13: asking for the right one first
    # spares a failed search of sys.path.
    names = ("_interpreters", "_xxsubinterpreters")
    if sys.version_info < (3, 13):
        names = names[::-1]
    for name in names:
        try:
            subinterpreters = __import__(name)
            break
        except ImportError:
            pass
    else:
        return True
    current, main = subinterpreters.get_current(), subinterpreters.get_main()
    if isinstance(current, tuple):  # (id, whence) from 3.13 on
        current, main = current[0], main[0]
    return current == main


if not _in_main_interpreter():
    raise ImportError("velmor.tcl can only be imported in the main Python interpreter, "
                      "not in a subinterpreter")
del _in_main_interpreter

import gc as _gc

# The modules build their classes and the default interpreter: thousands of
# objects, none of them garbage. Collections while they are made would only
# traverse them (and everything imported before) again and again.
_gc_was_enabled = _gc.isenabled()
_gc.disable()
try:
    from . import listify, history, nestmap, namespace, vox, interpreter  # noqa: F401
except ImportError as exc:
    # An extension module's initialiser reports its own failure as the
    # cause of a generic ImportError (older nanobind releases instead put it
    # into the text, after the type's name): a missing TclX is reported as
    # itself.
    cause = exc.__cause__
    source = cause if isinstance(cause, ImportError) and "TclX" in str(cause) else exc
    text = str(source)
    if "TclX" not in text:
        raise
    while text.startswith("ImportError: "):
        text = text[len("ImportError: "):]
    raise ImportError(text) from source.__cause__
else:
    # Nor would the first collection after them: its pass over all those
    # young objects costs as much as a good part of the import.  They live
    # as long as the process, so they go (with whatever else is still young)
    # to the oldest generation at once; objects someone froze stay frozen.
    if _gc_was_enabled and not _gc.get_freeze_count():
        _gc.freeze()
        _gc.unfreeze()
finally:
    if _gc_was_enabled:
        _gc.enable()
    del _gc, _gc_was_enabled
from .interpreter import _global_interpreter


def _bind_default_interpreter():
    # A package attribute cannot be both a submodule and an interpreter
    # member; the submodules (history, vox) keep their names.
    g = globals()
    prefix = __name__ + "."
    for name in _global_interpreter.__all__:
        current = g.get(name)
        if getattr(current, "__name__", "") == prefix + name and type(current) is type(interpreter):
            continue
        g[name] = getattr(_global_interpreter, name)


_bind_default_interpreter()
del _bind_default_interpreter


def __getattr__(name):
    if name == "__version__":
        import velmor

        return velmor.__version__
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
