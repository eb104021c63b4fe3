"""One forecast, as the panel shows it."""

import json
from dataclasses import dataclass, field
from datetime import datetime

import yaml
from quenx.api import Plugin

from weather.units import Celsius


@dataclass
class Forecast(Plugin):
    place: str
    at: datetime
    temperature: Celsius
    notes: list[str] = field(default_factory=list)

    def to_json(self) -> str:
        return json.dumps({"place": self.place, "at": self.at.isoformat(), "celsius": self.temperature.degrees})

    def to_yaml(self) -> str:
        return yaml.safe_dump({"place": self.place, "notes": self.notes})
