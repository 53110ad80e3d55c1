"""The pytest plugin shipped with the package (entry point pytest11, name velmor)."""
import tkinter

import pytest

pytest_plugins = ("pytester",)

FAILING = """
def test_fails(tcl):
    tcl.eval("set a 1")
    tcl.vox.set("b", "x y {")
    tcl.eval("proc p {n} {\\n    return [expr {$n * 2}]\\n}")
    tcl.vox.p(21)
    assert tcl.eval("p 4") == "9"
"""


def section(result):
    """The text of the "Tcl history" section of the one failure, or None."""
    lines = result.stdout.lines
    for i, line in enumerate(lines):
        if "Tcl history" in line and line.startswith("-"):
            body = []
            for more in lines[i + 1:]:
                if more.startswith(("-", "=", "_")) and more.strip("-=_ ") != more.strip():
                    break
                body.append(more)
            return "\n".join(body).strip("\n")
    return None


def test_fixture_fresh_per_test(pytester):
    pytester.makepyfile(
        """
        from velmor.tcl.interpreter import Interpreter
        seen = []

        def test_one(tcl):
            assert isinstance(tcl, Interpreter)
            tcl.eval("set only_here 1")
            seen.append(id(tcl))

        def test_two(tcl):
            assert tcl.eval("info exists only_here") == "0"
            assert tcl.eval("package present Tclx")
            seen.append(id(tcl))
            assert seen[0] != seen[1]
        """
    )
    pytester.runpytest("-p", "no:randomly").assert_outcomes(passed=2)


def test_fixture_closes(pytester):
    pytester.makepyfile(
        """
        import pytest
        from velmor.tcl.interpreter import Interpreter
        closed = []

        @pytest.fixture(autouse=True)
        def spy(monkeypatch):
            monkeypatch.setattr(Interpreter, "close", lambda self: closed.append(self), raising=False)

        def test_uses(tcl):
            pass

        def test_after():
            assert len(closed) == 1
        """
    )
    pytester.runpytest("-p", "no:randomly").assert_outcomes(passed=2)


def test_history_section_pastes_into_tcl(pytester):
    pytester.makepyfile(FAILING)
    result = pytester.runpytest()
    result.assert_outcomes(failed=1)
    text = section(result)
    assert text is not None, result.stdout.str()
    assert text.splitlines()[0] == "# interpreter 1: 5 commands"
    # Pasted into a plain Tcl shell, the commands do what the test did.
    fresh = tkinter.Tcl()
    fresh.eval(text)
    assert fresh.eval("set b") == "x y {"
    assert fresh.eval("p 4") == "8"


@pytest.mark.parametrize("count, shown", [("2", 2), ("99", 5)])
def test_history_length(pytester, count, shown):
    pytester.makepyfile(FAILING)
    text = section(pytester.runpytest("--tcl-history=" + count))
    lines = text.splitlines()
    if shown < 5:
        assert lines[0] == f"# interpreter 1: the last {shown} of 5 commands"
    assert lines[-1] == 'p 4'
    assert text.count("\n") >= shown


def test_history_off(pytester):
    pytester.makepyfile(FAILING)
    result = pytester.runpytest("--tcl-history=0")
    result.assert_outcomes(failed=1)
    assert section(result) is None


def test_no_section_when_passing(pytester):
    pytester.makepyfile("def test_ok(tcl):\n    tcl.eval('set x 1')\n")
    result = pytester.runpytest("-rA")
    result.assert_outcomes(passed=1)
    assert "Tcl history" not in result.stdout.str()


def test_no_section_without_fixture(pytester):
    pytester.makepyfile("def test_bad():\n    assert False\n")
    result = pytester.runpytest()
    result.assert_outcomes(failed=1)
    assert "Tcl history" not in result.stdout.str()


def test_failing_tcl_error_is_shown(pytester):
    pytester.makepyfile(
        """
        def test_tcl_fails(tcl):
            tcl.eval("set step 1")
            tcl.eval("error {disk full}")
        """
    )
    result = pytester.runpytest()
    result.assert_outcomes(failed=1)
    assert section(result).splitlines()[1:] == ["set step 1", "error {disk full}"]


def test_plugin_can_be_turned_off(pytester):
    pytester.makepyfile("def test_x(tcl):\n    pass\n")
    result = pytester.runpytest("-p", "no:velmor")
    result.assert_outcomes(errors=1)
    result.stdout.fnmatch_lines(["*fixture 'tcl' not found*"])


def test_registered_under_its_name(pytestconfig):
    plugin = pytestconfig.pluginmanager.get_plugin("velmor")
    assert plugin is not None and plugin.__name__ == "velmor.pytest_plugin"
