"""Vexlo's Jupyter server extension."""
from typing import Any, Dict, List

from jupyter_server.extension.application import ExtensionApp

ROUTES = {
    "cache_export": "vexlo/cache/export",
    "pipelines": "vexlo/pipelines",
    "cache_info": "vexlo/info/cache",
    "websocket": "vexlo/ws",
}


class VexloExtension(ExtensionApp):
    """Mounts the handlers, and ends running exports when the server stops."""

    name = "vexlo.server"

    def initialize_handlers(self) -> None:
        # Imported here: importing vexlo.server itself must stay cheap.
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
        self.handlers.extend((ROUTES[key], handler) for key, handler in handlers.items())

    async def stop_extension(self) -> None:
        # A writer left running would keep the process alive after the loop
        # has stopped, and its scratch directory would never be removed.
        from .handlers.cache.export_gate import CacheExportGate

        await CacheExportGate.end_all_exports()


def _jupyter_server_extension_points() -> List[Dict[str, Any]]:
    return [{"module": "vexlo.server", "app": VexloExtension}]
