"""Fetches forecasts over HTTP."""

import json
import socket
from urllib.parse import urlencode

import requests.adapters
from quenx.net import retry

import weather.units


class HttpProvider:
    def __init__(self, base_url: str) -> None:
        self.session = requests.Session()
        self.session.mount("https://", requests.adapters.HTTPAdapter(max_retries=3))
        self.base_url = base_url

    @retry(times=3)
    def fetch(self, place: str) -> weather.units.Celsius:
        socket.setdefaulttimeout(5)
        reply = self.session.get(f"{self.base_url}?{urlencode({'q': place})}")
        return weather.units.Celsius(json.loads(reply.text)["celsius"])
