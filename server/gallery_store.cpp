// The store interface: staged upload files, the quota's charge, and forwarding to the backend the
// store was opened with.
#include "gallery_store.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

#include "album_keys.h"
#include "store_backends.h"
#include "thumbnails.h"

namespace {

constexpr std::uint64_t block_size = 4096;
// A picture's inode share, directory entry (SQLite) and row with its index entries, beside its blocks.
constexpr std::uint64_t per_picture_overhead = 512;

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
                        error_number == ENOSPC || error_number == EDQUOT || error_number == EFBIG, false};
}

void remove_partial_files(const std::filesystem::path& dir) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
        if (entry.path().filename().string().ends_with(".part") && entry.is_regular_file())
            std::filesystem::remove(entry.path(), ec);
}

bool sync_file_and_close(int fd) {
    bool ok = ::fsync(fd) == 0;
    int saved = errno;
    if (::close(fd) != 0 && ok) return false;
    errno = saved;
    return ok;
}

void sync_dir(const std::filesystem::path& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

std::uint64_t disk_blocks_bytes(std::uint64_t size) { return (size + block_size - 1) / block_size * block_size; }

std::uint64_t charged_bytes(std::uint64_t file_size) { return disk_blocks_bytes(file_size) + per_picture_overhead; }

std::string charged_bytes_sql(const std::string& size_column) {
    std::string block = std::to_string(block_size);
    return "((" + size_column + " + " + std::to_string(block_size - 1) + ") / " + block + " * " + block + " + " +
           std::to_string(per_picture_overhead) + ")";
}

StagedFile::StagedFile(StagedFile&& other) noexcept
    : fd(std::exchange(other.fd, -1)), path(std::move(other.path)), size(other.size), store(other.store),
      object(other.object), finished(other.finished), stream(std::move(other.stream)) {
    other.path.clear();
}

StagedFile& StagedFile::operator=(StagedFile&& other) noexcept {
    if (this != &other) {
        discard_staged(*this);
        fd = std::exchange(other.fd, -1);
        path = std::move(other.path);
        other.path.clear();
        size = other.size;
        store = other.store;
        object = other.object;
        finished = other.finished;
        stream = std::move(other.stream);
    }
    return *this;
}

StagedFile::~StagedFile() { discard_staged(*this); }

void discard_staged(StagedFile& file) {
    file.stream.reset();
    if (file.fd >= 0) ::close(file.fd);
    file.fd = -1;
    if (!file.path.empty()) ::unlink(file.path.c_str());
    file.path.clear();
}

std::optional<StoreFailure> open_staged(const GalleryStore& store, StagedFile& file) {
    static std::atomic<std::uint64_t> counter{0};
    // ".part" files are swept at start, so one left by a crash is removed then.
    file.path = store.picture_dir / ("incoming-" + std::to_string(::getpid()) + "-" + std::to_string(++counter) + ".part");
    // Read as well: a backend may take the bytes back out while later ones still arrive.
    file.fd = ::open(file.path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (file.fd < 0) {
        StoreFailure failure = failure_of("cannot create " + file.path.string(), errno);
        file.path.clear();
        return failure;
    }
    file.size = 0;
    file.store = store.backend.get();
    file.object = 0;
    file.finished = false;
    return std::nullopt;
}

std::optional<StoreFailure> write_staged(StagedFile& file, std::string_view bytes) {
    if (!write_all(file.fd, bytes)) return failure_of("cannot write " + file.path.string(), errno ? errno : ENOSPC);
    file.size += bytes.size();
    return file.store ? file.store->take_staged(file) : std::nullopt;
}

std::optional<StoreFailure> sync_staged(StagedFile& file) {
    if (auto failure = send_staged(file)) return failure;
    return settle_staged(file);
}

std::optional<StoreFailure> send_staged(StagedFile& file) {
    if (file.finished) return std::nullopt;
    if (!file.store) return StoreFailure{"a staged file without a store", false, false};
    auto failure = file.store->finish_staged(file);
    if (file.fd >= 0) ::close(file.fd);
    file.fd = -1;
    file.finished = !failure;
    return failure;
}

std::optional<StoreFailure> settle_staged(StagedFile& file) {
    if (!file.stream || !file.store) return std::nullopt;
    return file.store->settle_staged(file);
}

std::optional<std::string> open_store(const StoreLocation& where, GalleryStore& store) {
    if (where.database)
        return postgres_open(*where.database, where.data_dir, where.budgets, store, where.beside_server);
    return sqlite_open(where.data_dir, store, where.beside_server);
}

std::optional<std::string> open_store(const std::filesystem::path& data_dir, GalleryStore& store) {
    return sqlite_open(data_dir, store);
}

StoreReport check_store(const StoreLocation& where) {
    return where.database ? postgres_check(*where.database, where.budgets, where.data_dir) : sqlite_check(where.data_dir);
}

std::uint64_t stored_bytes(const GalleryStore& store, StoreFailure& failure) {
    failure = {};
    return store.backend->stored_bytes(failure);
}

std::int64_t store_album(const GalleryStore& store, NewAlbum& album, StoreFailure& failure) {
    failure = {};
    // Both end up in addresses and comparisons: anything else would be a fault of the caller.
    bool hash_ok = album.owner_hash.empty() ||
                   (album.owner_hash.size() == 64 && album.owner_hash.find_first_not_of("0123456789abcdef") == std::string::npos);
    if ((!album.key.empty() && !is_album_key(album.key)) || !hash_ok) {
        failure.detail = "an album key or owner hash of the wrong form";
        return 0;
    }
    return store.backend->store_album(album, failure);
}

std::optional<StoredAlbum> load_album(const GalleryStore& store, std::int64_t album_id, StoreFailure& failure) {
    failure = {};
    return store.backend->load_album(album_id, failure);
}

std::optional<StoredPicture> load_picture(const GalleryStore& store, std::int64_t picture_id, StoreFailure& failure) {
    failure = {};
    return store.backend->load_picture(picture_id, failure);
}

int open_picture(const GalleryStore& store, std::int64_t picture_id, StoredPicture& picture, StoreFailure& failure) {
    failure = {};
    return store.backend->open_picture(picture_id, picture, failure);
}

std::filesystem::path picture_path(const GalleryStore& store, std::int64_t picture_id) {
    return store.picture_dir / std::to_string(picture_id);
}

std::filesystem::path derived_dir_of(const std::filesystem::path& data_dir) { return data_dir / "derived"; }

std::vector<std::filesystem::path> orphan_files(const std::filesystem::path& dir, bool derived,
                                                const std::set<std::int64_t>& owned) {
    std::vector<std::filesystem::path> orphans;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        std::string name = entry.path().filename().string();
        std::optional<std::int64_t> id;
        if (derived)
            id = derived_owner(name);
        else if (!name.empty() && name.size() <= 18 && name.find_first_not_of("0123456789") == std::string::npos)
            id = std::stoll(name);
        if (id && !owned.contains(*id) && entry.is_regular_file(ec)) orphans.push_back(entry.path());
    }
    return orphans;
}

void remove_orphan_files(const std::filesystem::path& dir, bool derived, const std::set<std::int64_t>& owned) {
    for (const auto& path : orphan_files(dir, derived, owned)) ::unlink(path.c_str());
}

std::vector<std::string> delete_each(StoreBackend& backend,
                                     const std::vector<std::pair<std::int64_t, std::string>>& albums,
                                     StoreFailure& failure) {
    std::vector<std::string> deleted;
    for (const auto& [id, key] : albums) {
        auto removed = backend.remove_rows(id, 0, failure);
        if (!failure.detail.empty()) break;
        if (!removed) continue;  // deleted meanwhile by someone else
        backend.remove_files(*removed);
        deleted.push_back(key);
    }
    return deleted;
}

std::string orphans_line(std::uint64_t orphans) {
    return "orphans: " + std::to_string(orphans) +
           " (files or picture bytes that belong to no picture; the next start removes them)\n";
}

std::optional<StoredAlbum> find_album(const GalleryStore& store, std::string_view key, StoreFailure& failure) {
    failure = {};
    return store.backend->find_album(key, failure);
}

std::optional<StoredPicture> find_picture(const GalleryStore& store, std::string_view key, std::int64_t number,
                                          StoreFailure& failure) {
    failure = {};
    return store.backend->find_picture(key, number, failure);
}

bool rename_album(const GalleryStore& store, std::int64_t album_id, std::string_view title, StoreFailure& failure) {
    failure = {};
    if (!store.read_only.empty()) {
        failure.detail = "the store cannot be written: " + store.read_only;
        return false;
    }
    return store.backend->rename_album(album_id, title, failure);
}

namespace {

bool remove(const GalleryStore& store, std::int64_t album_id, std::int64_t picture_id, StoreFailure& failure) {
    failure = {};
    if (!store.read_only.empty()) {
        failure.detail = "the store cannot be written: " + store.read_only;
        return false;
    }
    auto removed = store.backend->remove_rows(album_id, picture_id, failure);
    if (!removed) return false;
    // After the commit: a crash here leaves only orphans, which the next start removes.
    store.backend->remove_files(*removed);
    return true;
}

}  // namespace

bool remove_picture(const GalleryStore& store, std::int64_t album_id, std::int64_t picture_id, StoreFailure& failure) {
    if (picture_id <= 0) {
        failure = {};
        return false;
    }
    return remove(store, album_id, picture_id, failure);
}

bool delete_album(const GalleryStore& store, std::int64_t album_id, StoreFailure& failure) {
    return remove(store, album_id, 0, failure);
}

std::vector<AlbumSummary> list_albums(const GalleryStore& store, StoreFailure& failure) {
    failure = {};
    return store.backend->list_albums(failure);
}

std::vector<std::string> expire_albums(const GalleryStore& store, std::chrono::hours older_than, StoreFailure& failure) {
    failure = {};
    if (!store.read_only.empty()) {
        failure.detail = "the store cannot be written: " + store.read_only;
        return {};
    }
    return store.backend->expire_albums(older_than, failure);
}

std::optional<std::string> legacy_address(const GalleryStore& store, bool picture, std::int64_t row_id,
                                          StoreFailure& failure) {
    failure = {};
    return store.backend->legacy_address(picture, row_id, failure);
}
