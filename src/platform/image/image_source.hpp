// Image files: an image source opened on a file, and the images decoded from it
// (gdk-pixbuf, with whatever loaders the system has: PNG, JPEG, GIF, TIFF, ...).
// Neither touches a display, so any thread may use them; one object is used by
// one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

typedef struct _GdkPixbuf GdkPixbuf;

namespace quendal::image {

class Image {
public:
    explicit Image(GdkPixbuf* pixbuf);  // takes the reference
    ~Image();
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;

    uint32_t width() const;
    uint32_t height() const;
    GdkPixbuf* pixbuf() const { return pixbuf_; }

private:
    GdkPixbuf* pixbuf_;
};

class ImageSource {
public:
    // Null when the file cannot be read.
    static std::unique_ptr<ImageSource> createWithPath(const std::string& path);
    ~ImageSource();
    ImageSource(const ImageSource&) = delete;
    ImageSource& operator=(const ImageSource&) = delete;

    // Width and height of the image at index as the file's header states them,
    // found without decoding the pixels; nullopt when the header does not say.
    std::optional<std::pair<uint32_t, uint32_t>> pixelSizeAtIndex(size_t index) const;

    // The image at index (only 0, the first frame of an animation, exists here);
    // null when the file holds no image that can be decoded.
    std::unique_ptr<Image> createImageAtIndex(size_t index) const;

private:
    ImageSource() = default;

    char* data_ = nullptr;
    size_t length_ = 0;
};

}  // namespace quendal::image
