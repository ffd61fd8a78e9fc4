# The compiled module holds everything; this package re-exports it under the
# names users import (the classes already report their module as `vantorel`)
# and leaves room for pure-Python submodules next to it.
from . import _core
from ._core import *  # noqa: F403

from ._columns import Columns, columns

__doc__ = _core.__doc__
__all__ = [*_core.__all__, "columns", "Columns"]
