"""Vexlo's Jupyter server extension."""
from typing import Any, Dict, List

ROUTES = {
    "cache_export": "vexlo/cache/export",
    "pipelines": "vexlo/pipelines",
    "cache_info": "vexlo/info/cache",
    "websocket": "vexlo/ws",
}


def _jupyter_server_extension_points() -> List[Dict[str, Any]]:
    return [{"module": "vexlo.server"}]


def _load_jupyter_server_extension(serverapp) -> None:
    # Imported here: the handlers need a running server's packages, and
    # importing vexlo.server itself must stay cheap.
    from jupyter_server.utils import url_path_join

    from .handlers.cache.export_gate import CacheExportGate
    from .handlers.dag_handler import DagCabinetHandler
    from .handlers.info.cache_desk import CacheInfoHandler
    from .handlers.ws_handler import VexloWebSocketHandler

    handlers = {
        "cache_export": CacheExportGate,
        "pipelines": DagCabinetHandler,
        "cache_info": CacheInfoHandler,
        "websocket": VexloWebSocketHandler,
    }
    base_url = serverapp.web_app.settings["base_url"]
    serverapp.web_app.add_handlers(
        ".*$",
        [(url_path_join(base_url, ROUTES[key]), handler) for key, handler in handlers.items()],
    )
