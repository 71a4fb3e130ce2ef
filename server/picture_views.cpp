// Pages and files around an album, read on a worker thread.
#include "picture_views.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "owner_access.h"

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

ViewPage missing(std::string what) { return ViewPage{404, not_found_page_html(what), {}}; }

}  // namespace

AlbumLookup look_up_album(const GalleryStore& store, std::string_view key, std::string_view cookies) {
    AlbumLookup lookup;
    lookup.album = find_album(store, key, lookup.failure);
    if (!lookup.album) return lookup;
    put_in_shown_order(*lookup.album);
    lookup.owner = !lookup.album->deleted && holds_owner_cookie(*lookup.album, cookies);
    return lookup;
}

int album_unavailable(const AlbumLookup& lookup) {
    if (!lookup.album) return 404;
    return lookup.album->deleted ? 410 : 0;
}

ViewPage unavailable_page(int status) {
    if (status == 410) return ViewPage{410, gone_page_html(), {}};
    return missing("There is no album at this address.");
}

ViewPage album_page(const GalleryStore& store, ThumbnailMaker& maker, const StoredAlbum& album, std::size_t page,
                    bool owner) {
    std::size_t pages = album_page_count(album);
    if (page < 1 || page > pages)
        return missing("This album has " + (pages == 1 ? std::string("1 page") : std::to_string(pages) + " pages") +
                       ", not " + std::to_string(page) + ".");
    // Only the shown pictures' facts are read: a long album's other pages cost nothing here.
    std::size_t first = (page - 1) * album_page_cards;
    std::size_t end = std::min(album.pictures.size(), first + album_page_cards);
    std::vector<PictureFacts> facts;
    for (std::size_t i = first; i < end; ++i) facts.push_back(facts_of(store, maker, album.pictures[i].id));
    return ViewPage{200, album_page_html(album, facts, page, owner), {}};
}

ViewPage picture_page(const GalleryStore& store, ThumbnailMaker& maker, std::string_view key, std::int64_t number) {
    AlbumLookup lookup = look_up_album(store, key);
    if (!lookup.failure.detail.empty()) return ViewPage{500, {}, lookup.failure};
    if (int status = album_unavailable(lookup)) return unavailable_page(status);
    const StoredAlbum& album = *lookup.album;
    for (std::size_t i = 0; i < album.pictures.size(); ++i)
        if (album.pictures[i].number == number)
            return ViewPage{200, picture_page_html(album, i, facts_of(store, maker, album.pictures[i].id)), {}};
    return missing("This album has no picture " + std::to_string(number) + ".");
}

ViewFile open_view_file(const GalleryStore& store, ThumbnailMaker& maker, std::string_view key, std::int64_t number,
                        int size, bool download) {
    ViewFile file;
    std::optional<StoredPicture> found = find_picture(store, key, number, file.failure);
    if (!file.failure.detail.empty()) return file;
    if (!found) {
        // Told apart only when asked for: a deleted album's files are gone, not merely missing.
        AlbumLookup lookup = look_up_album(store, key);
        file.failure = lookup.failure;
        file.status = album_unavailable(lookup) == 410 ? 410 : 404;
        return file;
    }
    StoredPicture row;
    int original = open_picture(store, found->id, row, file.failure);
    if (original < 0) {
        file.status = 404;  // removed since it was found
        return file;
    }
    if (size == 0) {
        file.fd = original;
        file.size = row.size;
        file.content_type = row.content_type;
        if (download) file.disposition = attachment_disposition(row.name);
        return file;
    }
    std::string why;
    std::filesystem::path copy = thumbnail_path(maker, found->id, original, size, why);
    ::close(original);
    if (copy.empty()) {
        file.status = 404;  // no copy: the pages link the original instead
        return file;
    }
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
