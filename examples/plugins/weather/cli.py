"""Command-line helper the plugin author left in: it shells out."""

import argparse
import subprocess
from os import path


def open_radar_image(image: str) -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--viewer", default="xdg-open")
    args = parser.parse_args()
    if path.exists(image):
        subprocess.run([args.viewer, image], check=False)
