"""Every public entry point as the first call in a fresh process, with every kind of argument.

Each row runs in a process of its own: whatever a call needs from Tcl's C library must
be ready before the first call, whichever call comes first.
"""
import os
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

# Argument kinds, built before the package is imported.  `other` is a tkinter
# application of its own (another interpreter), with TclX for keyed lists.
ARGS = {
    "str": "'a {b c}'",
    "str-keyed": "'{a 1} {b {{c 2}}}'",
    "str-malformed": "'{a'",
    "str-number": "'42'",
    "bytes": "b'a {b c}'",
    "tuple": "('a', 'b c')",
    "list": "['a', 'b c']",
    "int": "5",
    "float": "2.5",
    "None": "None",
    "dict": "{'a': '1', 'b': 'x y'}",
    "Tcl_Obj-list": "other.call('list', 'a', 'b c')",
    "Tcl_Obj-dict": "other.call('dict', 'create', 'a', '1', 'b', 'x y')",
    "Tcl_Obj-keyed": "(other.eval('keylset kl a 1 b.c {x y}'), other.getvar('kl'))[1]",
    "Tcl_Obj-int": "other.call('expr', 'wide(1) << 40')",
    "Tcl_Obj-bytearray": "other.call('list', other.call('binary', 'format', 'a3', 'abc'))",
    "Tcl_Obj-malformed": "(other.eval('set m \"{a\"; proc $m {} {}; $m'), other.getvar('m'))[1]",
    "tkapp": "other",
    "tkinter.Tcl": "tkinter.Tcl()",
}

# Entry points: `arg` is the argument, `I` the package's default interpreter
# (the import makes it; nothing of ours has run on it since).
CALLS = {
    "GetListFromAny": "from velmor.tcl.internal import GetListFromAny as f; r = f(arg)",
    "Tcl_ResetResult": "from velmor.tcl.internal import TclDLL; r = TclDLL.Tcl_ResetResult(arg)",
    "cast_list": "from velmor.tcl.interpreter import Interpreter; r = Interpreter.cast_list(arg)",
    "cast_keyed_list": "from velmor.tcl.interpreter import Interpreter; r = Interpreter.cast_keyed_list(arg)",
    "cast_array": "from velmor.tcl.interpreter import Interpreter; r = Interpreter.cast_array(arg)",
    "pkg.cast_any": "import velmor.tcl as v; r = v.cast_any(arg)",
    "pkg.cast_int": "import velmor.tcl as v; r = v.cast_int(arg)",
    "pkg.cast_double": "import velmor.tcl as v; r = v.cast_double(arg)",
    "pkg.cast_boolean": "import velmor.tcl as v; r = v.cast_boolean(arg)",
    "NestMap.from_tcl": "from velmor.tcl.nestmap import NestMap; r = NestMap.from_tcl(arg)",
    "NestMap-setitem": "from velmor.tcl.nestmap import NestMap; r = NestMap(); r['k.j'] = arg",
    "NestMap": "from velmor.tcl.nestmap import NestMap; r = NestMap(arg)",
    "listify": "from velmor.tcl.listify import listify; r = listify(arg)",
    "tclobj": "from velmor.tcl.listify import tclobj; r = tclobj(arg)",
    "eval-typecast": "I = Default(); I.tk.setvar('x', arg); r = I.eval('set x', typecast=True)",
    "set_var": "I = Default(); I.set_var('x', arg); r = I.get_var('x')",
    "set_list": "I = Default(); I.set_list('x', arg); r = I.get_list('x')",
    "set_keyed_list": "I = Default(); I.set_keyed_list('x', arg); r = I.get_keyed_list('x')",
    "set_array": "I = Default(); I.set_array('x', arg); r = I.get_array('x')",
    "vars-setitem": "I = Default(); I.vars['x'] = arg; r = I.vars['x']",
    "vox.set": "I = Default(); r = I.vox.set('x', arg)",
    "vox-keyed-result": "I = Default(); I.tk.setvar('k', arg); r = I.vox.set('k')",
    "TclArrayVariable": (
        "from velmor.tcl.namespace import TclArrayVariable; I = Default(); "
        "a = TclArrayVariable('arr', tcl=I); a.update({'k': arg}); r = (a.array_get(), a['k'])"
    ),
    "TclCommand": "from velmor.tcl.namespace import TclCommand; r = TclCommand(('::list', arg))()",
}

CHILD = """\
import sys, tkinter
def Default():
    from velmor.tcl.interpreter import _global_interpreter
    return _global_interpreter
kind, entry = sys.argv[1], sys.argv[2]
if 'other' in ARGS[kind]:
    other = tkinter.Tcl().tk
    other.eval('package require Tclx')
arg = eval(ARGS[kind])
try:
    exec(CALLS[entry])
    print('OK', type(r).__name__)
except (TypeError, ValueError, tkinter.TclError, RuntimeError) as exc:
    print('RAISED', type(exc).__name__)
"""

# The whole table, one process per row.
ROWS = [(entry, kind) for entry in CALLS for kind in ARGS]


def run_row(entry, kind):
    code = "ARGS = %r\nCALLS = %r\n" % (ARGS, CALLS) + CHILD
    path = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run([sys.executable, "-c", code, kind, entry], capture_output=True, text=True,
                          env=dict(os.environ, PYTHONPATH=path), timeout=120)


@pytest.mark.parametrize("entry", list(CALLS))
def test_first_call_in_a_fresh_process(entry):
    with ThreadPoolExecutor(max_workers=2) as pool:
        outs = list(pool.map(lambda kind: (kind, run_row(entry, kind)), ARGS))
    failed = [
        "%s(%s): rc=%s out=%r err=%r" % (entry, kind, out.returncode, out.stdout, out.stderr[-300:])
        for kind, out in outs
        if out.returncode != 0 or not out.stdout.startswith(("OK", "RAISED"))
    ]
    assert not failed, "\n".join(failed)


# Rows whose result is known: each is also a first call of its own.
@pytest.mark.parametrize(
    "entry, kind, expected",
    [
        ("NestMap.from_tcl", "Tcl_Obj-keyed", "OK NestMap"),
        ("NestMap-setitem", "Tcl_Obj-keyed", "OK NestMap"),
        ("pkg.cast_any", "Tcl_Obj-keyed", "OK NestMap"),
        ("cast_list", "Tcl_Obj-dict", "OK tuple"),
        ("vox-keyed-result", "Tcl_Obj-keyed", "OK NestMap"),
        ("TclArrayVariable", "Tcl_Obj-list", "OK tuple"),
        ("GetListFromAny", "Tcl_Obj-malformed", "RAISED TclError"),
        ("Tcl_ResetResult", "None", "RAISED TypeError"),
        ("Tcl_ResetResult", "tkapp", "OK NoneType"),
        ("Tcl_ResetResult", "tkinter.Tcl", "OK NoneType"),
        ("pkg.cast_int", "Tcl_Obj-int", "OK int"),
    ],
)
def test_first_call_results(entry, kind, expected):
    out = run_row(entry, kind)
    assert out.returncode == 0, out.stderr[-500:]
    assert out.stdout.strip() == expected
