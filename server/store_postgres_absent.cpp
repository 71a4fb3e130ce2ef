// The PostgreSQL backend of gallery_store.h in a build made without libpq: it says so and stores nothing.
#include "store_backends.h"

namespace {
constexpr const char* absent = "this gallery-server was built without PostgreSQL (install libpq-dev and rebuild)";
}

std::optional<std::string> postgres_open(const std::string&, const std::filesystem::path&, const StoreBudgets&,
                                         GalleryStore&, bool) {
    return absent;
}
StoreReport postgres_check(const std::string&, const StoreBudgets&, const std::filesystem::path&) {
    return StoreReport{false, std::string("state: ") + absent + "\n"};
}
