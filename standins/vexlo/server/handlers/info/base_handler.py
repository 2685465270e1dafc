"""Base of the extension's info endpoints: subclasses supply `_get_info`."""
import json
from http import HTTPStatus
from typing import Any, Dict, Tuple

from jupyter_server.base.handlers import APIHandler
from tornado import web
from tornado.ioloop import IOLoop


class BaseInfoHandler(APIHandler):
    def _get_info(self) -> Tuple[HTTPStatus, Dict[str, Any]]:
        raise NotImplementedError

    @web.authenticated
    async def get(self) -> None:
        # Measuring caches walks every file under them: off the event loop,
        # so the server answers other requests meanwhile.
        status, result = await IOLoop.current().run_in_executor(None, self._get_info)
        body = json.dumps(result).encode()
        self.set_status(int(status))
        self.set_header("Content-Type", "application/json")
        self.finish(body)
