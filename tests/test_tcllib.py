"""Real Tcl libraries (Debian's tcllib, TclOO) driven through the package, compared with raw Tcl."""
import pytest
from hypothesis import HealthCheck, example, given, settings, strategies as st

from velmor.tcl.listify import listify
from velmor.tcl.namespace import TclArrayVariable, TclCommand, TclNamespace, TempTclNamespace

PACKAGES = ("TclOO", "struct::stack", "json", "base64", "uri", "snit")


@pytest.fixture
def lib(interp):
    """An interpreter with the libraries loaded, a snit object and a TclOO object made."""
    for package in PACKAGES:
        interp.eval(f"package require {package}")
    interp.eval("""
        snit::type ::tcllib_dog { option -name; method bark {} {return woof} }
        ::tcllib_dog ::tcllib_fido -name Rex
        oo::class create ::tcllib_Counter {
            variable n
            constructor {} {set n 0}
            method incr {} {incr n}
        }
        ::tcllib_Counter create ::tcllib_counter
        ::tcllib_counter incr
    """)
    return interp


def raw_tails(tk, sub, ns):
    pattern = ("::" if ns == "::" else ns + "::") + "*"
    return sorted(str(tk.call("namespace", "tail", n)) for n in tk.splitlist(tk.call("info", sub, pattern)))


def raw_walk(tk, ns="::"):
    found = [ns]
    for child in tk.splitlist(tk.call("namespace", "children", ns)):
        found += raw_walk(tk, str(child))
    return found


def walk(space):
    found = [space]
    for child in space.children():
        found += walk(TclNamespace(child, tcl=space.tcl))
    return found


def test_walk_of_every_namespace_matches_raw_tcl(lib):
    tk = lib.tk
    for package in ("csv", "math", "fileutil", "logger", "md5", "sha1", "struct::tree", "cmdline"):
        lib.eval(f"package require {package}")
    lib.eval("logger::init tcllib_walk")  # logger makes namespaces and procs per service
    spaces = walk(TclNamespace("::", tcl=lib))
    assert [s.ns for s in spaces] == raw_walk(tk)
    names = {s.ns for s in spaces}
    assert {"::oo::InfoObject", "::struct::stack", "::json", "::base64", "::uri", "::snit"} <= names
    assert any(n.startswith("::oo::Obj") for n in names)  # TclOO object namespaces
    assert "::tcllib_dog" in names
    for space in spaces:
        where = ascii(space.ns)
        assert sorted(space.procs) == raw_tails(tk, "procs", space.ns), where
        assert sorted(space.cmds) == raw_tails(tk, "commands", space.ns), where
        # variables declared with `variable name` and never set do not exist for Tcl
        raw_vars = raw_tails(tk, "vars", space.ns)
        existing = [v for v in raw_vars
                    if tk.getboolean(tk.call("info", "exists", TclNamespace.join(space.ns, v)))]
        assert sorted(space.vars) == existing == sorted(space.objs), where
        assert len(space.vars) == len(existing) and len(space.procs) == len(raw_tails(tk, "procs", space.ns))
        assert all(name in space.procs for name in space.procs), where
        assert all(name in space.cmds for name in space.cmds), where
        # every name a view yields reads back through it
        values = dict(space.vars)
        objects = dict(space.objs)
        for name in existing:
            if space.ns == "::" and name in ("errorCode", "errorInfo"):
                continue  # the failed reads of the walk itself change them
            qualified = TclNamespace.join(space.ns, name)
            if tk.getboolean(tk.call("array", "exists", qualified)):
                assert values[name] == lib.get_array(qualified), (where, ascii(name))
                assert isinstance(objects[name], TclArrayVariable)
            else:
                assert values[name] == space.vars[name] == lib.get_var(qualified), (where, ascii(name))
                if "\x00" not in values[name]:  # tk.eval's text ends at a NUL
                    assert values[name] == tk.eval(listify(("set", qualified))), (where, ascii(name))


def test_namespace_methods_in_tcloo_namespaces(lib):
    tk = lib.tk
    for name in ("::oo::InfoObject", "::oo::InfoClass", "::oo::Helpers"):
        space = TclNamespace(name, tcl=lib)
        assert space.children() == tk.splitlist(tk.call("namespace", "children", name))
        assert space.export() == tk.splitlist(tk.call("namespace", "eval", name, "::namespace export"))
        assert space.exists() is True
    info_object = TclNamespace("::oo::InfoObject", tcl=lib)
    assert info_object.which("namespace", command=True) == "::oo::InfoObject::namespace"
    obj_ns = lib.eval("info object namespace ::tcllib_counter")
    counter = TclNamespace(obj_ns, tcl=lib)
    assert counter.vars["n"] == "1"
    assert "my" in counter.cmds and counter.which("my", command=True) == obj_ns + "::my"


def test_single_colon_names_read_and_write(lib):
    tk = lib.tk
    assert lib.vars["::uri::file:counter"] == str(tk.getvar("::uri::file:counter"))
    lib.vars["::uri::file:counter"] = 41
    assert lib.get_int("::uri::file:counter") == 41
    uri = TclNamespace("::uri", tcl=lib)
    assert "file:counter" in uri.vars and "file:counter" in list(uri.vars)
    assert uri.vars["file:counter"] == "41" and uri.objs["file:counter"] == 41
    uri.vars["file:counter"] = 42
    assert tk.getvar("::uri::file:counter") == 42
    assert lib.get_var("::uri::file:counter") == "42"
    # the library still works with it
    parts = lib.cast_list(lib.vox.uri.split("http://example.com/a%20b"))
    assert dict(zip(parts[0::2], parts[1::2]))["path"] == "a%20b"


def test_byte_array_results_are_text(lib):
    assert lib.vox.base64.encode("hello") == "aGVsbG8="
    assert lib.vox.base64.encode("hello", cast_=False) == "aGVsbG8="
    assert lib.vox.base64.decode("aGVsbG8=") == "hello"
    encoded = TclCommand("::base64::encode", tcl=lib, cast=lib.cast_any)
    assert encoded("x" * 300).replace("\n", "") == lib.tk.eval("binary encode base64 [string repeat x 300]")
    assert lib.eval("base64::encode -maxlen 0 [string repeat y 40]", typecast=True) == lib.tk.eval(
        "binary encode base64 [string repeat y 40]")


def test_struct_stack_and_json_through_the_package(lib):
    stack = TclCommand(lib.eval("struct::stack"), tcl=lib)
    stack("push", "a\x00b", "two words", "{")
    assert stack("size") == 3
    assert lib.vox.eval(f"{stack.cmd_name} peek 3", cast_=False) == "\\{ {two words} a\x00b"
    assert lib.cast_list(stack("get")) == ("{", "two words", "a\x00b")
    assert stack("pop") == "{"
    stack("destroy")
    assert stack.exists() is False

    text = '{"name": "x y", "list": [1, "a b"], "nested": {"k": "v"}}'
    flat = lib.cast_list(lib.vox.json.json2dict(text))
    parsed = dict(zip(flat[0::2], flat[1::2]))
    assert parsed["name"] == "x y" and lib.cast_list(parsed["nested"]) == ("k", "v")
    assert lib.cast_list(parsed["list"]) == ("1", "a b")
    assert "json2dict" in TclNamespace("::json", tcl=lib).procs


def test_exact_name_membership_against_libraries(lib):
    stack_ns = TclNamespace("::struct::stack", tcl=lib)
    procs = list(stack_ns.procs)
    assert procs and all(p in stack_ns.procs for p in procs)
    assert "*" not in stack_ns.procs and "*" not in stack_ns.cmds
    assert "S?ack" not in stack_ns.procs and "stack*" not in stack_ns.cmds
    mathop = TclNamespace("::tcl::mathop", tcl=lib)
    assert "*" in mathop.cmds and "**" in mathop.cmds and "*?" not in mathop.cmds
    assert TclCommand("::tcllib_fid?", tcl=lib).exists() is False
    assert TclCommand("::tcllib_fido", tcl=lib).exists() is True
    assert TclCommand("::tcllib_fido", tcl=lib)("bark") == "woof"
    # explicit patterns stay patterns
    assert TclNamespace("::", tcl=lib).children("::stru*") == ("::struct",)


# Random names with single and triple colons, glob characters, brackets,
# spaces and characters beyond the BMP: Tcl and the name functions agree,
# and a variable and a procedure made under such a name are members of
# their views by exact name and read back.

piece = st.text(st.sampled_from(["a", ":", "*", "?", "[", "]", "\\", " ", "{", "\u00e9", "\U0001F600"]),
                min_size=1, max_size=6)


@settings(deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(name=piece)
@example(name="file:counter")
@example(name="get[0]")
@example(name="s?art")
@example(name="a:::b")
def test_random_names_are_found_by_exact_name_and_read_back(interp, name):
    tk = interp.tk
    with TempTclNamespace(tcl=interp) as space:
        full = space.ns + "::" + name
        qualifiers = str(tk.call("namespace", "qualifiers", full))
        tail = str(tk.call("namespace", "tail", full))
        assert TclNamespace.qualifiers(full) == qualifiers and TclNamespace.tail(full) == tail
        if not tail:
            return  # a name ending in a separator names no member
        tk.call("namespace", "eval", qualifiers, "")
        tk.call("set", full, "v:" + name)
        tk.call("proc", full, "", "return p")
        home = TclNamespace(qualifiers, tcl=interp)
        assert TclNamespace.join(home, tail) == TclNamespace.normalize(full)
        assert tail in home.vars and tail in home.procs and tail in home.cmds
        assert home.vars[tail] == "v:" + name == interp.get_var(full) == home.objs[tail]
        assert home.procs[tail]() == "p"
        assert list(home.vars) == [tail] and list(home.procs) == [tail]
        for other in ("*", "?", tail + "*", "[" + tail + "]", tail[:-1] + "?"):
            if other != tail:
                assert other not in home.procs and other not in home.vars, ascii(other)
