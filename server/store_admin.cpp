// The operator's commands on a store, and the running gallery's expiry of old albums. Titles, names
// and addresses are whatever uploaders sent: control characters are escaped before they reach the
// operator's terminal or a line-based listing.
#include "store_admin.h"

#include <charconv>
#include <iostream>

#include "album_keys.h"
#include "server_options.h"

namespace {

constexpr std::uint64_t most_days = 100000;

// One field of a tab-separated line: tabs, line ends and other control characters as \xNN.
std::string field(std::string_view text) {
    std::string out;
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '\\') {
            static constexpr char hex[] = "0123456789abcdef";
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

std::string failed(const std::string& what, const StoreFailure& failure) { return what + ": " + failure.detail + "\n"; }

std::string list_text(const std::vector<AlbumSummary>& albums) {
    std::string text = "key\tcreated\tpictures\tbytes\tuploader\ttitle\n";
    for (const AlbumSummary& a : albums)
        if (!a.deleted)
            text += a.key + "\t" + a.created + "\t" + std::to_string(a.pictures) + "\t" + std::to_string(a.bytes) + "\t" +
                    field(a.uploader) + "\t" + field(a.title) + "\n";
    return text;
}

std::string show_text(const StoredAlbum& album) {
    std::uint64_t bytes = 0;
    for (const StoredPicture& p : album.pictures) bytes += p.size;
    std::string text = "key: " + album.key + "\naddress: " + album_address(album.key) + "\ntitle: " + field(album.title) +
                       "\ncreated: " + album.created + "\nuploader: " + field(album.uploader) +
                       "\nclient: " + field(album.client) + "\nstate: " + (album.deleted ? "deleted" : "live") +
                       "\nowner link: " + (album.owner_hash.empty() ? "none" : "issued") +
                       "\nstored before keys: " + (album.legacy ? "yes" : "no") +
                       "\nrevision: " + std::to_string(album.revision) + "\npictures: " +
                       std::to_string(album.pictures.size()) + ", bytes: " + std::to_string(bytes) + "\n";
    if (!album.pictures.empty()) text += "number\tbytes\ttype\tname\n";
    for (const StoredPicture& p : album.pictures)
        text += std::to_string(p.number) + "\t" + std::to_string(p.size) + "\t" + field(p.content_type) + "\t" +
                field(p.name) + "\n";
    return text;
}

AdminOutcome delete_by_key(const GalleryStore& store, const std::string& key) {
    StoreFailure failure;
    auto album = find_album(store, key, failure);
    if (!album) return {1, failure.detail.empty() ? "no album has the key " + key + "\n" : failed("cannot read", failure)};
    if (album->deleted) return {1, "album " + key + " is already deleted\n"};
    std::uint64_t bytes = 0;
    for (const StoredPicture& p : album->pictures) bytes += p.size;
    if (!delete_album(store, album->id, failure))
        return {1, failure.detail.empty() ? "album " + key + " is already deleted\n" : failed("cannot delete", failure)};
    return {0, "deleted album " + key + ": " + std::to_string(album->pictures.size()) + " pictures, " +
                   std::to_string(bytes) + " bytes\n"};
}

std::string expired_text(const std::vector<std::string>& keys, std::uint64_t days) {
    std::string text = "expired " + std::to_string(keys.size()) + " albums older than " + std::to_string(days) + " days\n";
    for (const std::string& key : keys) text += key + "\n";
    return text;
}

}  // namespace

bool is_admin_command(std::string_view word) {
    return word == "list" || word == "show" || word == "delete" || word == "expire";
}

AdminOutcome admin_command(std::string_view command, const std::vector<std::string>& args) {
    bool takes_argument = command != "list";
    std::string usage = "usage: gallery-server " + std::string(command) +
                        (command == "expire" ? " DAYS" : takes_argument ? " KEY" : "") +
                        " --data DIR [--database CONNINFO]\n";
    // A key may begin with '-' (one in 64 do), so only what is not a key is taken for a missing one.
    bool key_given = command != "expire" && !args.empty() && is_album_key(args.front());
    if (takes_argument && (args.empty() || (args.front().starts_with("-") && !key_given))) return {2, usage};
    std::string argument = takes_argument ? args.front() : "";
    std::uint64_t days = 0;
    if (command == "expire") {
        auto [end, ec] = std::from_chars(argument.data(), argument.data() + argument.size(), days);
        if (ec != std::errc() || end != argument.data() + argument.size() || days < 1 || days > most_days)
            return {2, "expire takes a whole number of days from 1 to " + std::to_string(most_days) + ", got \"" +
                           field(argument) + "\"\n"};
    } else if (takes_argument && !is_album_key(argument)) {
        // Appended piece by piece: GCC 12 misreads a literal joined to a temporary as an overlapping
        // copy (-Wrestrict) in optimised builds.
        std::string refusal = "\"";
        refusal += field(argument);
        refusal += "\" is not an album key (22 characters of A-Z, a-z, 0-9, - and _)\n";
        return {2, refusal};
    }
    // The gallery's own options are taken as they stand, so the unit's option line can be reused.
    OptionsParse options =
        parse_server_options(std::vector<std::string>(args.begin() + (takes_argument ? 1 : 0), args.end()));
    if (!options.error.empty()) return {2, options.error + "\n" + usage};

    // A mistyped folder must not become a new, empty store.
    std::error_code ec;
    if (!options.config.database && !std::filesystem::exists(sqlite_database_file(options.config.data_dir), ec))
        return {1, "no store in " + options.config.data_dir.string() + "\n"};
    StoreLocation where{options.config.data_dir, options.config.database, options.config.store};
    where.beside_server = true;
    GalleryStore store;
    if (auto error = open_store(where, store)) return {1, *error + "\n"};
    if (command != "list" && command != "show" && !store.read_only.empty())
        return {1, "the store cannot be written: " + store.read_only + "\n"};

    StoreFailure failure;
    if (command == "list") {
        auto albums = list_albums(store, failure);
        if (!failure.detail.empty()) return {1, failed("cannot list the albums", failure)};
        return {0, list_text(albums)};
    }
    if (command == "show") {
        auto album = find_album(store, argument, failure);
        if (!album)
            return {1, failure.detail.empty() ? "no album has the key " + argument + "\n" : failed("cannot read", failure)};
        return {0, show_text(*album)};
    }
    if (command == "delete") return delete_by_key(store, argument);
    auto keys = expire_albums(store, std::chrono::hours(24 * days), failure);
    if (!failure.detail.empty()) return {1, expired_text(keys, days) + failed("cannot expire every album", failure)};
    return {0, expired_text(keys, days)};
}

AlbumExpiry::AlbumExpiry(const GalleryStore& store, std::chrono::hours older_than) {
    if (older_than.count() == 0) return;
    // A copy of the store: its backend is shared, and the thread never outlives this object.
    thread_ = std::thread([this, store, older_than] {
        std::unique_lock guard(lock_);
        do {
            guard.unlock();
            StoreFailure failure;
            auto keys = expire_albums(store, older_than, failure);
            if (!keys.empty())
                std::cerr << "gallery-server: " << expired_text(keys, static_cast<std::uint64_t>(older_than.count() / 24))
                          << std::flush;
            if (!failure.detail.empty())
                std::cerr << "gallery-server: " << failed("cannot expire old albums", failure) << std::flush;
            guard.lock();
        } while (!wake_.wait_for(guard, std::chrono::hours(1), [this] { return stopping_; }));
    });
}

AlbumExpiry::~AlbumExpiry() {
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}
