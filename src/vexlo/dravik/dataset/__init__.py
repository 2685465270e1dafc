"""Datasets of the Dravik platform; the functions live in the native module `methods`."""
