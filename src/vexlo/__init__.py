"""Vexlo: notebook cells as pipeline components, with an on-disk cache per kernel."""
