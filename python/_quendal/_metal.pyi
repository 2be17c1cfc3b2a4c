"""quendal-py Metal runtime bridge."""

from collections.abc import Buffer

def create_library(source: str = ..., path: str = ...) -> int:
    """Compile a Metal library from complete source."""

def destroy_library(handle: int, /) -> None:
    """Destroy a compiled Metal library."""

def create_render_pipeline(
    library: int,
    vertex: str,
    fragment: str,
    blending: bool = True,
    premultiplied: bool = False,
    format: str = "bgra8",
    depth_format: str | None = None,
    sample_count: int = 1,
    stencil_format: str | None = None,
    color_write: bool = True,
) -> int:
    """Create a Metal render pipeline."""

def destroy_render_pipeline(handle: int, /) -> None:
    """Destroy a Metal render pipeline."""

def create_buffer(length: int) -> int:
    """Create a shared Metal buffer."""

def destroy_buffer(handle: int, /) -> None:
    """Destroy a Metal buffer."""

def write_buffer(handle: int, data: Buffer, offset: int = 0) -> None:
    """Write bytes into a Metal buffer."""

def read_buffer(handle: int, offset: int = 0, length: int = -1) -> bytes:
    """Read bytes from a Metal buffer."""

def create_compute_pipeline(library: int, function: str) -> int:
    """Create a compute pipeline."""

def destroy_compute_pipeline(handle: int, /) -> None:
    """Destroy a compute pipeline."""
