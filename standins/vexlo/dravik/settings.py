"""Platform settings, taken from the environment when the process starts.

The attributes stay writable so a notebook can point at another project or
token at run time; readers look them up at every use.
"""
import os
from typing import Mapping, Optional

_NAMES = ("DRAVIK_API_BASE_PROJECT_URL", "DRAVIK_WEBDAV_URL", "TOKEN", "DRAVIK_SDK_TOKEN")


class Settings:
    DRAVIK_API_BASE_PROJECT_URL: str
    DRAVIK_WEBDAV_URL: str
    TOKEN: str
    DRAVIK_SDK_TOKEN: str

    def __init__(self, environ: Optional[Mapping[str, str]] = None) -> None:
        source = os.environ if environ is None else environ
        for name in _NAMES:
            setattr(self, name, source.get(name, ""))

    def bearer_token(self) -> str:
        """The token to send: TOKEN when set, else DRAVIK_SDK_TOKEN."""
        return self.TOKEN or self.DRAVIK_SDK_TOKEN or ""

    def __repr__(self) -> str:
        # Tokens stay out of reprs, which end up in tracebacks and notebooks.
        shown = ", ".join(
            "{}={!r}".format(name, "***" if "TOKEN" in name and getattr(self, name) else getattr(self, name))
            for name in _NAMES
        )
        return "Settings({})".format(shown)


settings = Settings()
