"""velmor.tcl in one test script: drive a small Tcl library from Python.

The library (tcllib/inventory.tcl) keeps a device inventory in TclX keyed
lists and its settings in a Tcl array, and asks its caller to judge each
device through a command ::inventory::report that this script provides.
"""
import os
from tkinter import TclError

from velmor.tcl.interpreter import Interpreter
from velmor.tcl.listify import listify
from velmor.tcl.namespace import TclCommand, TclNamespace

LIBRARY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tcllib", "inventory.tcl")

# 1. An interpreter: Tcl without Tk, TclX loaded, history recording.
tcl = Interpreter()
# listify of a str is that str itself; a list of one word quotes it as one
# word, so a path with a space (or a brace) stays one argument of source.
tcl.eval("source " + listify([LIBRARY]))

# 2. Quick calls through the proxy: attributes name the command, keyword
#    arguments become dashed options, results come back cast (int here).
tcl.vox.inventory.add_device("core router", ports=48, vendor="acme")
count = tcl.vox.inventory.add_device("edge-1", ports=8)
print("devices registered:", count, type(count).__name__)

# 3. The same library through a command object, bound to its interpreter.
device_info = TclCommand("::inventory::device_info", tcl=tcl)
info = tcl.cast_keyed_list(device_info("core_router"))
print("core router:", info["name"], "| ports", info["ports"], "| up", info["status.up"])

# 4. Keyed lists and arrays as Python values, both ways.
tcl.set_keyed_list("lab", {"site": "Lab 3", "rack": {"row": "B", "slot": "12"}})
print("keylget lab rack.row ->", tcl.eval("keylget lab rack.row"))
print("back in Python:", dict(tcl.get_keyed_list("lab").all_items()))
settings = tcl.get_array("::inventory::settings")
print("settings:", dict(sorted(settings.items())))
tcl.set_array("::inventory::settings", {"timeout": 5})
print("timeout now:", tcl.eval("set ::inventory::settings(timeout)", typecast=True))

# 5. A Python callback that the Tcl code calls, and that itself asks Tcl
#    (a callback may call back into the interpreter).
def report(key: str, ports: str) -> str:
    vendor = tcl.eval("keylget ::inventory::devices " + listify(key + ".vendor"))
    return "ok" if vendor != "unknown" else "unknown vendor"


tcl.create_callback(report, cmd_name="::inventory::report")
failed = tcl.vox.inventory.check_all()
tcl.remove_callback("::inventory::report")
print("check_all failures:", failed)

# 6. Walk the library's namespace: its procedures and their arguments.
ns = TclNamespace("::inventory", tcl=tcl)
for name, proc in sorted(ns.procs.items()):
    print("proc %-12s args %s" % (name, " ".join(proc.proc_args())))

# 7. Errors carry Tcl's whole trace.
try:
    device_info("no_such_device")
except TclError as exc:
    print("TclError:", str(exc).splitlines()[0])

# 8. What was sent to Tcl, time-stamped.
print("\nlast calls:")
for entry in tcl.history.filter(count=6):
    print("  ", entry)
