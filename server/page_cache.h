// Rendered pages, kept within a byte budget, least recently used first out. An album's pages do not
// change until the album does, so each is rendered once (off the network thread) and then served
// from here with an ETag. Entries are keyed on the album's revision, which the store bumps with
// every change: a page is served only for the revision just read from the store, so a change made
// by another instance or the operator is never hidden behind a kept page. Touched only on the
// network thread.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

struct CachedPage {
    int status = 200;
    std::string content_type;
    std::string body;
    std::string etag;  // quoted, as sent
};

// A request waiting for a page being rendered; it gets the page, or what stands for it (a refusal).
using PageWaiter = std::function<void(const std::shared_ptr<const CachedPage>&)>;

struct PageCache {
    std::uint64_t budget = 0;
    std::uint64_t bytes = 0;
    // Keys are "<route>/<album key>/<revision>", so all of an album's pages can be dropped together.
    std::list<std::string> order;  // most recently used first
    struct Entry {
        std::shared_ptr<const CachedPage> page;
        std::list<std::string>::iterator place;
    };
    std::unordered_map<std::string, Entry> entries;
    // Pages being rendered, by key, with the requests that found them missing meanwhile: one render
    // serves them all, so a burst of requests for a new page costs one page in memory, not one each.
    // The render under way owns its waiters, so they go with it whatever stops it.
    std::unordered_map<std::string, std::weak_ptr<std::vector<PageWaiter>>> waiting;
};

std::string page_key(std::string_view route, std::string_view album_key, std::int64_t revision);

// Null when absent; a hit becomes the most recently used.
std::shared_ptr<const CachedPage> find_page(PageCache& cache, const std::string& key);
// Makes the ETag from the bytes and keeps the page unless it alone is over the budget; returns it either way.
std::shared_ptr<const CachedPage> keep_page(PageCache& cache, const std::string& key, CachedPage page);
// Forgets every page of an album, whatever its revision: the memory of a changed or deleted album.
void drop_album_pages(PageCache& cache, std::string_view album_key);

// Whether an If-None-Match value names `etag` ("*" or a list of tags, weak ones included).
bool etag_matches(std::string_view if_none_match, std::string_view etag);
