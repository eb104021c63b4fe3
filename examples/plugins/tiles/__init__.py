"""Map tiles for the weather panel."""

from .render import render_tile
