"""quendal-py Metal runtime bridge."""

from collections.abc import Buffer

def create_buffer(length: int) -> int:
    """Create a shared Metal buffer."""

def destroy_buffer(handle: int, /) -> None:
    """Destroy a Metal buffer."""

def write_buffer(handle: int, data: Buffer, offset: int = 0) -> None:
    """Write bytes into a Metal buffer."""

def read_buffer(handle: int, offset: int = 0, length: int = -1) -> bytes:
    """Read bytes from a Metal buffer."""
