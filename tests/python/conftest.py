"""Makes a development build importable when the package is not installed.

Installed (``pip install .``), both ``_halvorn`` and ``halvorn`` import as
they are and nothing here touches ``sys.path``.  In a checkout, set
``PYTHONPATH=<build>/python:<repo>/python`` or ``HALVORN_BUILD_DIR=<build>``;
failing both, the most recently built ``<repo>/build*/python`` is used.
"""

import importlib.util
import os
import sys
from pathlib import Path

_REPO = Path(__file__).resolve().parents[2]


def _built_module_dirs():
    named = os.environ.get("HALVORN_BUILD_DIR")
    if named:
        return [Path(named) / "python"]
    found = []
    for directory in _REPO.glob("build*/python"):
        modules = list(directory.glob("_halvorn*.so"))
        if modules:
            found.append((max(m.stat().st_mtime for m in modules), directory))
    return [directory for _, directory in sorted(found, reverse=True)]


def _add_development_paths():
    if importlib.util.find_spec("_halvorn") is None:
        for directory in _built_module_dirs():
            if any(directory.glob("_halvorn*.so")):
                sys.path.insert(0, str(directory))
                break
    if importlib.util.find_spec("halvorn") is None:
        sys.path.insert(0, str(_REPO / "python"))


_add_development_paths()
