// A bitmap drawing context on caller memory: 8 bits per component, alpha
// premultiplied and stored first in 32-bit little-endian words, so each pixel's
// bytes are B, G, R, A (Cairo's ARGB32). Row 0 in memory is the top row.
// One thread at a time; no display needed.
#pragma once

#include <cstddef>
#include <cstdint>

typedef struct _cairo_surface cairo_surface_t;

namespace quendal::image {

class Image;

class BitmapContext {
public:
    // bytesPerRow must be a multiple of 4 and at least width x 4; the memory
    // must stay valid for the context's life.
    BitmapContext(void* data, uint32_t width, uint32_t height, size_t bytesPerRow);
    ~BitmapContext();
    BitmapContext(const BitmapContext&) = delete;
    BitmapContext& operator=(const BitmapContext&) = delete;

    bool valid() const { return surface_ != nullptr; }
    // Draws image over the context's pixels, scaled into the rectangle (x, y
    // from the top left). The memory holds the result when this returns.
    void drawImage(const Image& image, double x, double y, double width, double height);
    // Replaces every pixel with image's, premultiplied: what drawImage at the
    // context's own size gives over transparent pixels, without an intermediate
    // surface and a composite. False (nothing written) when the sizes differ.
    bool copyImage(const Image& image);
    // The Cairo surface over the memory, for the text facade's graphics context.
    cairo_surface_t* surface() const { return surface_; }

private:
    cairo_surface_t* surface_ = nullptr;
};

}  // namespace quendal::image
