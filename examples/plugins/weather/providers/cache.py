"""Keeps recent forecasts for a while."""

import collections.abc
import sqlite3
from collections import OrderedDict

from ..units import Celsius


class CachedProvider:
    def __init__(self, fetch: collections.abc.Callable[[str], Celsius], size: int = 64) -> None:
        self.fetch = fetch
        self.recent: OrderedDict[str, Celsius] = OrderedDict()
        self.store = sqlite3.connect(":memory:")
        self.size = size
