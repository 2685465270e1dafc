"""The Jupyter server extension app: mounts the handlers, removes what exports
of a dead server left behind, and ends running exports when the server
stops."""
from jupyter_server.extension.application import ExtensionApp

from . import ROUTES


class VexloExtension(ExtensionApp):
    name = "vexlo.server"

    def initialize_handlers(self) -> None:
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
        # Mounted under the server's base_url, as the app's own routes are.
        self.handlers.extend((ROUTES[key], handler) for key, handler in handlers.items())

    def initialize_settings(self) -> None:
        # A server killed while it packed left its scratch directory; without
        # this, each retry of a large export could add gigabytes for good.
        from .handlers.cache.export_gate import CacheExportGate

        CacheExportGate.sweep_abandoned_exports()

    async def stop_extension(self) -> None:
        # A writer left running would keep the process alive after the loop
        # has stopped, and its scratch directory would never be removed.
        from .handlers.cache.export_gate import CacheExportGate

        await CacheExportGate.end_all_exports()
