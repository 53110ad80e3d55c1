import datetime
import logging
import re
from collections import deque

import pytest

from velmor.tcl import history as H
from velmor.tcl.history import Entry, History

FIXED = datetime.datetime(2024, 3, 5, 7, 8, 9, 12)


@pytest.fixture
def fixed_time(monkeypatch):
    monkeypatch.setattr(H, "get_time", lambda: FIXED)


def apis(entries):
    return [e.api for e in entries]


def test_module_and_class_shape():
    names = [n for n in vars(H) if not n.startswith("__")]
    assert names == ["re", "logging", "deque", "get_time", "log", "Entry", "History"]
    assert H.re is re and H.logging is logging and H.deque is deque
    assert H.log is logging.getLogger("velmor.tcl")
    from velmor.utils.utils import get_time
    assert H.get_time is get_time
    assert History.__MAX_HISTORY__ == 9999
    docs = {
        "__init__": "Built-in __init__", "enable": "Enable history logging",
        "disable": "Disable history logging", "append": "Appends a historical item",
        "clear": "Clears history", "start_marker": "Activates a new marker",
        "end_marker": "Deactivate a new marker", "filter": "Return History",
        "__str__": "Buil-in __str__", "__repr__": "Buil-in __repr__",
    }
    methods = [n for n in vars(History) if n in docs]
    assert methods == list(docs)
    for name, first in docs.items():
        assert getattr(History, name).__doc__.splitlines()[0] == first
    assert Entry.__doc__.startswith("A Tcl historical entry")
    assert History.__mro__ == (History, object) and Entry.__mro__ == (Entry, object)


def test_new_history_state(caplog):
    with caplog.at_level(logging.DEBUG, logger="velmor.tcl"):
        h = History()
    assert h.enabled is True
    assert isinstance(h.__history__, deque) and h.__history__.maxlen == 9999
    assert h.__markers__ == {} and h.__activeMarkers__ == []
    assert caplog.messages == ["TclHistory is enabled."]
    assert History(max_history=3).__history__.maxlen == 3


@pytest.mark.parametrize("api, text", [
    (["puts", "hello world"], "puts {hello world}"),
    ("puts  hello world", "puts  hello world"),
    (("a", "", "b c d"), "a  {b c d}"),
    (iter(["x", "y"]), "x y"),
], ids=["words", "str unchanged", "tuple", "iterator"])
def test_entry_api_text(fixed_time, api, text):
    e = Entry(api)
    assert e.api == text
    assert e.timestamp is FIXED
    assert str(e) == "2024-03-05T07:08:09.000012: " + text
    assert repr(e) == "<Entry '%s' at %s>" % (str(e), hex(id(e)))


def test_get_time_is_looked_up_for_every_entry(monkeypatch):
    stamps = iter([FIXED, FIXED.replace(year=2030)])
    monkeypatch.setattr(H, "get_time", lambda: next(stamps))
    h = History()
    h.append("one")
    h.append("two")
    assert [str(e) for e in h.filter()] == ["2024-03-05T07:08:09.000012: one",
                                            "2030-03-05T07:08:09.000012: two"]


@pytest.mark.parametrize("where", ["entry", "append"])
def test_stock_get_time_reads_its_time_source_for_every_entry(monkeypatch, where):
    # The stock get_time's body runs without its frame: it must still call
    # the time source it would call, as it would call it.
    from velmor.utils import utils

    seen = []
    monkeypatch.setattr(utils, "_now", lambda tz: seen.append(tz) or FIXED)
    if where == "entry":
        stamp = Entry("x").timestamp
    else:
        h = History()
        h.append("x")
        stamp = h.filter()[0].timestamp
    assert stamp is FIXED and seen == [None]
    assert utils.get_time() is FIXED


def test_capacity_drops_oldest():
    h = History()
    for i in range(10000):
        h.append(str(i))
    assert len(h.__history__) == 9999
    assert h.__history__[0].api == "1" and h.__history__[-1].api == "9999"
    small = History(max_history=2)
    for item in "abc":
        small.append(item)
    assert apis(small.__history__) == ["b", "c"]


def test_disabled_records_nothing_but_logs(caplog):
    h = History()
    h.disable()
    assert h.enabled is False
    with caplog.at_level(logging.DEBUG, logger="velmor.tcl"):
        h.append("set x 1")
        h.append(("set", "x"))
    assert len(h.__history__) == 0
    assert caplog.messages == ["% set x 1", "% ('set', 'x')"]
    h.enable()
    h.append("y")
    assert apis(h.filter()) == ["y"]


def test_non_str_words_raise_after_logging(caplog):
    h = History()
    with caplog.at_level(logging.DEBUG, logger="velmor.tcl"):
        with pytest.raises(TypeError):
            h.append(["set", 1])
    assert caplog.messages == ["% ['set', 1]"]
    assert len(h.__history__) == 0


def test_markers():
    h = History()
    h.append("before")
    h.start_marker("m")
    h.append("a")
    h.append("b")
    h.end_marker("m")
    h.append("after")
    assert apis(h.filter(marker="m")) == ["a", "b"]
    assert h.filter(marker="m")[0] is h.__history__[1]  # shared, not copied
    h.start_marker("m")  # restart keeps entries
    h.start_marker("m")  # listed twice: receives twice
    h.append("c")
    assert apis(h.filter(marker="m")) == ["a", "b", "c", "c"]
    assert h.__activeMarkers__ == ["m", "m"]
    h.end_marker("m")
    assert h.__activeMarkers__ == ["m"]
    with pytest.raises(ValueError):
        h.end_marker("other")
    small = History(max_history=2)
    small.start_marker("s")
    for item in "xyz":
        small.append(item)
    assert small.__markers__["s"].maxlen == 2 and apis(small.filter(marker="s")) == ["y", "z"]


def test_filter_count_and_regex():
    h = History()
    for item in ["set a 1", "puts x", "set b 2", "puts y", "puts z"]:
        h.append(item)
    assert apis(h.filter(count=1)) == ["puts z"]
    assert len(h.filter(count=0)) == 5
    assert apis(h.filter(regex=r"^set")) == ["set a 1", "set b 2"]
    # the limit is applied before the regular expression
    assert apis(h.filter(count=3, regex="set")) == ["set b 2"]
    assert apis(h.filter(regex="")) == apis(h.filter())  # empty regex: no filtering
    with pytest.raises(re.error):
        h.filter(regex="(")


def test_filter_unknown_marker():
    h = History()
    with pytest.raises(Exception, match="^No such marker: nope$") as info:
        h.filter(marker="nope")
    assert type(info.value) is Exception
    assert isinstance(info.value.__context__, KeyError)
    with pytest.raises(Exception, match=r"No such marker: \(1, 2\)"):
        h.filter(marker=(1, 2))


def test_clear():
    h = History()
    h.start_marker("m")
    h.append("a")
    h.clear()
    assert len(h.__history__) == 0 and apis(h.filter(marker="m")) == ["a"]
    h.append("b")
    h.clear(marker="m")
    assert apis(h.filter()) == ["b"] and h.filter(marker="m") == []
    h.append("c")
    h.clear(clear_all=True)
    assert h.filter() == [] and h.filter(marker="m") == []
    assert h.__activeMarkers__ == ["m"]
    with pytest.raises(KeyError):
        h.clear(marker="never")


def test_text_forms(fixed_time):
    h = History(max_history=5)
    h.append("x")
    assert str(h) == str(h.__history__) and repr(h) == repr(h.__history__)
    assert "2024-03-05T07:08:09.000012: x" in str(h) and "maxlen=5" in repr(h)


def test_replaced_entry_class_is_used(monkeypatch):
    class Mine(Entry):
        pass

    monkeypatch.setattr(H, "Entry", Mine)
    h = History()
    h.append("z")
    assert type(h.__history__[0]) is Mine


def test_is_a_native_extension_module():
    import importlib.machinery
    assert H.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))


class _LongWay(History):
    """Its own attribute lookup: append reads every field the general way."""

    def __getattribute__(self, name):
        return super().__getattribute__(name)


def items():
    return ["set x 1", ["set", "x", "1"], ("puts", "a b"), [], "", ["a b", "c", "{d}"], iter("ij")]


@pytest.mark.parametrize("markers", [[], ["m"], ["m", "n"]])
@pytest.mark.parametrize("enabled", [True, False])
def test_append_fast_and_general_agree(fixed_time, markers, enabled):
    records = []
    for cls in (History, _LongWay):
        h = cls(max_history=3)
        for m in markers:
            h.start_marker(m)
        if not enabled:
            h.disable()
        for item in items():
            h.append(item)
        records.append([[str(e) for e in h.filter(marker=m, count=0)] for m in [None, *markers]])
    assert records[0] == records[1]
