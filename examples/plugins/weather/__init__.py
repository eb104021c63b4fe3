"""Weather plugin: forecasts from several providers, shown in quenx panels."""

from . import units
from .forecast import Forecast
from .providers import default_provider

__all__ = ["Forecast", "default_provider", "units"]
