"""A first look at velmor.tcl: Tcl list text from Python values, and a call history."""
import tkinter

from velmor.tcl.history import History
from velmor.tcl.listify import listify, tclobj

tk = tkinter.Tcl().tk
history = History()

words = ["puts", "a b", "{unbalanced", "$not_a_var", "[no call]", "back\\slash"]
script = listify(words)
history.append(words)
print("Tcl text of", words, "->", script)
print("Tcl splits it back into:", list(tk.call("lrange", script, 0, "end")))

config = {"name": "router 1", "ports": [1, 2, 3], "enabled": True}
history.append(["set", "config", listify(config)])
tk.call("set", "config", tclobj(config))
print("dict as Tcl list:", listify(config), "| Tcl sees", tk.call("llength", listify(config)), "elements")

history.start_marker("checks")
history.append("llength $config")
history.end_marker("checks")
print("\nHistory:")
for entry in history.filter():
    print("  ", entry)
print("Under marker 'checks':", [e.api for e in history.filter(marker="checks")])
