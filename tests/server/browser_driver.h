// Headless Chromium driven over its DevTools pipe, so a test can open pages, click the page's own
// buttons and read cookies the way a person's browser holds them. Each Browser has its own profile.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "support/temp_folder.h"

struct Browser {
    int pid = -1;
    int to_browser = -1;    // the browser reads commands from this pipe (its descriptor 3)
    int from_browser = -1;  // and writes replies and events to this one (its descriptor 4)
    std::string unread;     // bytes of messages not yet taken
    int next_id = 1;
    std::string session;    // the page's DevTools session
    TempFolder profile;
    Browser() = default;
    Browser(const Browser&) = delete;
    Browser& operator=(const Browser&) = delete;
    ~Browser();
};

// A browser with one blank page, or nothing (with `why`) when Chromium cannot be started.
std::unique_ptr<Browser> start_browser(std::string& why);

// One DevTools command; its reply as JSON text, or nothing when none came in time. `on_page` sends
// it to the page's session, else to the browser.
std::optional<std::string> browser_call(Browser& browser, std::string_view method, std::string_view params_json,
                                        bool on_page = true);

// Opens `url` in the page and waits until it has loaded.
bool open_page(Browser& browser, const std::string& url);
// Runs `script` in the page; its value as text ("" for undefined). Promises are awaited.
std::string evaluate(Browser& browser, const std::string& script);
// Runs `script`, which leaves the page (a click on a form's button, say), and waits until the next
// page has loaded.
bool leave_page_by(Browser& browser, const std::string& script);

// The cookie named `name` as the browser keeps it (its JSON object), or nothing.
std::optional<std::string> browser_cookie(Browser& browser, std::string_view name);

// `text` as a JSON string literal.
std::string json_quote(std::string_view text);
