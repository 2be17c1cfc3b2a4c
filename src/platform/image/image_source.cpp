#include "platform/image/image_source.hpp"

#include <algorithm>

#include <gdk-pixbuf/gdk-pixbuf.h>

namespace quendal::image {

Image::Image(GdkPixbuf* pixbuf) : pixbuf_(pixbuf) {}

Image::~Image()
{
    g_object_unref(pixbuf_);
}

uint32_t Image::width() const
{
    return static_cast<uint32_t>(gdk_pixbuf_get_width(pixbuf_));
}

uint32_t Image::height() const
{
    return static_cast<uint32_t>(gdk_pixbuf_get_height(pixbuf_));
}

std::unique_ptr<ImageSource> ImageSource::createWithPath(const std::string& path)
{
    std::unique_ptr<ImageSource> source(new ImageSource());
    gsize length = 0;
    if (!g_file_get_contents(path.c_str(), &source->data_, &length, nullptr)) return nullptr;
    source->length_ = length;
    return source;
}

ImageSource::~ImageSource()
{
    g_free(data_);
}

std::optional<std::pair<uint32_t, uint32_t>> ImageSource::pixelSizeAtIndex(size_t index) const
{
    if (index != 0 || length_ == 0) return std::nullopt;
    struct Probe {
        int width = 0;
        int height = 0;
    } probe;
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
    g_signal_connect(loader, "size-prepared", G_CALLBACK(+[](GdkPixbufLoader*, int width, int height, gpointer data) {
                         auto* found = static_cast<Probe*>(data);
                         found->width = width;
                         found->height = height;
                     }),
                     &probe);
    // Headers come first: feed small pieces and stop as soon as the size is known.
    constexpr size_t piece = 4096;
    for (size_t offset = 0; offset < length_ && probe.width == 0; offset += piece) {
        const size_t n = std::min(piece, length_ - offset);
        if (!gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(data_) + offset, n, nullptr)) break;
    }
    gdk_pixbuf_loader_close(loader, nullptr);
    g_object_unref(loader);
    if (probe.width <= 0 || probe.height <= 0) return std::nullopt;
    return std::make_pair(static_cast<uint32_t>(probe.width), static_cast<uint32_t>(probe.height));
}

std::unique_ptr<Image> ImageSource::createImageAtIndex(size_t index) const
{
    if (index != 0 || length_ == 0) return nullptr;
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
    const bool written =
        gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(data_), length_, nullptr);
    // Closed on every path: a loader finalised open warns, and close reports
    // truncated files that write accepted.
    const bool closed = gdk_pixbuf_loader_close(loader, nullptr);
    GdkPixbuf* pixbuf = written && closed ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr;
    if (pixbuf) g_object_ref(pixbuf);
    g_object_unref(loader);
    if (!pixbuf) return nullptr;
    if (gdk_pixbuf_get_colorspace(pixbuf) != GDK_COLORSPACE_RGB || gdk_pixbuf_get_bits_per_sample(pixbuf) != 8) {
        g_object_unref(pixbuf);
        return nullptr;
    }
    return std::make_unique<Image>(pixbuf);
}

}  // namespace quendal::image
