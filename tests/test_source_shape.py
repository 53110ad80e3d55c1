"""The C++ sources keep one shape: module bodies only register classes and
functions, module-level objects live in each module's state struct, shared
helpers live only in velmor.h, and recursion is guarded by the RAII guard.

These read the sources, so they run only from a source checkout."""

import pathlib
import re

import pytest

EXT = pathlib.Path(__file__).resolve().parent.parent / "src" / "ext"
MODULES = ["history", "internal", "interpreter", "listify", "namespace", "nestmap", "vox"]

pytestmark = pytest.mark.skipif(not EXT.is_dir(), reason="needs the source checkout")


def source(module):
    return (EXT / f"{module}.cpp").read_text(encoding="utf-8")


def code_lines(text):
    """Lines with comments and string literals blanked out, blank lines dropped."""
    text = re.sub(r"/\*.*?\*/", "", text, flags=re.S)
    out = []
    for line in text.splitlines():
        line = re.sub(r'"(\\.|[^"\\])*"', '""', line)
        line = line.split("//", 1)[0].rstrip()
        if line.strip():
            out.append(line)
    return out


def module_body(text):
    start = text.index("NB_MODULE(")
    body = text[text.index("{", start) + 1 :]
    depth, end = 1, 0
    for end, ch in enumerate(body):
        depth += {"{": 1, "}": -1}.get(ch, 0)
        if depth == 0:
            break
    return code_lines(body[:end])


@pytest.mark.parametrize("module", MODULES)
def test_module_body_only_registers(module):
    body = module_body(source(module))
    allowed = re.compile(
        r"\s*(auto\s*&\s*\w+\s*=\s*)?(register_\w+|\w+::create|ModuleState<\w+>::create)\(.*\);$"
    )
    assert len(body) <= 12, body
    assert [line for line in body if not allowed.match(line)] == []


GLOBAL_OBJECT = re.compile(r"^(static\s+)?(inline\s+)?(PyObject|PyTypeObject)\s*\*\s*\w+\s*(=[^;(]*)?[,;]")


@pytest.mark.parametrize("module", MODULES)
def test_no_file_level_object_globals(module):
    assert [line for line in code_lines(source(module)) if GLOBAL_OBJECT.match(line)] == []


@pytest.mark.parametrize("module", MODULES)
def test_shared_helpers_only_in_the_header(module):
    lines = code_lines(source(module))
    redefined = [
        line
        for line in lines
        if re.match(r"^(static\s+)?(inline\s+)?[\w:<>]+\s*\*?\s*(checked|keep)\s*\(", line)
    ]
    assert redefined == []
    # One spelling for interned names (VT_STR), one recursion guard (RAII).
    assert [line for line in lines if "PyUnicode_InternFromString" in line] == []
    assert [line for line in lines if "Py_EnterRecursiveCall" in line] == []
