import datetime
import importlib.metadata

import pytest

from velmor.datastructures import AttrDict
from velmor.utils import utils
from velmor.utils.import_utils import get_entry_points


def test_get_time_is_local_now():
    before = datetime.datetime.now()
    now = utils.get_time()
    assert isinstance(now, datetime.datetime) and now.tzinfo is None
    assert before <= now <= datetime.datetime.now()
    # datetime.datetime.now's own optional time zone
    aware = utils.get_time(datetime.timezone.utc)
    assert aware.tzinfo is datetime.timezone.utc


def test_own_start_up_hook_is_registered():
    (ep,) = [e for e in get_entry_points("velmor.tcl") if e.name == "tcl_init"]
    assert ep.module == "velmor.tcl._startup"
    from velmor.tcl._startup import tcl_init
    assert ep.load() is tcl_init


@pytest.mark.parametrize("group", ["velmor.tcl", "console_scripts", "no.such.group"])
def test_entry_points_agree_with_importlib_metadata(group):
    ours = sorted((e.name, e.value) for e in get_entry_points(group))
    theirs = sorted((e.name, e.value) for e in importlib.metadata.entry_points().select(group=group))
    assert ours == theirs


def test_attr_dict():
    d = AttrDict(a=1)
    assert d.a == 1 and isinstance(d, dict)
    d.b = 2
    assert d["b"] == 2
    del d.a
    assert d == {"b": 2}
    with pytest.raises(AttributeError):
        d.missing
    with pytest.raises(AttributeError):
        del d.missing
