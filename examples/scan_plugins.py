"""Checks the example plugins against the example policy."""

import pathlib
import sys
import tomllib

import scanner_core

HERE = pathlib.Path(__file__).parent
policy = tomllib.loads((HERE / "policy.toml").read_text())
classifier = scanner_core.ImportClassifier(
    set(policy["forbidden"]), set(policy["allowed_exact"]), policy["allowed_prefixes"]
)
for name in ["json", "math", "dataclasses", "requests.adapters", "quenx.api", "yaml", "subprocess"]:
    verdict = "forbidden" if classifier.is_forbidden(name) else "allowed" if classifier.is_allowed(name) else "unlisted"
    print(f"{name:20} {verdict}")
