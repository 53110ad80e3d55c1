"""velmor.tcl: drive an embedded Tcl interpreter from Python.

Importing the package creates the default interpreter
(``velmor.tcl.interpreter._global_interpreter``) and offers its public members
as package-level names: ``velmor.tcl.eval(code)``, ``velmor.tcl.cast_list(s)``,
``velmor.tcl.tk`` and so on.
"""
from . import listify, history, nestmap, namespace, vox, interpreter  # noqa: F401
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
