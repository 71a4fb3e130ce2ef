// The PostgreSQL backend of gallery_store.h in a build made without libpq: it says so and stores nothing.
#include "store_backends.h"

namespace {
constexpr const char* absent = "this gallery-server was built without PostgreSQL (install libpq-dev and rebuild)";
}

struct PostgresStore {};

std::optional<std::string> postgres_open(const std::string&, const std::filesystem::path&, GalleryStore&) {
    return absent;
}
StoreReport postgres_check(const std::string&) { return StoreReport{false, std::string("state: ") + absent + "\n"}; }
std::uint64_t postgres_stored_bytes(const GalleryStore&, std::string& error) {
    error = absent;
    return 0;
}
std::int64_t postgres_store_album(const GalleryStore&, NewAlbum&, StoreFailure& failure) {
    failure = StoreFailure{absent, false};
    return 0;
}
std::optional<StoredAlbum> postgres_load_album(const GalleryStore&, std::int64_t, std::string& error) {
    error = absent;
    return std::nullopt;
}
std::optional<StoredPicture> postgres_load_picture(const GalleryStore&, std::int64_t, std::string& error) {
    error = absent;
    return std::nullopt;
}
int postgres_open_picture(const GalleryStore&, std::int64_t, StoredPicture&, std::string& error) {
    error = absent;
    return -1;
}
