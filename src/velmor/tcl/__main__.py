"""Run Tcl scripts in a full velmor.tcl interpreter (TclX, start-up hooks).

    python -m velmor.tcl FILE [ARG ...]     run FILE with argv0, argv, argc set
    python -m velmor.tcl -c SCRIPT [ARG ...]
    python -m velmor.tcl [- [ARG ...]]      the script from stdin, or a prompt
                                            when stdin is a terminal
    python -m velmor.tcl --version

A Tcl error prints the whole errorInfo on stderr and exits with status 1.
"""
import os
import sys

USAGE = (
    "usage: python -m velmor.tcl [FILE | -c SCRIPT | -] [ARG ...]\n"
    "       python -m velmor.tcl --version\n"
)
HISTORY_FILE = "~/.velmor_tcl_history"
HISTORY_SIZE = 1000
_AT_EXIT = []  # run by Tcl's exit before the process ends


def _setup(argv0, args, interactive):
    from velmor.tcl.interpreter import Interpreter

    interp = Interpreter()
    gvars = interp.global_ns.vars
    gvars["argv0"] = argv0
    gvars["argv"] = tuple(args)
    gvars["argc"] = len(args)
    gvars["tcl_interactive"] = 1 if interactive else 0

    # tkinter deletes Tcl's own exit; a script runner needs one that, as
    # in tclsh, ends the process at once (no `catch` stops it).
    def exit(code="0"):
        status = interp.cast_int(code)
        _flush(interp)
        for hook in _AT_EXIT:
            hook()
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(status & 0xFF)

    interp.create_callback(exit)
    return interp


def _flush(interp):
    # Tcl's channels keep their own buffers; Python's exit does not flush them.
    for channel in ("stdout", "stderr"):
        try:
            interp.tk.call("flush", channel)
        except Exception:  # noqa: BLE001 - a closed channel has nothing to flush
            pass


def _run(interp, script):
    from tkinter import TclError

    try:
        interp.eval(script)
    except TclError as exc:
        _flush(interp)
        sys.stderr.write(getattr(exc, "errorinfo", str(exc)) + "\n")
        return 1
    finally:
        _flush(interp)
    return 0


def _complete(interp, text):
    return interp.tk.call("info", "complete", text) in (1, "1", True)


def _prompt(interp):
    """An interactive prompt with readline line editing and its own history."""
    from tkinter import TclError

    try:
        import readline
    except ImportError:  # pragma: no cover - readline is part of Debian's Python
        readline = None
    history = os.path.expanduser(HISTORY_FILE)

    def save_history():
        if readline is not None:
            try:
                readline.write_history_file(history)
            except OSError:
                pass

    if readline is not None:
        readline.clear_history()  # never the Python prompt's
        try:
            readline.read_history_file(history)
        except OSError:
            pass
        readline.set_history_length(HISTORY_SIZE)
    _AT_EXIT.append(save_history)
    try:
        while True:
            try:
                text = input("% ")
                while not _complete(interp, text):
                    text += "\n" + input("> ")
            except KeyboardInterrupt:
                sys.stdout.write("\n")
                continue
            except EOFError:
                sys.stdout.write("\n")
                return 0
            if not text.strip():
                continue
            try:
                result = interp.eval(text)
            except TclError as exc:
                sys.stderr.write(getattr(exc, "result", str(exc)) + "\n")
                continue
            if result != "":
                sys.stdout.write(str(result) + "\n")
    finally:
        _flush(interp)
        save_history()


def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv and argv[0] == "--version":
        import velmor.tcl

        sys.stdout.write("velmor.tcl %s\n" % velmor.tcl.__version__)
        return 0
    if argv and argv[0] in ("-h", "--help"):
        sys.stdout.write(__doc__.split("\n\n", 1)[1])
        return 0
    if argv and argv[0] == "-c":
        if len(argv) < 2:
            sys.stderr.write("option -c needs a script\n" + USAGE)
            return 2
        return _run(_setup("-c", argv[2:], False), argv[1])
    if argv and argv[0] != "-":
        if argv[0].startswith("-"):
            sys.stderr.write("unknown option %s\n%s" % (argv[0], USAGE))
            return 2
        path = argv[0]
        interp = _setup(path, argv[1:], False)
        from velmor.tcl.listify import listify

        return _run(interp, listify(("source", path)))
    args = argv[1:]
    if sys.stdin.isatty():
        return _prompt(_setup(sys.argv[0] if argv is None else "", args, True))
    return _run(_setup("", args, False), sys.stdin.read())


if __name__ == "__main__":
    sys.exit(main())
