#include "platform/image/bitmap_context.hpp"

#include <cairo.h>
#include <gdk-pixbuf/gdk-pixbuf.h>

#include "platform/image/image_source.hpp"

namespace quendal::image {

namespace {

// Pixbufs hold straight-alpha R, G, B(, A) bytes; Cairo wants premultiplied
// native-endian ARGB words.
void convertRows(const GdkPixbuf* pixbuf, unsigned char* out, int outStride)
{
    const int width = gdk_pixbuf_get_width(pixbuf);
    const int height = gdk_pixbuf_get_height(pixbuf);
    const int channels = gdk_pixbuf_get_n_channels(pixbuf);
    const int stride = gdk_pixbuf_get_rowstride(pixbuf);
    const guchar* in = gdk_pixbuf_read_pixels(pixbuf);
    for (int y = 0; y < height; ++y) {
        const guchar* src = in + static_cast<size_t>(y) * stride;
        auto* dst = reinterpret_cast<uint32_t*>(out + static_cast<size_t>(y) * outStride);
        if (channels == 4) {
            for (int x = 0; x < width; ++x, src += 4) {
                const uint32_t a = src[3];
                if (a == 255) {
                    dst[x] = 0xFF000000u | (uint32_t{src[0]} << 16) | (uint32_t{src[1]} << 8) | src[2];
                    continue;
                }
                // c x a / 255 rounded, without a division, as t = c x a + 0x80,
                // ((t >> 8) + t) >> 8: for the three channels at once, one per
                // 16-bit lane (t stays below 2^16, so no lane carries into the next).
                uint64_t t = ((uint64_t{src[0]} << 32) | (uint64_t{src[1]} << 16) | src[2]) * a +
                             0x0000008000800080ull;
                t = ((((t >> 8) & 0x000000FF00FF00FFull) + t) >> 8) & 0x000000FF00FF00FFull;
                dst[x] = (a << 24) | static_cast<uint32_t>(t >> 16 & 0xFF0000) | static_cast<uint32_t>(t >> 8 & 0xFF00) |
                         static_cast<uint32_t>(t & 0xFF);
            }
        } else {
            for (int x = 0; x < width; ++x, src += channels) {
                dst[x] = 0xFF000000u | (uint32_t{src[0]} << 16) | (uint32_t{src[1]} << 8) | src[2];
            }
        }
    }
}

}  // namespace

BitmapContext::BitmapContext(void* data, uint32_t width, uint32_t height, size_t bytesPerRow)
{
    if (width == 0 || height == 0 || width > INT32_MAX / 4 || height > INT32_MAX || bytesPerRow % 4 != 0 ||
        bytesPerRow < size_t{width} * 4 || bytesPerRow > INT32_MAX) {
        return;
    }
    cairo_surface_t* surface = cairo_image_surface_create_for_data(
        static_cast<unsigned char*>(data), CAIRO_FORMAT_ARGB32, static_cast<int>(width), static_cast<int>(height),
        static_cast<int>(bytesPerRow));
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return;
    }
    surface_ = surface;
}

bool BitmapContext::copyImage(const Image& image)
{
    if (!surface_ || static_cast<int>(image.width()) != cairo_image_surface_get_width(surface_) ||
        static_cast<int>(image.height()) != cairo_image_surface_get_height(surface_)) {
        return false;
    }
    cairo_surface_flush(surface_);
    convertRows(image.pixbuf(), cairo_image_surface_get_data(surface_), cairo_image_surface_get_stride(surface_));
    cairo_surface_mark_dirty(surface_);
    return true;
}

BitmapContext::~BitmapContext()
{
    if (surface_) cairo_surface_destroy(surface_);
}

void BitmapContext::drawImage(const Image& image, double x, double y, double width, double height)
{
    if (!surface_ || width <= 0 || height <= 0) return;
    const int w = static_cast<int>(image.width());
    const int h = static_cast<int>(image.height());
    cairo_surface_t* source = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    if (cairo_surface_status(source) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(source);
        return;
    }
    cairo_surface_flush(source);
    convertRows(image.pixbuf(), cairo_image_surface_get_data(source), cairo_image_surface_get_stride(source));
    cairo_surface_mark_dirty(source);

    cairo_t* cr = cairo_create(surface_);
    cairo_rectangle(cr, x, y, width, height);
    cairo_clip(cr);
    cairo_translate(cr, x, y);
    cairo_scale(cr, width / w, height / h);
    cairo_set_source_surface(cr, source, 0, 0);
    // Scaled draws sample the image's own edge pixels, not transparency beyond them.
    cairo_pattern_set_extend(cairo_get_source(cr), CAIRO_EXTEND_PAD);
    cairo_paint(cr);
    cairo_destroy(cr);
    cairo_surface_destroy(source);
    cairo_surface_flush(surface_);
}

}  // namespace quendal::image
