"""velmor.tcl.nestmap.NestMap: dotted key paths and the keyed-list Tcl form."""
import collections.abc
from types import MappingProxyType
from tkinter import TclError

import _tkinter
import pytest
from hypothesis import given, settings, strategies as st

import velmor.tcl
from velmor.datastructures import AttrDict
from velmor.tcl.internal import GetListFromAny
from velmor.tcl.listify import listify, tclobj
from velmor.tcl.nestmap import NestMap

IS_VALUE = 'target key "{}" is a value, cannot update value against another keyed list'


def _fallback_cast_list(value):
    try:
        return GetListFromAny(value)
    except TclError as exc:
        raise ValueError(exc) from exc


@pytest.fixture(autouse=True, scope="module")
def package_cast_list():
    """The package-level cast_list that from_tcl uses; a stand-in built on
    GetListFromAny while the package top level does not offer one."""
    if hasattr(velmor.tcl, "cast_list"):
        yield velmor.tcl.cast_list
        return
    mp = pytest.MonkeyPatch()
    mp.setattr(velmor.tcl, "cast_list", _fallback_cast_list, raising=False)
    yield _fallback_cast_list
    mp.undo()


class SubMap(NestMap):
    """A subclass: its storage is reached through super(), not the dict C API."""


@pytest.fixture(params=[NestMap, SubMap], ids=["NestMap", "subclass"])
def cls(request):
    return request.param


# ---------------------------------------------------------------------------
# Class shape


def test_class_shape():
    assert NestMap.__bases__ == (AttrDict, collections.abc.MutableMapping)
    assert NestMap.__module__ == "velmor.tcl.nestmap" and NestMap.__qualname__ == "NestMap"
    assert NestMap.has_key is NestMap.__contains__
    for name in ("get", "pop", "setdefault"):
        assert getattr(NestMap, name) is getattr(collections.abc.MutableMapping, name)
    assert isinstance(NestMap.__dict__["from_tcl"], staticmethod)
    assert NestMap().from_tcl("{a 1}") == {"a": "1"}
    for word in ("keyed list", "AttrDict", "var['key.subkey']", '"."'):
        assert word in NestMap.__doc__
    assert not NestMap.__abstractmethods__


def test_attribute_access_from_attrdict():
    nm = NestMap({"name.first": "Ada", "born": 1815})
    assert nm.name.first == "Ada" and nm.born == 1815
    nm.extra = "x"
    assert nm["extra"] == "x"
    with pytest.raises(AttributeError):
        nm.missing


# ---------------------------------------------------------------------------
# Construction


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        (({"name.first": "a", "name.last": "b"},), {}, {"name": {"first": "a", "last": "b"}}),
        (((("name", (("last", "x"), ("first", "y"))),),), {}, {"name": {"last": "x", "first": "y"}}),
        (({"name": {"last": "x", "first": "y"}},), {}, {"name": {"last": "x", "first": "y"}}),
        ((), {"name": {"first": "y"}}, {"name": {"first": "y"}}),
        (({"k": ""},), {}, {"k": {}}),
        (({"k": "abc"},), {}, {"k": "abc"}),
        (({"k": ["ab", "cd"]},), {}, {"k": {"a": "b", "c": "d"}}),
        (({"k": 1, "n": None, "f": 2.5, "e": [], "t": ()},), {}, {"k": 1, "n": None, "f": 2.5, "e": {}, "t": {}}),
        ((), {}, {}),
    ],
    ids=["dotted-keys", "pair-tuples", "nested-dicts", "keywords", "empty-string", "string",
         "two-char-strings", "plain-and-empty", "nothing"],
)
def test_construction(cls, args, kwargs, expected):
    nm = cls(*args, **kwargs)
    assert type(nm) is cls
    assert nm == expected
    _assert_nested_are_nestmaps(nm, expected)


def _assert_nested_are_nestmaps(nm, expected):
    for key, value in expected.items():
        if isinstance(value, dict):
            assert isinstance(nm[key], NestMap), key
            _assert_nested_are_nestmaps(nm[key], value)
        else:
            assert not isinstance(nm[key], NestMap), key


def test_construction_failures(cls):
    with pytest.raises(ValueError):
        cls("abc")
    with pytest.raises(TypeError):
        cls(5)
    with pytest.raises(KeyError) as info:
        cls({"a": 1, "a.b": 2})
    assert info.value.args == (IS_VALUE.format("a"),)


def test_copy_shares_nested_maps():
    inner = NestMap(x=1)
    outer = NestMap(a=inner)
    copy = NestMap(outer)
    assert copy == outer and copy["a"] is inner


# ---------------------------------------------------------------------------
# Dotted key paths


def test_paths_create_read_and_prune(cls):
    nm = cls()
    nm["a.b.c"] = 1
    assert nm == {"a": {"b": {"c": 1}}}
    assert isinstance(nm["a"], NestMap) and isinstance(nm["a.b"], NestMap)
    assert nm["a.b.c"] == 1
    assert ("a.b" in nm, "a.x" in nm, "x.y" in nm, "a" in nm) == (True, False, False, True)
    nm["a.d"] = 2
    del nm["a.b.c"]
    assert nm == {"a": {"d": 2}}
    del nm["a.d"]
    assert nm == {}


@pytest.mark.parametrize(
    "key, value",
    [("a", NestMap()), ("a", NestMap(x=1)), ("a.b", 1), ("a.b.c", 1)],
    ids=["empty-map-over-value", "map-over-value", "path-through-value", "long-path-through-value"],
)
def test_writing_over_a_plain_value(cls, key, value):
    nm = cls(a=5)
    with pytest.raises(KeyError) as info:
        nm[key] = value
    assert info.value.args == (IS_VALUE.format("a"),)
    assert nm == {"a": 5}


def test_plain_values_replace(cls):
    nm = cls(a=5)
    nm["a"] = 6
    assert nm == {"a": 6}
    nm = cls({"a.b": 1})
    nm["a"] = 5  # a value replaces a whole nested map
    assert nm == {"a": 5}
    nm = cls({"a.b": 1})
    nm["a"] = NestMap(c=2)  # a nested map replaces, it does not merge
    assert nm == {"a": {"c": 2}}


def test_component_error_names_the_level():
    nm = NestMap({"x.y": NestMap(v=1)})
    with pytest.raises(KeyError) as info:
        nm["x.y.v.w"] = 1
    assert info.value.args == (IS_VALUE.format("v"),)
    with pytest.raises(KeyError) as info:
        nm["x.z.q"]
    assert info.value.args == ("z",)
    with pytest.raises(KeyError) as info:
        nm["nope.z"]
    assert info.value.args == ("nope",)


def test_values_decide_the_rest_of_a_path():
    nm = NestMap(s="hello", d=NestMap())
    nm["p"] = {"x.y": 1, "x": 2}  # a plain dict stays a plain value
    assert type(nm["p"]) is dict
    assert nm["p.x.y"] == 1  # the dict looks the whole remainder up
    assert ("s.ell" in nm, nm.has_key("s.ell"), "s.xyz" in nm) == (True, True, False)
    assert "p.x" in nm and "p.x.y" in nm
    with pytest.raises(TypeError):
        nm["s.x"]
    nm["n"] = 5
    with pytest.raises(AttributeError):
        "n.x" in nm


def test_integer_and_tuple_keys():
    nm = NestMap()
    with pytest.raises(TypeError):
        nm[1] = "x"
    with pytest.raises(TypeError):
        nm[1]
    with pytest.raises(TypeError):
        1 in nm
    nm[("a.b",)] = 1  # no "." element in the tuple: a plain key
    assert nm[("a.b",)] == 1


def test_mapping_mixins(cls):
    nm = cls({"a.b": 1, "c": 2})
    assert nm.get("x.y") is None and nm.get("x.y", 0) == 0 and nm.get("a.b") == 1
    assert nm.pop("a.b") == 1 and nm == {"c": 2}
    assert nm.pop("a.b", "gone") == "gone"
    with pytest.raises(KeyError):
        nm.pop("a.b")
    assert nm.setdefault("d.e", 3) == 3 and nm["d.e"] == 3
    assert nm.setdefault("d.e", 4) == 3
    assert nm.setdefault("z") is None and nm["z"] is None


def test_deletion_errors():
    nm = NestMap({"a.b": 1})
    for key in ("x", "a.x", "x.y"):
        with pytest.raises(KeyError):
            del nm[key]
    assert nm == {"a": {"b": 1}}


# ---------------------------------------------------------------------------
# update


def test_update_rules(cls):
    nm = cls({"a.b": 1})
    nm.update(NestMap({"a.c": 2}))  # positional NestMap: leaf by leaf
    assert nm == {"a": {"b": 1, "c": 2}}

    nm = cls({"a.b": 1})
    nm.update({"a": {"c": 2}})  # plain dict replaces, stays plain
    assert nm == {"a": {"c": 2}} and type(nm["a"]) is dict

    nm = cls({"a.b": 1})
    nm.update(a=NestMap({"c": 2}))  # keyword NestMap: deep merge
    assert nm == {"a": {"b": 1, "c": 2}}

    nm = cls()
    nm.update([("x.y", 1)], z=NestMap({"q.r": 2}), w=3)
    assert nm == {"x": {"y": 1}, "z": {"q": {"r": 2}}, "w": 3}

    nm = cls()
    nm.update(MappingProxyType({"x.y": 1, "z": {"q": 2}}))  # any other mapping
    assert nm == {"x": {"y": 1}, "z": {"q": 2}} and type(nm["z"]) is dict

    nm = cls({"a.b": 1})
    nm.update(NestMap(e=NestMap()))  # empty nested maps carry no leaves
    assert nm == {"a": {"b": 1}}


def test_update_failures(cls):
    nm = cls()
    with pytest.raises(TypeError) as info:
        nm.update({"a": 1}, {"b": 2})
    assert str(info.value) == "update() takes at most 1 positional arguments (2 given)"
    assert nm == {}

    nm = cls(a=5)
    with pytest.raises(KeyError) as info:
        nm.update(b=1, a=NestMap(c=1), d=2)
    assert info.value.args == (IS_VALUE.format("a"),)
    assert nm == {"a": 5, "b": 1}  # entries before the failing one stay
    with pytest.raises(KeyError):
        nm.update(NestMap({"a.c": 1}))


# ---------------------------------------------------------------------------
# Flattening


def test_all_keys_and_items(cls):
    nm = cls({"name.first": "a", "name.last": "b"})
    assert nm.all_keys() == ["name.first", "name.last"]
    assert nm.all_items() == [("name.first", "a"), ("name.last", "b")]
    nm = cls({"z": 1, "m.x.y": 2, "m.w": 3, "e": NestMap(), "a": 4})
    assert nm.all_keys() == ["z", "m.x.y", "m.w", "a"]
    assert nm.all_items() == [("z", 1), ("m.x.y", 2), ("m.w", 3), ("a", 4)]
    assert cls().all_keys() == [] and cls().all_items() == []


def test_self_containing_map_raises_recursion_error(deeper_than_recursion_limit):
    nm = NestMap()
    nm["me"] = nm
    for op in (nm.all_keys, nm.all_items, lambda: listify(nm), lambda: tclobj(nm)):
        with pytest.raises(RecursionError):
            op()
    loop = []
    loop.append(("k", loop))
    with pytest.raises(RecursionError):
        NestMap(loop)
    with pytest.raises(RecursionError):
        NestMap()["a." * deeper_than_recursion_limit + "b"] = 1


# ---------------------------------------------------------------------------
# Tcl form


@pytest.mark.parametrize(
    "text, expected",
    [
        ("{a 1} {b 2}", {"a": "1", "b": "2"}),
        ("{name {{first a} {last b}}}", {"name": {"first": "a", "last": "b"}}),
        ("", {}),
        ("  ", {}),
        ("{k {}}", {"k": {}}),
        ("{k {a b}}", {"k": "a b"}),
        ("{k {{a b}}}", {"k": {"a": "b"}}),
        ("{a 1} {a 2}", {"a": "2"}),
        ("{a.b 1}", {"a": {"b": "1"}}),
        ("{a.b 1} {a.c 2}", {"a": {"b": "1", "c": "2"}}),
        ("{{my key} v}", {"my key": "v"}),
        ("{k {{x {{y z}}}}}", {"k": {"x": {"y": "z"}}}),
        ("{k {{a b} c}}", {"k": "{a b} c"}),
        ("{k {{a b} {c}}}", {"k": "{a b} {c}"}),
        ("{k \\{}", {"k": "{"}),
        ("{k {{a b} {c d e}}}", {"k": "{a b} {c d e}"}),
    ],
    ids=["flat", "nested", "empty", "white-space", "empty-nested", "two-words-stay-text",
         "one-pair-nests", "last-wins", "dotted-key", "dotted-keys-merge", "key-with-space",
         "three-levels", "mixed-stays-text", "short-element-stays-text", "malformed-value-stays-text",
         "long-element-stays-text"],
)
def test_from_tcl(text, expected):
    nm = NestMap.from_tcl(text)
    assert type(nm) is NestMap and nm == expected
    _assert_nested_are_nestmaps(nm, expected)


@pytest.mark.parametrize(
    "text, cause",
    [("a b c", None), ("{a b c}", None), ("{a}", None), ("a", None), ("{a 1", TclError),
     ('"a', TclError), ("{a 1} {a.b 2}", KeyError)],
    ids=["plain-words", "three-parts", "one-part", "one-word", "open-brace", "open-quote",
         "clashing-paths"],
)
def test_from_tcl_rejects(text, cause):
    with pytest.raises(ValueError) as info:
        NestMap.from_tcl(text)
    if cause is not None:
        assert isinstance(info.value.__cause__, cause)


def test_from_tcl_looks_cast_list_up_at_call_time(monkeypatch, package_cast_list):
    calls = []

    def spy(value):
        calls.append(value)
        return package_cast_list(value)

    monkeypatch.setattr(velmor.tcl, "cast_list", spy)
    assert NestMap.from_tcl("{a {{b c}}}") == {"a": {"b": "c"}}
    assert calls[0] == "{a {{b c}}}" and "a {{b c}}" in calls and "{b c}" in calls

    def broken(value):
        raise RuntimeError("boom")

    monkeypatch.setattr(velmor.tcl, "cast_list", broken)
    with pytest.raises(RuntimeError, match="boom"):
        NestMap.from_tcl("{a 1}")


def test_other_errors_of_nested_splits_propagate(monkeypatch, package_cast_list):
    def picky(value):
        if value == "{x y}":
            raise LookupError("nested")
        return package_cast_list(value)

    monkeypatch.setattr(velmor.tcl, "cast_list", picky)
    with pytest.raises(LookupError):
        NestMap.from_tcl("{k {{x y}}}")


@pytest.mark.parametrize(
    "nm, value, text",
    [
        (NestMap(), (), ""),
        (NestMap(n=5, f=True), (("n", 5), ("f", True)), "{n 5} {f true}"),
        (NestMap({"name.first": "a", "name.last": "b"}),
         (("name", (("first", "a"), ("last", "b"))),), "{name {{first a} {last b}}}"),
        (NestMap(k=NestMap()), (("k", ()),), "{k {}}"),
        (NestMap({"my key": "v"}), (("my key", "v"),), "{{my key} v}"),
        (NestMap(n=None, f=1.5, big=2**70), (("n", ""), ("f", 1.5), ("big", str(2**70))),
         "{n {}} {f 1.5} {big %d}" % 2**70),
    ],
    ids=["empty", "scalars", "nested", "empty-nested", "key-with-space", "none-float-big-int"],
)
def test_tcl_value_and_text(nm, value, text):
    assert nm.__tclobj__() == value
    assert tclobj(nm) == value
    assert listify(nm) == text


def test_bytes_stay_bytes_in_the_tcl_value():
    assert NestMap(b=b"x").__tclobj__() == (("b", b"x"),)


def test_text_round_trip_keeps_strings():
    nm = NestMap(n=5, f=True, e=NestMap())
    back = NestMap.from_tcl(listify(nm))
    assert back == {"n": "5", "f": "true", "e": {}}


# ---------------------------------------------------------------------------
# TclX


def test_keyed_list_type_name_is_what_tclx_reports(tk):
    from velmor.tcl import nestmap

    tk.eval("keylset kl a 1")
    obj = tk.getvar("kl")
    assert isinstance(obj, _tkinter.Tcl_Obj)
    assert obj.typename == nestmap._KEYED_LIST_TYPE == "keyedList"


def test_keyed_list_tcl_obj_stored_as_value_is_parsed(tk):
    tk.eval("keylset kl a 1 b.c {x y} b.d {}")
    nm = NestMap()
    nm["k"] = tk.getvar("kl")
    assert nm == {"k": {"a": "1", "b": {"c": "x y", "d": {}}}}
    assert isinstance(nm["k.b"], NestMap)
    nm["p.q"] = tk.getvar("kl")
    assert nm["p.q.b.c"] == "x y"
    other = tk.call("dict", "create", "a", "1")  # a Tcl_Obj of another type stays
    nm["d"] = other
    assert nm["d"] is other
    assert NestMap(z=tk.getvar("kl"))["z.a"] == "1"


def test_from_tcl_reads_tclx_output(tk):
    tk.eval("keylset kl name.first a name.last b {my key} {v w} empty {}")
    expected = {"name": {"first": "a", "last": "b"}, "my key": "v w", "empty": {}}
    assert NestMap.from_tcl(tk.getvar("kl")) == expected
    assert NestMap.from_tcl(tk.eval("set kl")) == expected


@pytest.mark.parametrize(
    "nm, reads",
    [
        (NestMap({"name.first": "a", "name.last": "b"}),
         [("keylget kl name.first", "a"), ("keylget kl name.last", "b"), ("keylkeys kl", "name"),
          ("keylkeys kl name", "first last")]),
        (NestMap({"my key": "v", "sp.in side": "two words"}),
         [("keylget kl {my key}", "v"), ("keylget kl {sp.in side}", "two words")]),
        (NestMap({"a": "{", "b": '"q', "c": "x\\y", "d": "[cmd] $v"}),
         [("keylget kl a", "{"), ("keylget kl b", '"q'), ("keylget kl c", "x\\y"),
          ("keylget kl d", "[cmd] $v")]),
        (NestMap({"e": NestMap(), "u": "\u20ac\U0001F600"}),
         [("keylkeys kl e", ""), ("string length [keylget kl u]", "3")]),
    ],
    ids=["nested", "keys-with-spaces", "special-characters", "empty-and-unicode"],
)
def test_tclx_reads_listify_text(tk, nm, reads):
    tk.setvar("kl", listify(nm))
    for script, expected in reads:
        assert tk.eval(script) == expected, script
    # And what TclX writes back reads as the same map.
    tk.eval("keylset kl zz 1; keyldel kl zz")
    assert NestMap.from_tcl(tk.getvar("kl")) == nm


# ---------------------------------------------------------------------------
# Properties

keys = st.text(alphabet=st.characters(blacklist_categories=("Cs",), blacklist_characters="."), max_size=6)


def _is_keyed_list(text):
    try:
        return all(len(GetListFromAny(e)) == 2 for e in GetListFromAny(text))
    except TclError:
        return False


leaves = st.text(alphabet=st.characters(blacklist_categories=("Cs",)), min_size=1, max_size=8).filter(
    lambda s: not _is_keyed_list(s)
)
maps = st.recursive(
    st.dictionaries(keys, leaves, max_size=4),
    lambda children: st.dictionaries(keys, st.one_of(leaves, children), max_size=4),
    max_leaves=12,
)


def _to_nestmap(d):
    nm = NestMap()
    for key, value in d.items():
        dict.__setitem__(nm, key, _to_nestmap(value) if isinstance(value, dict) else value)
    return nm


@settings(deadline=None)
@given(maps)
def test_round_trip_through_text(d):
    nm = _to_nestmap(d)
    back = NestMap.from_tcl(listify(nm))
    assert back == nm
    assert back.all_items() == nm.all_items()


tcl_text = st.text(
    alphabet=st.one_of(st.sampled_from(list(' {}"\\\t\n.ab')), st.characters()), max_size=40
)


@settings(deadline=None)
@given(tcl_text)
def test_random_text_parses_or_raises_value_error(text):
    try:
        nm = NestMap.from_tcl(text)
    except ValueError:
        return
    assert isinstance(nm, NestMap)


@settings(deadline=None)
@given(st.text(alphabet=st.one_of(st.sampled_from(list('{}"\\ \t\n\x00') + ["\ud800", "\U0001F600", "."]),
                                  st.characters()), max_size=40))
def test_from_tcl_of_hostile_text(text):
    # Either a clean ValueError or a NestMap that reads back the same way.
    try:
        nm = NestMap.from_tcl(text)
    except ValueError:
        return
    assert isinstance(nm, NestMap)
    try:
        again = NestMap.from_tcl(listify(nm))
    except ValueError:
        return
    assert again == nm
