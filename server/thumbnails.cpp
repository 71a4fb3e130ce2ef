// Header checks and derived copies with libvips, bounded to one thread per copy and no cache of its
// own: the gallery's worker pool decides how many run at once.
#include "thumbnails.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vips/vips.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <fstream>
#include <memory>

#include "picture_type.h"

namespace {

constexpr int webp_quality = 75;

void start_vips() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (VIPS_INIT("gallery-server") != 0) return;
        // Every loader is blocked but the four the gallery accepts.
        vips_block_untrusted_set(TRUE);
        vips_operation_block_set("VipsForeignLoad", TRUE);
        for (const char* allowed : {"VipsForeignLoadJpeg", "VipsForeignLoadPng", "VipsForeignLoadNsgif",
                                    "VipsForeignLoadWebp"})
            vips_operation_block_set(allowed, FALSE);
        vips_concurrency_set(1);
        vips_cache_set_max(0);
        vips_cache_set_max_mem(0);
        vips_cache_set_max_files(0);
    });
}

struct Unref {
    void operator()(void* object) const { g_object_unref(object); }
};
using Source = std::unique_ptr<VipsSource, Unref>;
using Image = std::unique_ptr<VipsImage, Unref>;

// libvips keeps its last error per thread; it is taken here so the next call starts clean.
std::string vips_failure(std::string_view what) {
    std::string detail = vips_error_buffer();
    vips_error_clear();
    while (!detail.empty() && (detail.back() == '\n' || detail.back() == ' ')) detail.pop_back();
    return std::string(what) + (detail.empty() ? "" : ": " + detail);
}

// A source over the file open as `fd`, reopened so the source has its own read position: several
// threads may read one picture at once.
Source source_of(int fd) {
    std::string reopened = "/proc/self/fd/" + std::to_string(fd);
    return Source(vips_source_new_from_file(reopened.c_str()));
}

// The loader for the type the file's own first bytes name, never one libvips would guess: its
// guessing asks every loader, and some read a whole file looking for a line.
Image header_of(int fd, VipsSource* source) {
    char head[12];
    ssize_t n = ::pread(fd, head, sizeof head, 0);
    std::string_view type = picture_content_type(std::string_view(head, n > 0 ? static_cast<std::size_t>(n) : 0));
    VipsImage* image = nullptr;
    int rc = -1;
    if (type == "image/jpeg")
        rc = vips_jpegload_source(source, &image, "access", VIPS_ACCESS_SEQUENTIAL, nullptr);
    else if (type == "image/png")
        rc = vips_pngload_source(source, &image, "access", VIPS_ACCESS_SEQUENTIAL, nullptr);
    else if (type == "image/gif")
        rc = vips_gifload_source(source, &image, "access", VIPS_ACCESS_SEQUENTIAL, nullptr);
    else if (type == "image/webp")
        rc = vips_webpload_source(source, &image, "access", VIPS_ACCESS_SEQUENTIAL, nullptr);
    return Image(rc == 0 ? image : nullptr);
}

std::uint32_t le32(const unsigned char* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t(p[3]) << 24); }
void put_le32(unsigned char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// The WebP saver writes EXIF even when told to strip it (libvips 8.14), so the copy's EXIF, XMP and
// ICC chunks are dropped here and the extended header no longer announces them.
std::string without_metadata(const unsigned char* webp, std::size_t size) {
    std::string out;
    if (size < 12) return out;
    out.assign(reinterpret_cast<const char*>(webp), 12);
    for (std::size_t at = 12; at + 8 <= size;) {
        std::string_view type(reinterpret_cast<const char*>(webp + at), 4);
        std::size_t length = le32(webp + at + 4);
        std::size_t whole = 8 + length + (length & 1);
        if (at + whole > size) return {};
        if (type != "EXIF" && type != "XMP " && type != "ICCP") {
            std::size_t kept = out.size();
            out.append(reinterpret_cast<const char*>(webp + at), whole);
            if (type == "VP8X" && length >= 1) out[kept + 8] = static_cast<char>(out[kept + 8] & ~0x2C);
        }
        at += whole;
    }
    put_le32(reinterpret_cast<unsigned char*>(out.data()) + 4, static_cast<std::uint32_t>(out.size() - 8));
    return out;
}

std::string copy_name(std::int64_t id, int size) { return std::to_string(id) + "-" + std::to_string(size) + ".webp"; }

// A derived file is good when it is at least as new as the original it was made from: a cache
// refilled from another store gives the original a newer time.
bool fresh(const std::filesystem::path& path, int original_fd) {
    struct stat derived {}, original {};
    if (::stat(path.c_str(), &derived) != 0 || ::fstat(original_fd, &original) != 0) return false;
    if (derived.st_mtim.tv_sec != original.st_mtim.tv_sec) return derived.st_mtim.tv_sec > original.st_mtim.tv_sec;
    return derived.st_mtim.tv_nsec >= original.st_mtim.tv_nsec;
}

// Written under a temporary name and renamed, so a reader never sees half a file.
bool write_whole(const std::filesystem::path& path, const void* data, std::size_t size) {
    static std::atomic<unsigned> writes{0};
    std::string suffix = ".";
    suffix += std::to_string(++writes);
    suffix += ".part";
    std::filesystem::path part = path;
    part += suffix;
    int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, next, size);
        if (n <= 0) {
            ::close(fd);
            ::unlink(part.c_str());
            return false;
        }
        next += n;
        size -= static_cast<std::size_t>(n);
    }
    ::close(fd);
    return ::rename(part.c_str(), path.c_str()) == 0;
}

// Waits while another thread makes `name`, then marks it as this thread's.
struct MakerTurn {
    ThumbnailMaker& maker;
    std::string name;
    MakerTurn(ThumbnailMaker& m, std::string n) : maker(m), name(std::move(n)) {
        std::unique_lock lock(maker.mutex);
        maker.finished.wait(lock, [&] { return !maker.in_progress.contains(name); });
        maker.in_progress.insert(name);
    }
    ~MakerTurn() {
        {
            std::lock_guard lock(maker.mutex);
            maker.in_progress.erase(name);
        }
        maker.finished.notify_all();
    }
};

}  // namespace

bool is_thumbnail_size(int size) { return size == card_size || size == large_card_size || size == view_size; }

std::pair<int, int> fitted_size(const PictureFacts& facts, int size) {
    int longest = std::max(facts.width, facts.height);
    if (longest <= size || longest == 0) return {facts.width, facts.height};
    double scale = static_cast<double>(size) / longest;
    return {std::max(1, static_cast<int>(std::lround(facts.width * scale))),
            std::max(1, static_cast<int>(std::lround(facts.height * scale)))};
}

PictureFacts read_picture_facts(int fd) {
    start_vips();
    PictureFacts facts;
    Source source = source_of(fd);
    if (!source) return facts;
    Image image = header_of(fd, source.get());
    if (!image) {
        vips_error_clear();
        return facts;
    }
    facts.decodable = true;
    facts.width = vips_image_get_width(image.get());
    facts.height = vips_image_get_page_height(image.get());
    if (vips_image_get_orientation_swap(image.get())) std::swap(facts.width, facts.height);
    facts.animated = vips_image_get_n_pages(image.get()) > 1;
    return facts;
}

std::optional<std::string> refuse_by_header(const std::filesystem::path& path, std::uint64_t most_pixels) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;  // the store reports a missing file itself
    PictureFacts facts = read_picture_facts(fd);
    ::close(fd);
    std::uint64_t pixels = static_cast<std::uint64_t>(facts.width) * static_cast<std::uint64_t>(facts.height);
    if (!facts.decodable || pixels <= most_pixels) return std::nullopt;
    return "the picture is " + std::to_string(facts.width) + " x " + std::to_string(facts.height) +
           " pixels; this gallery takes at most " + std::to_string(most_pixels) + " pixels";
}

PictureFacts picture_facts(ThumbnailMaker& maker, std::int64_t id, int fd) {
    std::filesystem::path path = maker.dir / (std::to_string(id) + ".facts");
    if (fresh(path, fd)) {
        std::ifstream in(path);
        PictureFacts facts;
        int decodable = 0, animated = 0;
        if (in >> decodable >> facts.width >> facts.height >> animated) {
            facts.decodable = decodable != 0;
            facts.animated = animated != 0;
            return facts;
        }
    }
    PictureFacts facts = read_picture_facts(fd);
    std::string line = std::to_string(facts.decodable) + " " + std::to_string(facts.width) + " " +
                       std::to_string(facts.height) + " " + std::to_string(facts.animated) + "\n";
    std::error_code ec;
    std::filesystem::create_directories(maker.dir, ec);
    write_whole(path, line.data(), line.size());
    return facts;
}

std::filesystem::path thumbnail_path(ThumbnailMaker& maker, std::int64_t id, int fd, int size, std::string& error) {
    start_vips();
    std::filesystem::path path = maker.dir / copy_name(id, size);
    if (fresh(path, fd)) return path;
    MakerTurn turn(maker, path.filename().string());
    if (fresh(path, fd)) return path;  // made while this thread waited

    PictureFacts facts = picture_facts(maker, id, fd);
    if (!facts.decodable) {
        error = "picture " + std::to_string(id) + " cannot be decoded";
        return {};
    }
    if (static_cast<std::uint64_t>(facts.width) * static_cast<std::uint64_t>(facts.height) > maker.most_pixels) {
        error = "picture " + std::to_string(id) + " has more pixels than the gallery decodes";
        return {};
    }
    Source source = source_of(fd);
    VipsImage* made = nullptr;
    // Shrunk while it loads, turned upright by its orientation, never enlarged; the first frame only.
    if (!source || vips_thumbnail_source(source.get(), &made, size, "height", size, "size", VIPS_SIZE_DOWN, nullptr) != 0) {
        error = vips_failure("picture " + std::to_string(id) + " cannot be made smaller");
        return {};
    }
    Image image(made);
    void* bytes = nullptr;
    std::size_t length = 0;
    if (vips_webpsave_buffer(image.get(), &bytes, &length, "Q", webp_quality, "strip", TRUE, nullptr) != 0) {
        error = vips_failure("picture " + std::to_string(id) + " cannot be encoded");
        return {};
    }
    std::string webp = without_metadata(static_cast<const unsigned char*>(bytes), length);
    g_free(bytes);
    if (webp.empty()) {
        error = "picture " + std::to_string(id) + " was encoded into a malformed WebP";
        return {};
    }
    std::error_code ec;
    std::filesystem::create_directories(maker.dir, ec);
    bool written = write_whole(path, webp.data(), webp.size());
    if (!written) {
        error = "cannot write " + path.string();
        return {};
    }
    std::lock_guard lock(maker.mutex);
    ++maker.made;
    return path;
}

void remove_derived_copies(const std::filesystem::path& dir, std::int64_t id) {
    ::unlink((dir / (std::to_string(id) + ".facts")).c_str());
    for (int size : {card_size, large_card_size, view_size}) ::unlink((dir / copy_name(id, size)).c_str());
}

std::optional<std::int64_t> derived_owner(std::string_view file_name) {
    std::size_t digits = 0;
    while (digits < file_name.size() && file_name[digits] >= '0' && file_name[digits] <= '9') ++digits;
    // Ids are positive and fit 18 digits; the maker follows them with "-SIZE.webp" or ".facts".
    if (digits == 0 || digits > 18 || digits == file_name.size()) return std::nullopt;
    std::string_view rest = file_name.substr(digits);
    if (!rest.starts_with("-") && !rest.starts_with(".facts")) return std::nullopt;
    if (rest.starts_with("-") && rest.find(".webp") == std::string_view::npos) return std::nullopt;
    return std::stoll(std::string(file_name.substr(0, digits)));
}
