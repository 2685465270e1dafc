"""Status enumerations of pipeline components. Members compare equal to their text."""
from enum import Enum


class VexloComponentStatus(str, Enum):
    INVALID = "invalid"
    RUNNING = "running"
    SUCCESSFUL = "successful"
    FAILED = "failed"


class VexloDiskcacheStatus(str, Enum):
    UNCACHED = "uncached"
    CACHED = "cached"
