// The page cache: an LRU list beside a map, trimmed to its byte budget on every insertion.
#include "page_cache.h"

#include <cstdio>
#include <functional>

namespace {

std::uint64_t cost(const std::string& key, const CachedPage& page) {
    return key.size() + page.body.size() + page.content_type.size() + page.etag.size() + sizeof(CachedPage) + 64;
}

void forget(PageCache& cache, std::unordered_map<std::string, PageCache::Entry>::iterator it) {
    cache.bytes -= cost(it->first, *it->second.page);
    cache.order.erase(it->second.place);
    cache.entries.erase(it);
}

}  // namespace

// Appended piece by piece: GCC 12 misreads a literal joined to a temporary string as an overlapping
// copy (-Wrestrict) in optimised builds.
std::string page_key(std::string_view route, std::string_view album_key, std::int64_t revision) {
    std::string key(route);
    key += '/';
    key += album_key;
    key += '/';
    key += std::to_string(revision);
    return key;
}

std::shared_ptr<const CachedPage> find_page(PageCache& cache, const std::string& key) {
    auto it = cache.entries.find(key);
    if (it == cache.entries.end()) return nullptr;
    cache.order.splice(cache.order.begin(), cache.order, it->second.place);
    return it->second.page;
}

std::shared_ptr<const CachedPage> keep_page(PageCache& cache, const std::string& key, CachedPage page) {
    // Rendering is deterministic, so a hash of the bytes names this version of the page.
    char tag[32];
    std::snprintf(tag, sizeof tag, "\"%zx-%zx\"", page.body.size(), std::hash<std::string>{}(page.body));
    page.etag = tag;
    auto kept = std::make_shared<const CachedPage>(std::move(page));
    if (auto old = cache.entries.find(key); old != cache.entries.end()) forget(cache, old);
    std::uint64_t size = cost(key, *kept);
    if (size > cache.budget) return kept;
    while (cache.bytes + size > cache.budget && !cache.order.empty()) forget(cache, cache.entries.find(cache.order.back()));
    cache.order.push_front(key);
    cache.entries.emplace(key, PageCache::Entry{kept, cache.order.begin()});
    cache.bytes += size;
    return kept;
}

void drop_album_pages(PageCache& cache, std::string_view album_key) {
    std::string middle(1, '/');
    middle += album_key;
    middle += '/';
    for (auto it = cache.entries.begin(); it != cache.entries.end();) {
        auto next = std::next(it);
        if (it->first.find(middle) != std::string::npos) forget(cache, it);
        it = next;
    }
}

bool etag_matches(std::string_view if_none_match, std::string_view etag) {
    while (!if_none_match.empty()) {
        std::size_t comma = if_none_match.find(',');
        std::string_view tag = if_none_match.substr(0, comma);
        while (!tag.empty() && (tag.front() == ' ' || tag.front() == '\t')) tag.remove_prefix(1);
        while (!tag.empty() && (tag.back() == ' ' || tag.back() == '\t')) tag.remove_suffix(1);
        if (tag.starts_with("W/")) tag.remove_prefix(2);
        if (tag == "*" || tag == etag) return true;
        if (comma == std::string_view::npos) break;
        if_none_match.remove_prefix(comma + 1);
    }
    return false;
}
