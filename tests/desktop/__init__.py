"""Tests of the tools on a real X server (a package, so that its conftest has its own name)."""
