// Pages and files around an album, read on a worker thread.
#include "picture_views.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace {

// Facts of one stored picture; a picture that cannot be opened has none (its original link says so).
PictureFacts facts_of(const GalleryStore& store, ThumbnailMaker& maker, std::int64_t picture_id) {
    StoredPicture row;
    StoreFailure failure;
    int fd = open_picture(store, picture_id, row, failure);
    if (fd < 0) return {};
    PictureFacts facts = picture_facts(maker, picture_id, fd);
    ::close(fd);
    return facts;
}

ViewPage missing(std::string what) {
    return ViewPage{404, not_found_page_html(what), {}};
}

std::optional<StoredAlbum> shown_album(const GalleryStore& store, std::int64_t album_id, StoreFailure& failure) {
    std::optional<StoredAlbum> album = load_album(store, album_id, failure);
    if (album) put_in_shown_order(*album);
    return album;
}

}  // namespace

ViewPage album_page(const GalleryStore& store, ThumbnailMaker& maker, std::int64_t album_id, std::size_t page) {
    StoreFailure failure;
    std::optional<StoredAlbum> album = shown_album(store, album_id, failure);
    if (!failure.detail.empty()) return ViewPage{500, {}, failure};
    if (!album) return missing("There is no album " + std::to_string(album_id) + ".");
    std::size_t pages = album_page_count(*album);
    if (page < 1 || page > pages)
        return missing("Album " + std::to_string(album_id) + " has " +
                       (pages == 1 ? std::string("1 page") : std::to_string(pages) + " pages") + ", not " +
                       std::to_string(page) + ".");
    // Only the shown pictures' facts are read: a long album's other pages cost nothing here.
    std::size_t first = (page - 1) * album_page_cards;
    std::size_t end = std::min(album->pictures.size(), first + album_page_cards);
    std::vector<PictureFacts> facts;
    for (std::size_t i = first; i < end; ++i) facts.push_back(facts_of(store, maker, album->pictures[i].id));
    return ViewPage{200, album_page_html(*album, facts, page), {}};
}

ViewPage picture_page(const GalleryStore& store, ThumbnailMaker& maker, std::int64_t album_id,
                      std::int64_t picture_id) {
    StoreFailure failure;
    std::optional<StoredAlbum> album = shown_album(store, album_id, failure);
    if (!failure.detail.empty()) return ViewPage{500, {}, failure};
    std::string what = "There is no picture " + std::to_string(picture_id) + " in album " + std::to_string(album_id) + ".";
    if (!album) return missing(what);
    for (std::size_t i = 0; i < album->pictures.size(); ++i)
        if (album->pictures[i].id == picture_id)
            return ViewPage{200, picture_page_html(*album, i, facts_of(store, maker, picture_id)), {}};
    return missing(what);
}

ViewFile open_view_file(const GalleryStore& store, ThumbnailMaker& maker, std::int64_t picture_id, int size,
                        bool download) {
    ViewFile file;
    StoredPicture row;
    int original = open_picture(store, picture_id, row, file.failure);
    if (original < 0) return file;
    if (size == 0) {
        file.fd = original;
        file.size = row.size;
        file.content_type = row.content_type;
        if (download) file.disposition = attachment_disposition(row.name);
        return file;
    }
    std::string why;
    std::filesystem::path copy = thumbnail_path(maker, picture_id, original, size, why);
    ::close(original);
    if (copy.empty()) return file;  // no copy: not found, and the pages link the original instead
    file.fd = ::open(copy.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (file.fd < 0 || ::fstat(file.fd, &info) != 0) {
        if (file.fd >= 0) ::close(file.fd);
        file.fd = -1;
        file.failure.detail = "cannot open " + copy.string();
        return file;
    }
    file.size = static_cast<std::uint64_t>(info.st_size);
    file.content_type = std::string(thumbnail_type);
    return file;
}

std::optional<StoredAlbum> album_for_zip(const GalleryStore& store, std::int64_t album_id, StoreFailure& failure) {
    return shown_album(store, album_id, failure);
}
