"""Temperature and wind units."""

import math
from dataclasses import dataclass


@dataclass(frozen=True)
class Celsius:
    degrees: float

    def to_fahrenheit(self) -> float:
        return self.degrees * 9 / 5 + 32


def beaufort(wind_ms: float) -> int:
    return min(12, round(math.pow(wind_ms / 0.836, 2 / 3)))
