"""Vexlo's Jupyter server extension."""
# The system's modules may lie in another directory (a source checkout).
__path__ = __import__("pkgutil").extend_path(__path__, __name__)
from typing import Any, Dict, List

ROUTES = {
    "cache_export": "vexlo/cache/export",
    "pipelines": "vexlo/pipelines",
    "cache_info": "vexlo/info/cache",
    "websocket": "vexlo/ws",
}


def _jupyter_server_extension_points() -> List[Dict[str, Any]]:
    # Imported here: the app needs a running server's packages, and importing
    # vexlo.server itself (as the DAG change models do) must stay cheap.
    from .extension import VexloExtension

    return [{"module": "vexlo.server", "app": VexloExtension}]
