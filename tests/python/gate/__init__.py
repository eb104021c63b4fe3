"""Tests of the scanner-core command (the scanner_gate package)."""
