"""Client of the Dravik data platform: settings, HTTP client and records."""
