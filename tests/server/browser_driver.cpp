// The DevTools pipe: NUL-terminated JSON messages; replies carry their command's id first.
#include "browser_driver.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <thread>
#include <vector>

#include "upload_body.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto reply_wait = std::chrono::seconds(30);
constexpr auto load_wait = std::chrono::seconds(20);

// The next whole message, or nothing when none arrived before `until`.
std::optional<std::string> next_message(Browser& browser, Clock::time_point until) {
    while (true) {
        std::size_t end = browser.unread.find('\0');
        if (end != std::string::npos) {
            std::string message = browser.unread.substr(0, end);
            browser.unread.erase(0, end + 1);
            return message;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0) return std::nullopt;
        pollfd ready{browser.from_browser, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(left)) <= 0) continue;
        char buffer[65536];
        ssize_t n = ::read(browser.from_browser, buffer, sizeof buffer);
        if (n <= 0) return std::nullopt;
        browser.unread.append(buffer, static_cast<std::size_t>(n));
    }
}

std::string first_string(const std::string& json, const std::string& field) {
    std::smatch found;
    if (std::regex_search(json, found, std::regex("\"" + field + "\":\"((?:[^\"\\\\]|\\\\.)*)\""))) return found[1].str();
    return {};
}

// The inside of a JSON string literal, unescaped.
std::string json_unquote(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        char c = text[++i];
        switch (c) {
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'u': {
                std::uint32_t point = i + 4 < text.size() ? std::stoul(std::string(text.substr(i + 1, 4)), nullptr, 16) : 0;
                i += 4;
                if (point >= 0xD800 && point < 0xDC00 && i + 6 < text.size() && text[i + 1] == '\\') {
                    std::uint32_t low = std::stoul(std::string(text.substr(i + 3, 4)), nullptr, 16);
                    point = 0x10000 + ((point - 0xD800) << 10) + (low - 0xDC00);
                    i += 6;
                }
                out += to_utf8(std::u32string(1, static_cast<char32_t>(point)));
                break;
            }
            default: out += c;
        }
    }
    return out;
}

}  // namespace

std::string json_quote(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

Browser::~Browser() {
    if (to_browser >= 0) ::close(to_browser);
    if (from_browser >= 0) ::close(from_browser);
    if (pid > 0) {
        ::kill(-pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
}

std::unique_ptr<Browser> start_browser(std::string& why) {
    if (::access(CHROMIUM_EXE, X_OK) != 0) {
        why = std::string(CHROMIUM_EXE) + " is not installed";
        return nullptr;
    }
    auto browser = std::make_unique<Browser>();
    int commands[2], replies[2];
    if (::pipe2(commands, O_CLOEXEC) != 0 || ::pipe2(replies, O_CLOEXEC) != 0) {
        why = "no pipes";
        return nullptr;
    }
    std::vector<std::string> argv{CHROMIUM_EXE, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                                  "--no-first-run", "--disable-background-networking", "--disable-component-update",
                                  "--disable-sync", "--disable-dev-shm-usage", "--remote-debugging-pipe",
                                  "--user-data-dir=" + browser->profile.path.string(), "about:blank"};
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::string log = (browser->profile.path / "chromium.log").string();
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_adddup2(&actions, commands[0], 3);
    posix_spawn_file_actions_adddup2(&actions, replies[1], 4);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(commands[0]);
    ::close(replies[1]);
    browser->to_browser = commands[1];
    browser->from_browser = replies[0];
    if (rc != 0) {
        why = "cannot start " + argv[0];
        return nullptr;
    }
    browser->pid = pid;
    std::optional<std::string> made = browser_call(*browser, "Target.createTarget", R"({"url":"about:blank"})", false);
    std::string target = made ? first_string(*made, "targetId") : std::string();
    std::optional<std::string> attached =
        target.empty() ? std::nullopt
                       : browser_call(*browser, "Target.attachToTarget",
                                      "{\"targetId\":" + json_quote(target) + ",\"flatten\":true}", false);
    browser->session = attached ? first_string(*attached, "sessionId") : std::string();
    if (browser->session.empty()) {
        why = "Chromium did not open a page: " + read_whole_file(log);
        return nullptr;
    }
    return browser;
}

std::optional<std::string> browser_call(Browser& browser, std::string_view method, std::string_view params_json,
                                        bool on_page) {
    int id = browser.next_id++;
    std::string message = "{\"id\":" + std::to_string(id) + ",\"method\":" + json_quote(method) +
                          ",\"params\":" + std::string(params_json);
    if (on_page) message += ",\"sessionId\":" + json_quote(browser.session);
    message += "}";
    message += '\0';
    for (std::size_t sent = 0; sent < message.size();) {
        ssize_t n = ::write(browser.to_browser, message.data() + sent, message.size() - sent);
        if (n <= 0) return std::nullopt;
        sent += static_cast<std::size_t>(n);
    }
    std::string reply_start = "{\"id\":" + std::to_string(id) + ",";
    auto until = Clock::now() + reply_wait;
    while (std::optional<std::string> reply = next_message(browser, until))
        if (reply->starts_with(reply_start)) return reply;  // events and other replies are not waited for
    return std::nullopt;
}

std::string evaluate(Browser& browser, const std::string& script) {
    std::string wrapped = "(async () => String(await (" + script + ")))()";
    std::optional<std::string> reply = browser_call(
        browser, "Runtime.evaluate", "{\"expression\":" + json_quote(wrapped) + ",\"awaitPromise\":true,\"returnByValue\":true}");
    if (!reply || reply->find("\"exceptionDetails\"") != std::string::npos || reply->find("\"error\"") != std::string::npos)
        return "<failed: " + reply.value_or("no reply") + ">";
    return json_unquote(first_string(*reply, "value"));
}

namespace {

// A page that was left carries the mark no longer; the next is waited for until it has loaded.
bool next_page_loaded(Browser& browser) {
    auto until = Clock::now() + load_wait;
    while (Clock::now() < until) {
        if (evaluate(browser, "window.__left === undefined && document.readyState === 'complete'") == "true") return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

}  // namespace

bool open_page(Browser& browser, const std::string& url) {
    evaluate(browser, "window.__left = true");
    std::optional<std::string> reply = browser_call(browser, "Page.navigate", "{\"url\":" + json_quote(url) + "}");
    if (!reply || reply->find("\"errorText\"") != std::string::npos) return false;
    return next_page_loaded(browser);
}

bool leave_page_by(Browser& browser, const std::string& script) {
    evaluate(browser, "window.__left = true");
    evaluate(browser, script);
    return next_page_loaded(browser);
}

std::optional<std::string> browser_cookie(Browser& browser, std::string_view name) {
    std::optional<std::string> reply = browser_call(browser, "Storage.getCookies", "{}", false);
    if (!reply) return std::nullopt;
    std::string start = "{\"name\":" + json_quote(name) + ",";
    std::size_t at = reply->find(start);
    if (at == std::string::npos) return std::nullopt;
    return reply->substr(at, reply->find('}', at) - at + 1);
}
