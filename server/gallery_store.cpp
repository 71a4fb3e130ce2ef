// The store interface: staged upload files, which are the same for both backends, and the choice
// of backend for everything else.
#include "gallery_store.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

#include "store_backends.h"

namespace {

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

StoreFailure failure_of(const std::string& what, int error_number) {
    return StoreFailure{what + ": " + std::strerror(error_number),
                        error_number == ENOSPC || error_number == EDQUOT || error_number == EFBIG};
}

void remove_partial_files(const std::filesystem::path& dir) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
        if (entry.path().filename().string().ends_with(".part") && entry.is_regular_file())
            std::filesystem::remove(entry.path(), ec);
}

StagedFile::StagedFile(StagedFile&& other) noexcept
    : fd(std::exchange(other.fd, -1)), path(std::move(other.path)), size(other.size), durable(other.durable) {
    other.path.clear();
}

StagedFile& StagedFile::operator=(StagedFile&& other) noexcept {
    if (this != &other) {
        discard_staged(*this);
        fd = std::exchange(other.fd, -1);
        path = std::move(other.path);
        other.path.clear();
        size = other.size;
        durable = other.durable;
    }
    return *this;
}

StagedFile::~StagedFile() { discard_staged(*this); }

void discard_staged(StagedFile& file) {
    if (file.fd >= 0) ::close(file.fd);
    file.fd = -1;
    if (!file.path.empty()) ::unlink(file.path.c_str());
    file.path.clear();
}

std::optional<StoreFailure> open_staged(const GalleryStore& store, StagedFile& file) {
    static std::atomic<std::uint64_t> counter{0};
    // ".part" files are swept at start, so one left by a crash is removed then.
    file.path = store.picture_dir / ("incoming-" + std::to_string(::getpid()) + "-" + std::to_string(++counter) + ".part");
    file.fd = ::open(file.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (file.fd < 0) {
        StoreFailure failure = failure_of("cannot create " + file.path.string(), errno);
        file.path.clear();
        return failure;
    }
    file.size = 0;
    file.durable = !store.postgres;
    return std::nullopt;
}

std::optional<StoreFailure> write_staged(StagedFile& file, std::string_view bytes) {
    if (!write_all(file.fd, bytes)) return failure_of("cannot write " + file.path.string(), errno ? errno : ENOSPC);
    file.size += bytes.size();
    return std::nullopt;
}

std::optional<StoreFailure> sync_staged(StagedFile& file) {
    bool ok = !file.durable || ::fsync(file.fd) == 0;
    int saved = errno;
    if (::close(file.fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    file.fd = -1;
    if (!ok) return failure_of("cannot write " + file.path.string(), saved);
    return std::nullopt;
}

std::optional<std::string> open_store(const StoreLocation& where, GalleryStore& store) {
    if (where.database) return postgres_open(*where.database, where.data_dir, store);
    return sqlite_open(where.data_dir, store);
}

std::optional<std::string> open_store(const std::filesystem::path& data_dir, GalleryStore& store) {
    return sqlite_open(data_dir, store);
}

StoreReport check_store(const StoreLocation& where) {
    return where.database ? postgres_check(*where.database) : sqlite_check(where.data_dir);
}

std::uint64_t stored_bytes(const GalleryStore& store, std::string& error) {
    return store.postgres ? postgres_stored_bytes(store, error) : sqlite_stored_bytes(store, error);
}

std::uint64_t charged_bytes(std::uint64_t file_size) { return file_size; }

std::int64_t store_album(const GalleryStore& store, NewAlbum& album, StoreFailure& failure) {
    return store.postgres ? postgres_store_album(store, album, failure) : sqlite_store_album(store, album, failure);
}

std::optional<StoredAlbum> load_album(const GalleryStore& store, std::int64_t album_id, std::string& error) {
    return store.postgres ? postgres_load_album(store, album_id, error) : sqlite_load_album(store, album_id, error);
}

std::optional<StoredPicture> load_picture(const GalleryStore& store, std::int64_t picture_id, std::string& error) {
    return store.postgres ? postgres_load_picture(store, picture_id, error)
                          : sqlite_load_picture(store, picture_id, error);
}

int open_picture(const GalleryStore& store, std::int64_t picture_id, StoredPicture& picture, std::string& error) {
    if (store.postgres) return postgres_open_picture(store, picture_id, picture, error);
    auto row = sqlite_load_picture(store, picture_id, error);
    if (!row) return -1;
    picture = *row;
    int fd = ::open(picture_path(store, picture_id).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) error = "cannot open " + picture_path(store, picture_id).string() + ": " + std::strerror(errno);
    return fd;
}

std::filesystem::path picture_path(const GalleryStore& store, std::int64_t picture_id) {
    return store.picture_dir / std::to_string(picture_id);
}
