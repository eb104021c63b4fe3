import json
import math
from dataclasses import dataclass

import requests.adapters
from quenx.api import Plugin
import yaml
import subprocess

from weather import units


@dataclass
class Forecast(Plugin):
    celsius: float
