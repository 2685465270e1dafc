"""Base of the extension's info endpoints: subclasses supply `_get_info`."""
import json
from http import HTTPStatus
from typing import Any, Dict, Tuple

from jupyter_server.base.handlers import APIHandler
from tornado import web


class BaseInfoHandler(APIHandler):
    def _get_info(self) -> Tuple[HTTPStatus, Dict[str, Any]]:
        raise NotImplementedError

    @web.authenticated
    def get(self) -> None:
        status, result = self._get_info()
        body = json.dumps(result).encode()
        self.set_status(int(status))
        self.set_header("Content-Type", "application/json")
        self.finish(body)
