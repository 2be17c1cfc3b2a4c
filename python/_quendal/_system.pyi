"""Native Apple system services."""

from typing import Any

def start(operation: str, payload: str | bytes, /) -> Any:
    """Start a native system request."""

def poll(handle: Any, interval: float, consume: bool = ..., /) -> str:
    """Read a bounded request snapshot."""

def close(handle: Any, /) -> None:
    """Cancel and release a request's native resources."""
