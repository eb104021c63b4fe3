from .forecast import Forecast
