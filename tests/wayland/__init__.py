"""Tests on a headless Wayland compositor (sway)."""
