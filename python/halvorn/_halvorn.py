"""Alias of the native module, so that ``halvorn._halvorn`` and the top-level
``_halvorn`` are one and the same module object."""

import sys

import _halvorn

sys.modules[__name__] = _halvorn
