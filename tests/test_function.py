"""The package's own function type: attributes, pickling, weak references and
argument binding that matches CPython's functions, message for message."""

import copy
import gc
import inspect
import pickle
import subprocess
import sys
import weakref

import pytest

from velmor.tcl import history, internal, interpreter, listify, namespace, nestmap, vox
from velmor.tcl.history import History
from velmor.tcl.interpreter import Interpreter

MODULES = [history, internal, interpreter, listify, namespace, nestmap, vox]


def all_functions():
    ftype = type(Interpreter.eval)
    for mod in MODULES:
        for value in vars(mod).values():
            if isinstance(value, ftype):
                yield value
            elif isinstance(value, type) and value.__module__ == mod.__name__:
                for attr in vars(value).values():
                    attr = getattr(attr, "__func__", attr)
                    if isinstance(attr, ftype):
                        yield attr


# ---------------------------------------------------------------------------
# One type


def test_one_function_type_for_every_module():
    types = {type(f) for f in all_functions()}
    assert types == {type(Interpreter.eval)}
    assert {f.__module__ for f in all_functions()} >= {m.__name__ for m in MODULES}


def test_one_function_type_in_a_fresh_process_whatever_is_imported_first():
    code = (
        "import velmor.tcl.history as h, velmor.tcl.listify as l\n"
        "import velmor.tcl.interpreter as i\n"
        "assert type(h.History.append) is type(l.listify) is type(i.Interpreter.eval)\n"
        "print('ok')\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=False)
    assert out.stdout.strip() == "ok", out.stderr


# ---------------------------------------------------------------------------
# Attributes, as CPython's functions have them


@pytest.fixture
def fn():
    # A fresh function of the type, so that tests may change its attributes.
    return internal._function_probe("Probe.f", [("self", "pos"), ("item", "pos")])


@pytest.mark.parametrize("attr", ["__name__", "__qualname__"])
@pytest.mark.parametrize("value", [None, 1, b"x"], ids=repr)
def test_name_setters_want_str(fn, attr, value):
    def ref():
        pass

    with pytest.raises(TypeError) as want:
        setattr(ref, attr, value)
    with pytest.raises(TypeError) as got:
        setattr(fn, attr, value)
    assert str(got.value) == str(want.value)


@pytest.mark.parametrize("attr", ["__name__", "__qualname__"])
def test_name_deletion_refused(fn, attr):
    def ref():
        pass

    with pytest.raises(TypeError) as want:
        delattr(ref, attr)
    with pytest.raises(TypeError) as got:
        delattr(fn, attr)
    assert str(got.value) == str(want.value)
    assert repr(fn).startswith("<function Probe.f at 0x")


def test_deleting_qualname_of_a_method_leaves_it_usable():
    f = Interpreter.eval
    with pytest.raises(TypeError):
        del f.__qualname__
    assert repr(f).startswith("<function Interpreter.eval at ")


@pytest.mark.parametrize("attr", ["__doc__", "__module__"])
def test_doc_and_module_take_anything_and_delete_to_none(fn, attr):
    def ref():
        pass

    for value in (1, None, "text"):
        setattr(ref, attr, value)
        setattr(fn, attr, value)
        assert getattr(fn, attr) == getattr(ref, attr)
    delattr(ref, attr)
    delattr(fn, attr)
    assert getattr(fn, attr) is getattr(ref, attr) is None


def test_names_are_settable_to_str(fn):
    fn.__name__ = "g"
    fn.__qualname__ = "Other.g"
    assert (fn.__name__, fn.__qualname__) == ("g", "Other.g")
    assert repr(fn).startswith("<function Other.g at ")
    with pytest.raises(TypeError, match=r"^Other\.g\(\) missing"):
        fn(None)


def test_text_signature_is_read_only(fn):
    with pytest.raises(AttributeError):
        fn.__text_signature__ = "(x)"


def test_weak_reference():
    fn = internal._function_probe("Probe.f", [("x", "pos")])
    ref = weakref.ref(fn)
    assert ref() is fn
    del fn
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize(
    "f",
    [Interpreter.eval, Interpreter.cast_list, History.append, listify.listify,
     internal.GetListFromAny, namespace.TclNamespace.split],
    ids=lambda f: f.__qualname__,
)
def test_pickle_and_copy_by_qualified_name(f):
    for proto in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f, proto)) is f
    assert copy.copy(f) is f
    assert copy.deepcopy(f) is f
    assert f.__reduce__() == f.__qualname__


def test_every_function_pickles_to_itself():
    for f in all_functions():
        assert pickle.loads(pickle.dumps(f)) is f, f.__qualname__


# ---------------------------------------------------------------------------
# Definitions


def test_signature_longer_than_the_argument_buffer_is_refused():
    params = [(f"p{i}", "pos") for i in range(25)]
    with pytest.raises(SystemError, match="more than 24"):
        internal._function_probe("Probe.f", params)
    internal._function_probe("Probe.f", params[:24])  # the largest allowed


@pytest.mark.parametrize(
    "params",
    [
        [("a", "pos", 1), ("b", "pos")],
        [("a", "pos"), ("b", "posonly")],
        [("a", "star"), ("b", "star")],
        [("a", "starstar"), ("b", "pos")],
        [("a", "kwonly"), ("b", "pos")],
    ],
    ids=["required-after-default", "posonly-late", "two-stars", "after-starstar", "pos-after-kwonly"],
)
def test_invalid_signatures_are_refused(params):
    with pytest.raises(SystemError, match="bad signature"):
        internal._function_probe("Probe.f", params)


# ---------------------------------------------------------------------------
# Argument binding: the same signature as `def` and as our type, the same
# calls, the same outcome and message.

SIGNATURES = {
    "self_item": "self, item",
    "defaults": "self, a, b=1, c=None",
    "kwonly": "self, a, *, k, m=2",
    "star": "self, a, *rest",
    "starstar": "self, a=0, **kw",
    "all": "self, a, b=1, *rest, k, m=2, **kw",
    "posonly": "a, b, /, c",
    "posonly_kw": "a, /, **kw",
    "none": "",
    "three": "self, x, y, z",
}

CALLS = {
    "no-args": ((), {}),
    "one": ((1,), {}),
    "two": ((1, 2), {}),
    "three": ((1, 2, 3), {}),
    "five": ((1, 2, 3, 4, 5), {}),
    "kw-item": ((1,), {"item": 2}),
    "kw-typo": ((1,), {"itme": 2}),
    "kw-dup": ((1, 2), {"item": 3}),
    "kw-a-dup": ((1, 2), {"a": 3}),
    "kw-k": ((1, 2), {"k": 3}),
    "too-many-with-k": ((1, 2, 3, 4, 5), {"k": 3}),
    "too-many-and-typo": ((1, 2, 3, 4, 5), {"zz": 1}),
    "kw-only-all": ((), {"self": 0, "a": 1, "k": 2}),
    "kw-posonly": ((), {"a": 1, "b": 2, "c": 3}),
    "kw-posonly-one": ((1,), {"a": 1}),
    "kw-x-y": ((0,), {"x": 1, "y": 2}),
    "kw-z": ((0,), {"z": 1}),
    "many-kw": ((), {"self": 0, "a": 1, "b": 2, "m": 3, "q": 4}),
}

KINDS = {
    inspect.Parameter.POSITIONAL_ONLY: "posonly",
    inspect.Parameter.POSITIONAL_OR_KEYWORD: "pos",
    inspect.Parameter.VAR_POSITIONAL: "star",
    inspect.Parameter.KEYWORD_ONLY: "kwonly",
    inspect.Parameter.VAR_KEYWORD: "starstar",
}


def make_pair(sig):
    ns = {}
    probe_def = f"def f({sig}):\n    return locals()\n"
    exec(probe_def, ns)  # noqa: S102 - a test building the reference function
    ref = ns["f"]
    ref.__qualname__ = "Sig.f"
    params = []
    for p in inspect.signature(ref).parameters.values():
        param = (p.name, KINDS[p.kind])
        if p.default is not inspect.Parameter.empty:
            param += (p.default,)
        params.append(param)
    ours = internal._function_probe("Sig.f", params)
    return ref, ours, params


def outcome(f, args, kwargs):
    try:
        return ("ok", f(*args, **kwargs))
    except TypeError as e:
        return ("TypeError", str(e))


def as_locals(result, params):
    named, star, starstar = result
    names = [p[0] for p in params if p[1] not in ("star", "starstar")]
    out = dict(zip(names, named))
    for p in params:
        if p[1] == "star":
            out[p[0]] = star
        elif p[1] == "starstar":
            out[p[0]] = starstar
    return out


@pytest.mark.parametrize("call", list(CALLS), ids=list(CALLS))
@pytest.mark.parametrize("sig", list(SIGNATURES), ids=list(SIGNATURES))
def test_binding_matches_def(sig, call):
    ref, ours, params = make_pair(SIGNATURES[sig])
    args, kwargs = CALLS[call]
    want = outcome(ref, args, kwargs)
    got = outcome(ours, args, kwargs)
    if got[0] == "ok" and want[0] == "ok":
        assert as_locals(got[1], params) == want[1]
    else:
        assert got == want


def test_binding_as_bound_method():
    class Holder:
        ref = make_pair("self, item")[0]
        ours = make_pair("self, item")[1]

    h = Holder()
    for args in ((), (1, 2)):
        want = outcome(h.ref, args, {})
        got = outcome(h.ours, args, {})
        assert got == want


def test_keywords_must_be_strings():
    ref, ours, _ = make_pair("self, **kw")
    assert outcome(ours, (1,), {1: 2}) == outcome(ref, (1,), {1: 2})


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda h: h.append(), "History.append() missing 1 required positional argument: 'item'"),
        (lambda h: History.append(), "History.append() missing 2 required positional arguments: 'self' and 'item'"),
        (lambda h: h.append(1, 2), "History.append() takes 2 positional arguments but 3 were given"),
        (lambda h: h.append(itme=1), "History.append() got an unexpected keyword argument 'itme'"),
        (lambda h: h.append(1, item=1), "History.append() got multiple values for argument 'item'"),
        (lambda h: h.filter(1, 2, 3, 4), "History.filter() takes from 1 to 4 positional arguments but 5 were given"),
    ],
    ids=["missing", "missing-two", "too-many", "unexpected", "multiple", "defaults"],
)
def test_messages_of_the_package_methods(call, message):
    with pytest.raises(TypeError) as e:
        call(History())
    assert str(e.value) == message


def test_messages_use_qualname_for_module_functions():
    with pytest.raises(TypeError, match=r"^listify\(\) missing 1 required positional argument: 'obj'$"):
        listify.listify()
