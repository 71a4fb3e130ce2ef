// The off-network half of the album page, the picture view and the files they link to: each entry
// point reads the store and the derived copies, and hands the network thread a page or an open file.
// Albums are found by their key on every request, so a change made anywhere is seen at once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gallery_pages.h"
#include "gallery_store.h"
#include "thumbnails.h"

// A page to answer with: 200 with its HTML, 404 or 410 with a short page, or a store failure
// (logged; 503 when the database did not answer, else 500).
struct ViewPage {
    int status = 200;
    std::string html;
    StoreFailure failure;
};

// The album under `key`, its pictures in shown order; nothing with no failure when there is none.
// A deleted album comes back with `deleted` set. `owner` says whether `cookies` (the request's
// Cookie field) hold the album's owner secret.
struct AlbumLookup {
    std::optional<StoredAlbum> album;
    StoreFailure failure;
    bool owner = false;
};
AlbumLookup look_up_album(const GalleryStore& store, std::string_view key, std::string_view cookies = {});

// 404 for no album, 410 for a deleted one, 0 for one that can be shown.
int album_unavailable(const AlbumLookup& lookup);
ViewPage unavailable_page(int status);

// Page `page` (1-based) of an album found by look_up_album; 404 beyond its last page.
ViewPage album_page(const GalleryStore& store, ThumbnailMaker& maker, const StoredAlbum& album, std::size_t page,
                    bool owner);
ViewPage picture_page(const GalleryStore& store, ThumbnailMaker& maker, std::string_view key, std::int64_t number);

// A file to send: `fd` open (the receiver closes it) unless the store failed or there is none
// (`status` 404, or 410 when its album was deleted).
struct ViewFile {
    int fd = -1;
    int status = 200;
    std::uint64_t size = 0;
    std::string content_type;
    std::string disposition;  // Content-Disposition, if any
    StoreFailure failure;
};

// The original of picture `number` of the album (as a download when `download`), or its copy at
// `size` when `size` is non-zero. A picture that cannot be made smaller has no copy: 404, and its
// pages show the original.
ViewFile open_view_file(const GalleryStore& store, ThumbnailMaker& maker, std::string_view key, std::int64_t number,
                        int size, bool download);
