"""Entry-point discovery for start-up hooks of installed packages.

Reads the ``entry_points.txt`` files of the distributions on ``sys.path``
directly: ``importlib.metadata`` costs more to import than starting a whole
Tcl interpreter, and every ``import velmor.tcl`` looks hooks up once.
"""
import os
import sys


class EntryPoint:
    """One entry point: ``name``, ``value`` ("module:attr"), ``group``."""

    __slots__ = ("name", "value", "group")

    def __init__(self, name, value, group):
        self.name = name
        self.value = value
        self.group = group

    @property
    def module(self):
        return self.value.partition(":")[0].strip()

    @property
    def attr(self):
        return self.value.partition(":")[2].partition("[")[0].strip() or None

    def load(self):
        """Import the module and return the object the entry point names."""
        name = self.module
        if name.startswith("."):
            import importlib

            obj = importlib.import_module(name)  # its error for a relative name
        else:
            # What importlib.import_module does for an absolute name, without
            # importing importlib at start-up.
            __import__(name)
            obj = sys.modules[name]
        attr = self.attr
        if attr:
            for part in attr.split("."):
                obj = getattr(obj, part)
        return obj

    def __repr__(self):
        return "EntryPoint(name=%r, value=%r, group=%r)" % (self.name, self.value, self.group)


def _dist_name(folder):
    # "velmor-0.1.0.dist-info" -> "velmor"; normalised as packaging does.
    base = folder.rsplit(".", 1)[0]
    return base.split("-", 1)[0].lower().replace("_", "-").replace(".", "-")


def _parse(text, group):
    found, current = [], None
    for line in text.splitlines():
        line = line.strip()
        if not line or line[0] in "#;":
            continue
        if line[0] == "[" and line[-1] == "]":
            current = line[1:-1].strip()
        elif current == group and "=" in line:
            name, _, value = line.partition("=")
            found.append(EntryPoint(name.strip(), value.strip(), group))
    return found


def get_entry_points(group):
    """Return the installed entry points of ``group``, each with ``name``,
    ``module`` and ``load()``; a distribution found twice on ``sys.path``
    counts once (the first wins, as for imports)."""
    seen, result = set(), []
    for entry in sys.path:
        try:
            names = sorted(os.listdir(entry or "."))
        except OSError:
            continue
        for folder in names:
            if not folder.endswith((".dist-info", ".egg-info")):
                continue
            dist = _dist_name(folder)
            if dist in seen:
                continue
            seen.add(dist)
            path = os.path.join(entry or ".", folder, "entry_points.txt")
            try:
                # Bytes then decode: cheaper than a text-mode file, same text
                # (the parser splits on any line ending).
                with open(path, "rb") as f:
                    text = f.read().decode("utf-8")
            except OSError:
                continue
            if group in text:
                result.extend(_parse(text, group))
    return result


def _metadata_version(folder):
    try:
        with open(os.path.join(folder, "METADATA"), encoding="utf-8") as f:
            for line in f:
                if line.startswith("Version:"):
                    return line.partition(":")[2].strip()
                if not line.strip():
                    break
    except OSError:
        pass
    return None


def package_version():
    """The version of the distribution that holds the imported ``velmor``
    package: its own dist-info (installed, or the development build's),
    without importing ``importlib.metadata``."""
    here = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    try:
        names = sorted(os.listdir(here))
    except OSError:
        names = []
    for folder in names:
        if folder.endswith(".dist-info") and _dist_name(folder) in ("velmor", "velmor-dev"):
            version = _metadata_version(os.path.join(here, folder))
            if version:
                return version
    return "0+unknown"
