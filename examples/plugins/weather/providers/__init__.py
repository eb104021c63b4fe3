"""Forecast providers."""

from .cache import CachedProvider
from .http import HttpProvider


def default_provider() -> CachedProvider:
    return CachedProvider(HttpProvider("https://forecast.invalid/api").fetch)
