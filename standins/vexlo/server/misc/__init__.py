"""Helpers shared by the server's handlers."""
# The system's modules may lie in another directory (a source checkout).
__path__ = __import__("pkgutil").extend_path(__path__, __name__)
import os


def get_dir_size(path: str) -> int:
    """Bytes held by the regular files under `path` (links are not followed).

    A missing path is an error rather than zero, so a caller never mistakes a
    vanished cache for an empty one.
    """
    top = os.lstat(path)
    if not os.path.isdir(path) or os.path.islink(path):
        return top.st_size
    total = 0
    stack = [path]
    while stack:
        with os.scandir(stack.pop()) as entries:
            for entry in entries:
                if entry.is_dir(follow_symlinks=False):
                    stack.append(entry.path)
                elif entry.is_file(follow_symlinks=False):
                    total += entry.stat(follow_symlinks=False).st_size
    return total


def __getattr__(name: str):
    # The archive writer is re-exported lazily, so that importing a sibling
    # (the DAG change models) does not load the writer as well.
    if name == "CacheCompressThread":
        from .cache_packer import CacheCompressThread

        return CacheCompressThread
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
