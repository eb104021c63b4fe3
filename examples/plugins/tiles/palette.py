"""Colours of the tiles, from cold to warm."""

PALETTE = ["#2c7bb6", "#abd9e9", "#ffffbf", "#fdae61", "#d7191c"]
