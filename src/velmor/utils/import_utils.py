"""Entry-point discovery for start-up hooks of installed packages."""
from importlib import metadata


def get_entry_points(group):
    """Return the installed entry points of ``group``, each with ``name``,
    ``module`` and ``load()``."""
    eps = metadata.entry_points()
    if hasattr(eps, "select"):
        return list(eps.select(group=group))
    return list(eps.get(group, ()))  # Python < 3.10
