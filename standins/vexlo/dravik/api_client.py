"""HTTP client of the platform's REST API.

Every request carries the bearer token current in the settings at that moment,
has a time-out unless the caller gives one, and raises `requests.HTTPError`
for a 4xx or 5xx answer, so an error page is never taken for a result.
"""
from typing import Any, Optional, Tuple, Union

import requests

from .settings import Settings, settings as _settings

# (connect, read) seconds: a platform that stops answering must not hang the kernel.
DEFAULT_TIMEOUT: Tuple[float, float] = (10.0, 60.0)

Timeout = Union[None, float, Tuple[float, float]]


class ApiClient:
    def __init__(self, settings: Settings, timeout: Timeout = DEFAULT_TIMEOUT) -> None:
        self._settings = settings
        self.timeout = timeout

    def request(self, method: str, url: str, **kwargs: Any) -> requests.Response:
        headers = dict(kwargs.pop("headers", None) or {})
        token = self._settings.bearer_token()
        if token and not any(key.lower() == "authorization" for key in headers):
            headers["Authorization"] = "Bearer " + str(token)
        kwargs.setdefault("timeout", self.timeout)
        # A fresh session per request: callers may use the client from several
        # threads, and a shared session's cookie jar would leak between them.
        with requests.Session() as session:
            response = session.request(method, url, headers=headers, **kwargs)
        response.raise_for_status()
        return response

    def get(self, url: str, params: Optional[Any] = None, **kwargs: Any) -> requests.Response:
        return self.request("GET", url, params=params, **kwargs)

    def post(self, url: str, json: Optional[Any] = None, **kwargs: Any) -> requests.Response:
        return self.request("POST", url, json=json, **kwargs)


api_client = ApiClient(_settings)
