"""quendal-py Metal runtime bridge."""

from collections.abc import Buffer
from typing import TypedDict

def create_buffer(length: int) -> int:
    """Create a shared Metal buffer."""

def destroy_buffer(handle: int, /) -> None:
    """Destroy a Metal buffer."""

def write_buffer(handle: int, data: Buffer, offset: int = 0) -> None:
    """Write bytes into a Metal buffer."""

def read_buffer(handle: int, offset: int = 0, length: int = -1) -> bytes:
    """Read bytes from a Metal buffer."""

class TextureResult(TypedDict):
    handle: int
    size: tuple[int, int]

def create_render_texture(width: int, height: int, format: str = "bgra8") -> TextureResult:
    """Allocate a renderable Metal texture."""

def create_image_texture(path: str) -> TextureResult:
    """Load an image file into a Metal texture."""

def destroy_texture(handle: int, /) -> None:
    """Destroy a Metal texture."""
