// Test pictures made with libvips.
#include "test_pictures.h"

#include <vips/vips.h>
#include <zlib.h>

#include <memory>
#include <stdexcept>
#include <vector>

#include "sample_png.h"

namespace {

struct Unref {
    void operator()(VipsImage* image) const { g_object_unref(image); }
};
using Image = std::unique_ptr<VipsImage, Unref>;

void start() {
    static bool started = VIPS_INIT("gallery-tests") == 0;
    if (!started) throw std::runtime_error("libvips did not start");
}

// `out` by reference: it is read only once the call that fills it has run.
Image checked(int rc, VipsImage*& out) {
    if (rc != 0) throw std::runtime_error(vips_error_buffer());
    return Image(out);
}

std::string taken(int rc, void*& buffer, std::size_t& length) {
    if (rc != 0) throw std::runtime_error(vips_error_buffer());
    std::string bytes(static_cast<const char*>(buffer), length);
    g_free(buffer);
    return bytes;
}

Image rgb(const std::vector<unsigned char>& pixels, int width, int height, int bands) {
    return Image(vips_image_new_from_memory_copy(pixels.data(), pixels.size(), width, height, bands, VIPS_FORMAT_UCHAR));
}

// Turns `upright` into what a camera stores for `orientation`: the orientation's own turn undone.
Image stored_for(VipsImage* upright, int orientation) {
    VipsImage* out = nullptr;
    VipsImage* mid = nullptr;
    switch (orientation) {
        case 2: return checked(vips_flip(upright, &out, VIPS_DIRECTION_HORIZONTAL, nullptr), out);
        case 3: return checked(vips_rot(upright, &out, VIPS_ANGLE_D180, nullptr), out);
        case 4: return checked(vips_flip(upright, &out, VIPS_DIRECTION_VERTICAL, nullptr), out);
        case 5: {
            Image turned = checked(vips_rot(upright, &mid, VIPS_ANGLE_D90, nullptr), mid);
            return checked(vips_flip(turned.get(), &out, VIPS_DIRECTION_HORIZONTAL, nullptr), out);
        }
        case 6: return checked(vips_rot(upright, &out, VIPS_ANGLE_D270, nullptr), out);
        case 7: {
            Image turned = checked(vips_rot(upright, &mid, VIPS_ANGLE_D90, nullptr), mid);
            return checked(vips_flip(turned.get(), &out, VIPS_DIRECTION_VERTICAL, nullptr), out);
        }
        case 8: return checked(vips_rot(upright, &out, VIPS_ANGLE_D90, nullptr), out);
        default: return checked(vips_copy(upright, &out, nullptr), out);
    }
}

}  // namespace

std::string quarters_jpeg(int width, int height, int orientation) {
    start();
    std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            bool right = x >= width / 2, bottom = y >= height / 2;
            unsigned char* p = &pixels[(static_cast<std::size_t>(y) * width + x) * 3];
            p[0] = (!bottom && !right) || (bottom && right) ? 255 : 0;
            p[1] = (!bottom && right) || (bottom && right) ? 255 : 0;
            p[2] = bottom ? 255 : 0;
        }
    Image upright = rgb(pixels, width, height, 3);
    Image stored = stored_for(upright.get(), orientation);
    VipsImage* copy = nullptr;
    Image tagged = checked(vips_copy(stored.get(), &copy, nullptr), copy);
    vips_image_set_int(tagged.get(), VIPS_META_ORIENTATION, orientation);
    void* buffer = nullptr;
    std::size_t length = 0;
    return taken(vips_jpegsave_buffer(tagged.get(), &buffer, &length, "Q", 95, nullptr), buffer, length);
}

std::string photo_jpeg(int width, int height, int seed) {
    start();
    VipsImage *noise = nullptr, *blurred = nullptr, *bands = nullptr, *cast = nullptr;
    Image grey = checked(vips_gaussnoise(&noise, width, height, "mean", 128.0, "sigma", 40.0, "seed", seed, nullptr), noise);
    Image soft = checked(vips_gaussblur(grey.get(), &blurred, 1.2, nullptr), blurred);
    VipsImage* parts[3] = {soft.get(), soft.get(), soft.get()};
    Image colour = checked(vips_bandjoin(parts, &bands, 3, nullptr), bands);
    Image bytes = checked(vips_cast(colour.get(), &cast, VIPS_FORMAT_UCHAR, nullptr), cast);
    void* buffer = nullptr;
    std::size_t length = 0;
    return taken(vips_jpegsave_buffer(bytes.get(), &buffer, &length, "Q", 90, nullptr), buffer, length);
}

std::string animated_gif(int width, int height, int frames) {
    start();
    std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height * frames * 3);
    for (int f = 0; f < frames; ++f)
        for (std::size_t i = 0; i < static_cast<std::size_t>(width) * height; ++i)
            pixels[(static_cast<std::size_t>(f) * width * height + i) * 3 + static_cast<std::size_t>(f % 3)] = 255;
    Image strip = rgb(pixels, width, height * frames, 3);
    VipsImage* copy = nullptr;
    Image paged = checked(vips_copy(strip.get(), &copy, nullptr), copy);
    vips_image_set_int(paged.get(), VIPS_META_PAGE_HEIGHT, height);
    void* buffer = nullptr;
    std::size_t length = 0;
    return taken(vips_gifsave_buffer(paged.get(), &buffer, &length, nullptr), buffer, length);
}

std::string half_transparent_png(int width, int height) {
    start();
    std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width / 2; ++x) {
            unsigned char* p = &pixels[(static_cast<std::size_t>(y) * width + x) * 4];
            p[0] = 255;
            p[3] = 255;
        }
    Image image = rgb(pixels, width, height, 4);
    void* buffer = nullptr;
    std::size_t length = 0;
    return taken(vips_pngsave_buffer(image.get(), &buffer, &length, nullptr), buffer, length);
}

std::string png_announcing(std::uint32_t width, std::uint32_t height) {
    std::string png = make_sample_png(1, 1, 1);
    auto put = [&png](std::size_t at, std::uint32_t value) {
        for (int i = 0; i < 4; ++i) png[at + i] = static_cast<char>(value >> (24 - 8 * i));
    };
    put(16, width);
    put(20, height);
    // IHDR's checksum covers its type and data (offsets 12 to 29).
    put(29, static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(png.data() + 12), 17)));
    return png;
}

Decoded decode(const std::string& encoded) {
    start();
    Image image(vips_image_new_from_buffer(encoded.data(), encoded.size(), "n=-1", nullptr));
    if (!image) throw std::runtime_error(vips_error_buffer());
    Decoded decoded;
    decoded.width = vips_image_get_width(image.get());
    decoded.height = vips_image_get_page_height(image.get());
    decoded.bands = vips_image_get_bands(image.get());
    decoded.pages = vips_image_get_n_pages(image.get());
    for (const char* field : {VIPS_META_EXIF_NAME, VIPS_META_XMP_NAME, VIPS_META_ICC_NAME})
        decoded.has_metadata = decoded.has_metadata || vips_image_get_typeof(image.get(), field) != 0;
    return decoded;
}

std::array<double, 4> pixel_at(const std::string& encoded, double x, double y) {
    start();
    Image image(vips_image_new_from_buffer(encoded.data(), encoded.size(), "", nullptr));
    if (!image) throw std::runtime_error(vips_error_buffer());
    double* values = nullptr;
    int n = 0;
    int px = static_cast<int>(x * vips_image_get_width(image.get()));
    int py = static_cast<int>(y * vips_image_get_height(image.get()));
    if (vips_getpoint(image.get(), &values, &n, px, py, nullptr) != 0) throw std::runtime_error(vips_error_buffer());
    std::array<double, 4> pixel{0, 0, 0, 255};
    for (int i = 0; i < n && i < 4; ++i) pixel[static_cast<std::size_t>(i)] = values[i];
    g_free(values);
    return pixel;
}
