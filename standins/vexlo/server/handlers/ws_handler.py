"""The extension's websocket: one connection per browser view of a kernel."""
from typing import List

from jupyter_server.base.handlers import JupyterHandler
from jupyter_server.base.websocket import WebSocketMixin
from tornado import web
from tornado.websocket import WebSocketHandler


class VexloWebSocketHandler(WebSocketMixin, WebSocketHandler, JupyterHandler):
    """A connection joins `registry` under its ?kernel_id= while it is open."""

    registry: List["VexloWebSocketHandler"] = []

    kernel_id: str = ""

    async def get(self, *args, **kwargs):
        # Websocket upgrades bypass @web.authenticated's redirect; refuse plainly.
        if not self.current_user:
            raise web.HTTPError(403)
        self.kernel_id = self.get_query_argument("kernel_id", "")
        if not self.kernel_id:
            raise web.HTTPError(400, "kernel_id is required in the parameters of the query.")
        return await super().get(*args, **kwargs)

    def open(self, *args, **kwargs) -> None:
        VexloWebSocketHandler.registry.append(self)

    def on_message(self, message) -> None:
        # Clients only listen; anything they send is ignored.
        pass

    def on_close(self) -> None:
        try:
            VexloWebSocketHandler.registry.remove(self)
        except ValueError:
            pass
