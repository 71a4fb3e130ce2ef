// Times making one picture's copies from camera-sized JPEGs: the gallery's own maker (WebP) against
// the same shrink saved as JPEG, at each long-edge size, over a batch of pictures in one run.
// Prints one line per format and size (median, min and max milliseconds per picture, and bytes),
// then the per-picture ratios of WebP to JPEG.
// Usage: thumbnail_formats FOLDER-OF-JPEGS
#include <fcntl.h>
#include <unistd.h>
#include <vips/vips.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "thumbnails.h"

namespace {

struct Row {
    std::vector<double> ms;
    std::vector<double> bytes;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void print(const char* format, int size, const Row& row) {
    auto [low, high] = std::minmax_element(row.ms.begin(), row.ms.end());
    std::printf("%-6s %5d px   %8.1f ms (min %.1f, max %.1f)   %9.0f bytes (min %.0f, max %.0f)\n", format, size,
                median(row.ms), *low, *high, median(row.bytes), *std::min_element(row.bytes.begin(), row.bytes.end()),
                *std::max_element(row.bytes.begin(), row.bytes.end()));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: thumbnail_formats FOLDER-OF-JPEGS\n");
        return 2;
    }
    std::vector<std::filesystem::path> pictures;
    for (const auto& entry : std::filesystem::directory_iterator(argv[1]))
        if (entry.path().extension() == ".jpg") pictures.push_back(entry.path());
    std::sort(pictures.begin(), pictures.end());
    std::filesystem::path derived = std::filesystem::temp_directory_path() / ("thumbnail-bench-" + std::to_string(::getpid()));

    using Clock = std::chrono::steady_clock;
    for (int size : {card_size, large_card_size, view_size}) {
        Row webp, jpeg;
        ThumbnailMaker maker;
        maker.dir = derived;
        std::int64_t id = 0;
        for (const auto& picture : pictures) {
            int fd = ::open(picture.c_str(), O_RDONLY | O_CLOEXEC);
            std::string error;
            auto start = Clock::now();
            std::filesystem::path made = thumbnail_path(maker, ++id, fd, size, error);
            webp.ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            webp.bytes.push_back(made.empty() ? 0.0 : static_cast<double>(std::filesystem::file_size(made)));
            ::close(fd);

            // The same shrink-on-load, saved as a baseline JPEG of comparable quality.
            start = Clock::now();
            VipsImage* out = nullptr;
            void* bytes = nullptr;
            std::size_t length = 0;
            if (vips_thumbnail(picture.c_str(), &out, size, "height", size, "size", VIPS_SIZE_DOWN, nullptr) == 0 &&
                vips_jpegsave_buffer(out, &bytes, &length, "Q", 80, "strip", TRUE, "optimize_coding", TRUE, nullptr) == 0) {
                jpeg.ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
                jpeg.bytes.push_back(static_cast<double>(length));
            }
            if (out) g_object_unref(out);
            g_free(bytes);
        }
        print("webp", size, webp);
        if (jpeg.ms.empty()) continue;
        print("jpeg", size, jpeg);
        // Ratios per picture, both made side by side in this run: median, min and max.
        std::vector<double> bytes_ratio, time_ratio;
        for (std::size_t i = 0; i < webp.ms.size() && i < jpeg.ms.size(); ++i) {
            bytes_ratio.push_back(webp.bytes[i] / jpeg.bytes[i]);
            time_ratio.push_back(webp.ms[i] / jpeg.ms[i]);
        }
        auto [bl, bh] = std::minmax_element(bytes_ratio.begin(), bytes_ratio.end());
        auto [tl, th] = std::minmax_element(time_ratio.begin(), time_ratio.end());
        std::printf("webp/jpeg %4d px   bytes x%.2f (min %.2f, max %.2f)   time x%.2f (min %.2f, max %.2f)\n", size,
                    median(bytes_ratio), *bl, *bh, median(time_ratio), *tl, *th);
    }
    std::filesystem::remove_all(derived);
    return 0;
}
