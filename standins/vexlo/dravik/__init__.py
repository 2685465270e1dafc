"""Client of the Dravik data platform: settings, HTTP client and records."""
# The system's modules may lie in another directory (a source checkout).
__path__ = __import__("pkgutil").extend_path(__path__, __name__)
