// The off-network half of the album page, the picture view and the files they link to: each entry
// point reads the store and the derived copies, and hands the network thread a page or an open file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "gallery_pages.h"
#include "gallery_store.h"
#include "thumbnails.h"

// A page to answer with: 200 with its HTML, 404 with a not-found page, or a store failure (logged;
// 503 when the database did not answer, else 500).
struct ViewPage {
    int status = 200;
    std::string html;
    StoreFailure failure;
};

// Page `page` (1-based) of the album; 404 beyond its last page.
ViewPage album_page(const GalleryStore& store, ThumbnailMaker& maker, std::int64_t album_id, std::size_t page = 1);
ViewPage picture_page(const GalleryStore& store, ThumbnailMaker& maker, std::int64_t album_id,
                      std::int64_t picture_id);

// A file to send: `fd` open (the receiver closes it) unless the store failed or there is none (404).
struct ViewFile {
    int fd = -1;
    std::uint64_t size = 0;
    std::string content_type;
    std::string disposition;  // Content-Disposition, if any
    StoreFailure failure;
};

// The original of `picture_id` (as a download when `download`), or its copy at `size` when `size` is
// non-zero. A picture that cannot be made smaller has no copy: 404, and its pages show the original.
ViewFile open_view_file(const GalleryStore& store, ThumbnailMaker& maker, std::int64_t picture_id, int size,
                        bool download);

// The album, its pictures in shown order, for its zip; nothing with no failure when there is none.
std::optional<StoredAlbum> album_for_zip(const GalleryStore& store, std::int64_t album_id, StoreFailure& failure);

