"""pytest plugin of velmor.tcl, registered under the name ``velmor``.

- the ``tcl`` fixture: a fresh :class:`velmor.tcl.interpreter.Interpreter`
  per test, closed after it;
- on a failing test, a report section "Tcl history" with the last commands
  each such interpreter was sent (``--tcl-history=N``, default 20; 0 turns
  it off), as Tcl text that can be pasted into ``tclsh``.

``-p no:velmor`` turns the plugin off.  Nothing of velmor.tcl is imported
until a test asks for the fixture.
"""
import collections

import pytest

_SECTION = "Tcl history"
_DEFAULT = 20
_used = pytest.StashKey()


def pytest_addoption(parser):
    group = parser.getgroup("velmor", "velmor.tcl")
    group.addoption(
        "--tcl-history",
        type=int,
        default=_DEFAULT,
        metavar="N",
        help="on a failing test, show the last N commands sent to each `tcl` "
        "interpreter (default %d; 0 turns it off)" % _DEFAULT,
    )


def _as_tcl(item, listify):
    # eval records the script itself; the proxy records its list of words.
    return item if isinstance(item, str) else listify(item)


class _Recorder:
    """The last commands an interpreter's history was given, as Tcl text."""

    def __init__(self, interp, size):
        from velmor.tcl.listify import listify

        self.commands = collections.deque(maxlen=size)
        self.total = 0
        history = interp.history
        append = history.append

        def recording_append(item):
            try:
                self.commands.append(_as_tcl(item, listify))
                self.total += 1
            except Exception:  # noqa: BLE001 - never let the record break a test
                pass
            return append(item)

        history.append = recording_append

    def render(self, number):
        shown = len(self.commands)
        if not shown:
            return "# interpreter %d: no commands sent" % number
        if shown < self.total:
            head = "# interpreter %d: the last %d of %d commands" % (number, shown, self.total)
        else:
            head = "# interpreter %d: %d command%s" % (number, shown, "" if shown == 1 else "s")
        return "\n".join([head, *self.commands])


@pytest.fixture
def tcl(request):
    """A fresh Interpreter for this test (TclX loaded), closed after it."""
    from velmor.tcl.interpreter import Interpreter

    interp = Interpreter()
    size = request.config.getoption("tcl_history")
    if size > 0:
        request.node.stash.setdefault(_used, []).append(_Recorder(interp, size))
    try:
        yield interp
    finally:
        interp.close()


@pytest.hookimpl(wrapper=True)
def pytest_runtest_makereport(item, call):
    report = yield
    recorders = item.stash.get(_used, None)
    if recorders and report.failed:
        text = "\n\n".join(r.render(i) for i, r in enumerate(recorders, 1))
        report.sections.append((_SECTION, text))
    return report
