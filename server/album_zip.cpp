// The album zip, written with libarchive to a callback that fills the piece being made, so memory
// holds one piece per download whatever the album's size.
#include "album_zip.h"

#include <archive.h>
#include <archive_entry.h>
#include <unistd.h>

#include <array>
#include <ctime>
#include <set>

#include "gallery_pages.h"

namespace {

constexpr std::size_t piece_bytes = 64 * 1024;

std::string folded(std::string_view name) {
    std::string out(name);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::time_t utc_time(std::string_view created) {
    std::tm when{};
    if (std::sscanf(std::string(created).c_str(), "%d-%d-%d %d:%d:%d", &when.tm_year, &when.tm_mon, &when.tm_mday,
                    &when.tm_hour, &when.tm_min, &when.tm_sec) != 6)
        return 0;
    when.tm_year -= 1900;
    when.tm_mon -= 1;
    return ::timegm(&when);
}

}  // namespace

struct AlbumZip {
    const GalleryStore& store;
    std::vector<StoredPicture> pictures;
    std::vector<std::string> names;
    std::time_t created = 0;
    archive* writer = nullptr;
    std::string* out = nullptr;  // the piece being made
    std::size_t next = 0;        // the picture to start next
    int fd = -1;                 // the picture being written
    std::uint64_t offset = 0, left = 0;
    bool closed = false;
    std::array<char, piece_bytes> buffer{};
};

void AlbumZipDeleter::operator()(AlbumZip* zip) const {
    if (zip->fd >= 0) ::close(zip->fd);
    if (zip->writer) archive_write_free(zip->writer);
    delete zip;
}

std::vector<std::string> distinct_names(const std::vector<StoredPicture>& pictures) {
    std::vector<std::string> names;
    std::set<std::string> taken;
    for (const StoredPicture& picture : pictures) {
        std::string name = picture.name;
        std::size_t dot = name.rfind('.');
        if (dot == 0 || dot == std::string::npos) dot = name.size();
        for (int n = 2; taken.contains(folded(name)); ++n)
            name = picture.name.substr(0, dot) + " (" + std::to_string(n) + ")" + picture.name.substr(dot);
        taken.insert(folded(name));
        names.push_back(std::move(name));
    }
    return names;
}

namespace {

la_ssize_t take_bytes(archive*, void* client, const void* bytes, size_t length) {
    auto& zip = *static_cast<AlbumZip*>(client);
    zip.out->append(static_cast<const char*>(bytes), length);
    return static_cast<la_ssize_t>(length);
}

std::string archive_failure(AlbumZip& zip, std::string_view what) {
    const char* detail = archive_error_string(zip.writer);
    return std::string(what) + (detail ? std::string(": ") + detail : "");
}

}  // namespace

AlbumZipWriter start_album_zip(const GalleryStore& store, const StoredAlbum& album) {
    AlbumZipWriter zip(new AlbumZip{store, album.pictures, distinct_names(album.pictures), utc_time(album.created)});
    return zip;
}

bool next_zip_piece(AlbumZip& zip, std::string& out, std::string& error) {
    zip.out = &out;
    if (!zip.writer) {
        zip.writer = archive_write_new();
        // Unblocked: every byte goes to the piece as soon as it is written.
        if (!zip.writer || archive_write_set_format_zip(zip.writer) != ARCHIVE_OK ||
            archive_write_zip_set_compression_store(zip.writer) != ARCHIVE_OK ||
            archive_write_set_bytes_per_block(zip.writer, 0) != ARCHIVE_OK ||
            archive_write_set_bytes_in_last_block(zip.writer, 1) != ARCHIVE_OK ||
            archive_write_open2(zip.writer, &zip, nullptr, take_bytes, nullptr, nullptr) != ARCHIVE_OK) {
            error = zip.writer ? archive_failure(zip, "cannot start the zip") : "cannot start the zip";
            return false;
        }
    }
    if (zip.closed) return false;
    while (zip.fd < 0) {
        if (zip.next == zip.pictures.size()) {
            zip.closed = true;
            if (archive_write_close(zip.writer) != ARCHIVE_OK) {
                error = archive_failure(zip, "cannot finish the zip");
                return false;
            }
            return !out.empty();
        }
        const StoredPicture& picture = zip.pictures[zip.next];
        StoredPicture row;
        StoreFailure failure;
        zip.fd = open_picture(zip.store, picture.id, row, failure);
        if (zip.fd < 0) {
            error = failure.detail.empty() ? "picture " + std::to_string(picture.id) + " is gone" : failure.detail;
            return false;
        }
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname_utf8(entry, zip.names[zip.next].c_str());
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_perm(entry, 0644);
        archive_entry_set_size(entry, static_cast<la_int64_t>(row.size));
        archive_entry_set_mtime(entry, zip.created, 0);
        int written = archive_write_header(zip.writer, entry);
        archive_entry_free(entry);
        if (written != ARCHIVE_OK) {
            error = archive_failure(zip, "cannot add " + zip.names[zip.next] + " to the zip");
            return false;
        }
        zip.offset = 0;
        zip.left = row.size;
        ++zip.next;
        if (zip.left == 0) {
            ::close(zip.fd);
            zip.fd = -1;
        }
    }
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(zip.buffer.size(), zip.left));
    ssize_t n = ::pread(zip.fd, zip.buffer.data(), want, static_cast<off_t>(zip.offset));
    if (n <= 0) {
        error = "picture " + std::to_string(zip.pictures[zip.next - 1].id) + " ended before its stored size";
        return false;
    }
    if (archive_write_data(zip.writer, zip.buffer.data(), static_cast<std::size_t>(n)) != n) {
        error = archive_failure(zip, "cannot write to the zip");
        return false;
    }
    zip.offset += static_cast<std::uint64_t>(n);
    zip.left -= static_cast<std::uint64_t>(n);
    if (zip.left == 0) {
        ::close(zip.fd);
        zip.fd = -1;
    }
    return true;
}

std::string album_zip_name(const StoredAlbum& album) { return album_title(album) + ".zip"; }
