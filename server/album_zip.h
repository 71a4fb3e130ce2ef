// An album as one zip, written a piece at a time so it can stream to a client as it is made: pictures
// are stored as they are (already compressed), ZIP64 where sizes need it, names made distinct.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "gallery_store.h"

struct AlbumZip;
struct AlbumZipDeleter {
    void operator()(AlbumZip* zip) const;
};
using AlbumZipWriter = std::unique_ptr<AlbumZip, AlbumZipDeleter>;

// The names the pictures get in the zip, in the album's order: labels, with a " (2)", " (3)"…
// before the extension of any that would meet an earlier one (letter case aside).
std::vector<std::string> distinct_names(const std::vector<StoredPicture>& pictures);

// `album.pictures` in the order they are shown. The store must outlive the writer.
AlbumZipWriter start_album_zip(const GalleryStore& store, const StoredAlbum& album);

// Appends the zip's next piece to `out` (about 64 KiB of a picture at a time, and the headers around
// it). Returns false once the zip is complete, or with `error` set when it cannot go on. Reads the
// disk, so it runs off the network thread.
bool next_zip_piece(AlbumZip& zip, std::string& out, std::string& error);

// The file name offered for the album's zip.
std::string album_zip_name(const StoredAlbum& album);
