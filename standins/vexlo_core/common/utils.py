"""Where the core library keeps its working files."""
import os
import tempfile
from pathlib import Path

# Pipelines keep their caches under APP_TEMP_DIRECTORY / "pipelines".
APP_TEMP_DIRECTORY = Path(
    os.environ.get("VEXLO_TEMP_DIRECTORY") or Path(tempfile.gettempdir()) / "vexlo"
)
