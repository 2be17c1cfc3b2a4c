"""quendal-py Metal runtime bridge."""

from collections.abc import Buffer
from typing import Literal, TypedDict, type_check_only

# Result shapes only: the module returns plain dicts.
@type_check_only
class WindowMetrics(TypedDict):
    revision: int
    size: tuple[float, float]
    pixel_size: tuple[float, float]
    scale: float
    safe_area: tuple[float, float, float, float]

@type_check_only
class Actions(TypedDict):
    action: int
    close: int

@type_check_only
class Touch(TypedDict):
    phase: int
    id: int
    x: float
    y: float
    prev_x: float
    prev_y: float
    timestamp: float

def create_window(
    title: str = "Metal", orientation: Literal["auto", "portrait", "landscape"] = "auto"
) -> int:
    """Create a Metal-backed presentation window."""

def close_window(handle: int, /) -> None:
    """Close a Metal presentation window."""

def window_metrics(handle: int, /) -> WindowMetrics:
    """Return logical and pixel metrics for a window."""

def window_metrics_if_changed(handle: int, revision: int, /) -> WindowMetrics | None:
    """Return updated window metrics when layout revision changed."""

def consume_actions(handle: int, /) -> Actions:
    """Consume action button presses for a window."""

def consume_touches(handle: int, /) -> list[Touch]:
    """Consume touch events for a window."""

def set_title(handle: int, title: str) -> None:
    """Set the presentation window title."""

def set_action_label(handle: int, label: str | None) -> None:
    """Set or hide the auxiliary action button label."""

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

@type_check_only
class TextureResult(TypedDict):
    handle: int
    size: tuple[int, int]

@type_check_only
class GlyphAtlasResult(TypedDict):
    handle: int
    size: tuple[int, int]
    # code point -> (x, y, width, height, width, 0.0, 0.0) in pixels from the top left
    glyphs: dict[int, tuple[float, float, float, float, float, float, float]]

def create_text_texture(text: str, font_size: float, font_name: str | None = None) -> TextureResult:
    """Rasterize text into a Metal texture."""

def create_glyph_atlas(
    font_name: str | None,
    font_size: float,
    chars: str,
    padding: float = -1.0,
    sdf: bool = False,
    sdf_spread: float = 8.0,
) -> GlyphAtlasResult:
    """Build a glyph atlas texture for a font."""

def create_render_texture(width: int, height: int, format: str = "bgra8") -> TextureResult:
    """Allocate a renderable Metal texture."""

def create_image_texture(path: str) -> TextureResult:
    """Load an image file into a Metal texture."""

def destroy_texture(handle: int, /) -> None:
    """Destroy a Metal texture."""

def begin_frame(
    window: int,
    clear_color: object = None,
    target_texture: int = 0,
    depth: bool = False,
    sample_count: int = 1,
    stencil: bool = False,
) -> None:
    """Begin encoding a frame for a window."""

def set_pipeline(window: int, pipeline: int) -> None:
    """Bind a render pipeline for the active frame."""

def set_vertex_buffer(window: int, buffer: int, index: int, offset: int = 0) -> None:
    """Bind a vertex buffer for the active frame."""

def set_fragment_buffer(window: int, buffer: int, index: int, offset: int = 0) -> None:
    """Bind a fragment buffer for the active frame."""

def set_fragment_texture(window: int, texture: int, index: int) -> None:
    """Bind a fragment texture for the active frame."""

def draw(window: int, primitive: str, vertex_start: int, vertex_count: int) -> None:
    """Issue a draw call for the active frame."""

def draw_indexed(
    window: int, primitive: str, index_buffer: int, index_count: int, index_type: str = "uint16", offset: int = 0
) -> None:
    """Issue an indexed draw call."""

def draw_instanced(window: int, primitive: str, vertex_start: int, vertex_count: int, instance_count: int) -> None:
    """Issue an instanced draw call."""

def draw_indexed_instanced(
    window: int,
    primitive: str,
    index_buffer: int,
    index_count: int,
    index_type: str = "uint16",
    offset: int = 0,
    instance_count: int = 1,
) -> None:
    """Issue an indexed instanced draw call."""

def draw_indirect(window: int, primitive: str, indirect_buffer: int, offset: int = 0) -> None:
    """Issue an indirect draw call."""

def draw_indexed_indirect(
    window: int, primitive: str, index_buffer: int, index_type: str, indirect_buffer: int, indirect_offset: int = 0
) -> None:
    """Issue an indexed indirect draw call."""

def set_depth_stencil(
    window: int,
    compare: str = "always",
    write_enabled: bool = False,
    stencil_compare: str = "always",
    stencil_pass: str = "keep",
    stencil_fail: str = "keep",
    stencil_ref: int = 0,
    stencil_back_pass: str | None = None,
) -> None:
    """Set depth/stencil state."""

def end_frame(window: int, /) -> None:
    """End encoding and present the active frame."""

def begin_blit(window: int, /) -> None:
    """Begin a blit pass."""

def copy_texture_to_buffer(window: int, texture: int, buffer: int, bytes_per_row: int = 0) -> None:
    """Copy texture to buffer."""

def generate_mipmaps(window: int, texture: int) -> None:
    """Generate mipmaps for a texture."""

def end_blit(window: int, /) -> None:
    """End blit pass and wait."""

def set_target_fps(handle: int, fps: int, /) -> int:
    """Set display link frame rate."""

def acquire_frame_slot(handle: int, /) -> None:
    """Wait for an available onscreen frame slot."""

def release_frame_slot(handle: int, /) -> None:
    """Release a previously acquired onscreen frame slot."""

def vsync(handle: int, /) -> None:
    """Wait for next display refresh."""

def create_compute_pipeline(library: int, function: str) -> int:
    """Create a compute pipeline."""

def destroy_compute_pipeline(handle: int, /) -> None:
    """Destroy a compute pipeline."""

def begin_compute(window: int, /) -> None:
    """Begin a compute pass."""

def set_compute_pipeline(window: int, pipeline: int) -> None:
    """Set compute pipeline."""

def set_compute_buffer(window: int, buffer: int, index: int, offset: int = 0) -> None:
    """Set compute buffer."""

def set_compute_texture(window: int, texture: int, index: int) -> None:
    """Set compute texture."""

def dispatch_compute(
    window: int, grid_x: int = 1, grid_y: int = 1, grid_z: int = 1, tg_x: int = 1, tg_y: int = 1, tg_z: int = 1
) -> None:
    """Dispatch compute threads."""

def end_compute(window: int, /) -> None:
    """End compute pass and wait."""

def resource_counts() -> dict[str, int]:
    """Return internal Metal resource counts for diagnostics."""
