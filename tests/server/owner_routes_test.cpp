// Albums under their keys over HTTP: what pages and headers give away, the owner's changes and what
// guards them, deletion, and the old numbered links.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <regex>

#include "album_keys.h"
#include "gallery_pages.h"
#include "sample_png.h"
#include "test_support.h"

namespace {

struct Upload {
    std::string album;   // "/a/<key>"
    std::string secret;  // the owner's
};

Upload upload_pictures(int port, int count, std::uint32_t seed = 1) {
    std::vector<BodyFile> files;
    for (int i = 1; i <= count; ++i)
        files.push_back({"p" + std::to_string(i) + ".png", make_sample_png(20 + i, 20, seed + static_cast<std::uint32_t>(i))});
    HttpReply reply = raw_exchange(port, upload_request(upload_body("L", "true", files)));
    EXPECT_EQ(reply.status, 200) << reply.body;
    return Upload{album_path(reply.body), owner_secret_in(reply.body)};
}

// A form POST as a browser on the gallery's own page sends it.
std::string post(int port, const std::string& path, const std::string& form, const std::string& cookie,
                 const std::string& origin = "own") {
    std::string host = "127.0.0.1:" + std::to_string(port);
    std::string request = "POST " + path + " HTTP/1.1\r\nHost: " + host +
                          "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                          std::to_string(form.size()) + "\r\n";
    if (origin == "own") request += "Origin: http://" + host + "\r\n";
    else if (!origin.empty()) request += "Origin: " + origin + "\r\n";
    if (!cookie.empty()) request += "Cookie: owner=" + cookie + "\r\n";
    return request + "\r\n" + form;
}

// Every address a page links or loads: what the href, src, srcset and action attributes hold.
std::vector<std::string> addresses_in(const std::string& html) {
    std::vector<std::string> found;
    static const std::regex attribute("(?:href|src|action)=\"([^\"]*)\"|srcset=\"([^\"]*)\"");
    for (auto it = std::sregex_iterator(html.begin(), html.end(), attribute); it != std::sregex_iterator(); ++it) {
        if ((*it)[1].matched) {
            found.push_back((*it)[1].str());
            continue;
        }
        std::string set = (*it)[2].str();
        static const std::regex candidate("([^ ,]+) [0-9]+w");
        for (auto c = std::sregex_iterator(set.begin(), set.end(), candidate); c != std::sregex_iterator(); ++c)
            found.push_back((*c)[1].str());
    }
    return found;
}

}  // namespace

// Nothing a visitor or owner sees is numbered across the store: the only digits-only segment of
// any address is a picture's number in its own album (row ids run to 9 here), and no header has one.
TEST(AlbumKeys, NoPageOrHeaderCarriesARowId) {
    auto g = start_gallery();
    std::vector<Upload> uploads;
    for (int i = 0; i < 3; ++i) uploads.push_back(upload_pictures(g->port, 3, static_cast<std::uint32_t>(10 * i)));
    static const std::regex own_address(
        "/a/([A-Za-z0-9_-]{22})(?:/([1-3])(?:/(?:original|download|remove|[0-9]+px))?|/album\\.zip|/rename|/delete)?"
        "(?:\\?page=[0-9]+)?|/static/album\\.(?:css|js)");
    for (const Upload& upload : uploads) {
        SCOPED_TRACE(upload.album);
        std::string key = upload.album.substr(3);
        EXPECT_TRUE(is_album_key(key));
        // Visitor and owner pages, and the picture view.
        std::vector<HttpReply> replies{http_get(g->port, upload.album),
                                       http_get(g->port, upload.album, "Cookie: owner=" + upload.secret + "\r\n"),
                                       http_get(g->port, upload.album + "/2")};
        EXPECT_NE(replies[1].body.find("action=\"" + upload.album + "/delete\""), std::string::npos) << "the owner's page";
        EXPECT_EQ(replies[0].body.find("<form"), std::string::npos) << "a visitor's page has no tools";
        // Both under one address: no shared cache may hand the owner's page to a visitor.
        EXPECT_EQ(header_value(replies[1], "Cache-Control"), "private, no-cache");
        EXPECT_EQ(header_value(replies[0], "Vary"), "Cookie");
        EXPECT_NE(header_value(replies[0], "ETag"), header_value(replies[1], "ETag"));
        for (const HttpReply& reply : replies) {
            ASSERT_EQ(reply.status, 200);
            for (const std::string& address : addresses_in(reply.body)) {
                std::smatch parts;
                EXPECT_TRUE(std::regex_match(address, parts, own_address)) << address;
                if (parts[1].matched) {
                    EXPECT_EQ(parts[1].str(), key) << address;
                }
            }
            EXPECT_EQ(reply.head.find("/album/"), std::string::npos) << reply.head;
            EXPECT_EQ(reply.head.find("/files/"), std::string::npos) << reply.head;
        }
    }
    HttpReply home = http_get(g->port, "/");
    EXPECT_EQ(home.body.find("album"), std::string::npos) << "the home page no longer tells how to find albums: " << home.body;
}

TEST(OwnerLink, TheRightSecretSetsTheCookieAndEveryAnswerLandsOnTheCleanAddress) {
    ServerConfig config;
    config.public_url = "https://pics.example";
    auto g = start_gallery(config);
    HttpReply reply = raw_exchange(g->port, upload_request(upload_body("L", "true", {{"a.png", make_sample_png(9, 9, 1)}})));
    ASSERT_EQ(reply.status, 200);
    ASSERT_TRUE(reply.body.starts_with("https://pics.example/a/")) << reply.body;
    Upload up{album_path(reply.body), owner_secret_in(reply.body)};
    struct Case {
        std::string query;
        bool cookie;
    };
    for (const Case& c : std::vector<Case>{{"?owner=" + up.secret, true},
                                           {"?page=1&owner=" + up.secret, true},
                                           {"?owner=" + up.secret.substr(1), false},
                                           {"?owner=%zz", false}}) {
        SCOPED_TRACE(c.query);
        HttpReply landed = http_get(g->port, up.album + c.query);
        EXPECT_EQ(landed.status, 303);
        EXPECT_EQ(header_value(landed, "Location"), up.album);
        EXPECT_EQ(header_value(landed, "Cache-Control"), "no-store");
        EXPECT_EQ(header_value(landed, "Set-Cookie"),
                  c.cookie ? "owner=" + up.secret + "; Path=" + up.album + "; HttpOnly; SameSite=Strict; Secure; Max-Age=31536000" : "");
    }
}

// Every change needs the cookie, a request from the gallery's own page and a whole body within bounds
// and time; each refusal leaves the album as it was.
TEST(OwnerChanges, EachGuardRefusesAndTheAlbumStaysAsItWas) {
    ServerConfig config;
    config.budgets.form_time = std::chrono::seconds(1);
    auto g = start_gallery(config);
    Upload up = upload_pictures(g->port, 2);
    std::string own = "127.0.0.1:" + std::to_string(g->port);
    std::string halfway = post(g->port, up.album + "/rename", "title=Halfway", up.secret);
    struct Case {
        const char* what;
        std::string request;
        int status;
    };
    for (const Case& c : std::vector<Case>{
             {"no cookie", post(g->port, up.album + "/delete", "", ""), 403},
             {"another secret", post(g->port, up.album + "/delete", "", new_owner_secret()), 403},
             {"another site", post(g->port, up.album + "/delete", "", up.secret, "http://elsewhere.example"), 403},
             {"no origin or referer", post(g->port, up.album + "/delete", "", up.secret, ""), 403},
             {"no such picture", post(g->port, up.album + "/9/remove", "", up.secret), 404},
             {"no such album", post(g->port, "/a/AAAAAAAAAAAAAAAAAAAAAA/delete", "", up.secret), 404},
             {"no such change", post(g->port, up.album + "/destroy", "", up.secret), 404},
             {"a name with a control", post(g->port, up.album + "/rename", "title=a%0Ab", up.secret), 400},
             {"no name", post(g->port, up.album + "/rename", "name=x", up.secret), 400},
             {"a body over the form limit", post(g->port, up.album + "/rename", "title=" + std::string(5000, 'x'), up.secret), 413},
             {"a chunked body", "POST " + up.album + "/rename HTTP/1.1\r\nHost: " + own + "\r\nOrigin: http://" + own +
                                    "\r\nCookie: owner=" + up.secret + "\r\nTransfer-Encoding: chunked\r\n\r\n5\r\ntitle\r\n0\r\n\r\n",
              411},
             {"a form that stops halfway", halfway.substr(0, halfway.size() - 4), 408},
         }) {
        SCOPED_TRACE(c.what);
        HttpReply reply = raw_exchange(g->port, c.request);
        EXPECT_EQ(reply.status, c.status) << reply.body;
    }
    HttpReply page = http_get(g->port, up.album);
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("2 pictures"), std::string::npos);
    EXPECT_EQ(page.body.find("Halfway"), std::string::npos);
    EXPECT_EQ(count_picture_files(g->data.path), 2u);
}

// The owner's changes, then every address of a deleted album: gone for good, files and all.
TEST(OwnerChanges, RenameRemoveAndDeleteAnswerWithThePageAndDeletionIsFinal) {
    auto g = start_gallery();
    Upload up = upload_pictures(g->port, 3);
    Upload other = upload_pictures(g->port, 1, 50);
    // Thumbnails made, so their copies exist to be removed too.
    ASSERT_EQ(http_get(g->port, up.album + "/1/480px").status, 200);

    HttpReply renamed = raw_exchange(g->port, post(g->port, up.album + "/rename", "title=Sea+%26+sand", up.secret));
    EXPECT_EQ(renamed.status, 303);
    EXPECT_EQ(header_value(renamed, "Location"), up.album);
    EXPECT_NE(http_get(g->port, up.album).body.find("<h1>Sea &amp; sand</h1>"), std::string::npos);

    HttpReply removed = raw_exchange(g->port, post(g->port, up.album + "/2/remove", "", up.secret));
    EXPECT_EQ(removed.status, 303);
    EXPECT_EQ(http_get(g->port, up.album + "/2").status, 404);
    EXPECT_EQ(http_get(g->port, up.album + "/2/original").status, 404);
    EXPECT_EQ(http_get(g->port, up.album + "/3/original").status, 200) << "numbers are not shifted";
    EXPECT_NE(http_get(g->port, up.album).body.find("2 pictures"), std::string::npos);

    HttpReply deleted = raw_exchange(g->port, post(g->port, up.album + "/delete", "", up.secret));
    EXPECT_EQ(deleted.status, 200);
    EXPECT_NE(deleted.body.find("deleted"), std::string::npos);
    EXPECT_EQ(header_value(deleted, "Set-Cookie"), "owner=; Path=" + up.album + "; HttpOnly; SameSite=Strict; Max-Age=0");
    for (const std::string& address : {up.album, up.album + "?page=1", up.album + "/1", up.album + "/1/original",
                                       up.album + "/1/download", up.album + "/1/480px", up.album + "/album.zip",
                                       up.album + "/2/original"})
        EXPECT_EQ(http_get(g->port, address).status, 410) << address;
    EXPECT_EQ(raw_exchange(g->port, post(g->port, up.album + "/rename", "title=Back", up.secret)).status, 410);
    EXPECT_EQ(count_picture_files(g->data.path), 1u) << "only the other album's picture is left";
    EXPECT_EQ(http_get(g->port, other.album + "/1/original").status, 200);
}

// Album 1 stands for one stored before the upgrade (marked so, as the migration marks them); album 2
// was made after it, and its numbered links lead nowhere whatever the option says.
TEST(LegacyLinks, OldLinksRedirectOnlyForAlbumsFromBeforeKeysAndOnlyWhenTheOperatorSaysSo) {
    TempFolder data;
    const std::string old_key = "OldAlbumAAAAAAAAAAAAAA";
    {
        GalleryStore store;
        ASSERT_FALSE(open_store(data.path, store));
        StoreFailure failure;
        NewAlbum before = album_of(store, {{"a.png", make_sample_png(5, 5, 1)}, {"b.png", make_sample_png(5, 5, 2)}});
        before.key = old_key;
        NewAlbum after = album_of(store, {{"c.png", make_sample_png(5, 5, 3)}});
        ASSERT_EQ(store_album(store, before, failure), 1) << failure.detail;
        ASSERT_EQ(store_album(store, after, failure), 2) << failure.detail;
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((data.path / "gallery.sqlite").c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, "UPDATE albums SET legacy = 1 WHERE id = 1", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    for (bool on : {false, true}) {
        SCOPED_TRACE(on ? "--legacy-links on" : "--legacy-links off");
        TempFolder logs;
        LocalGallery gallery = start_local_gallery(data.path, logs.path / "log", {}, {"--legacy-links", on ? "on" : "off"});
        ASSERT_GT(gallery.port, 0) << read_whole_file(logs.path / "log");
        struct Case {
            std::string path, moved_to;  // "" for not found
        };
        for (const Case& c : std::vector<Case>{{"/album/1", "/a/" + old_key},
                                               {"/files/2", "/a/" + old_key + "/2/original"},
                                               {"/album/2", ""},
                                               {"/files/3", ""},
                                               {"/album/3", ""},
                                               {"/album/0", ""},
                                               {"/album/x", ""},
                                               {"/album/1/1", ""}}) {
            SCOPED_TRACE(c.path);
            HttpReply reply = http_get(gallery.port, c.path);
            bool moves = on && !c.moved_to.empty();
            EXPECT_EQ(reply.status, moves ? 301 : 404);
            EXPECT_EQ(header_value(reply, "Location"), moves ? c.moved_to : "");
            if (moves) {
                EXPECT_EQ(http_get(gallery.port, c.moved_to).status, 200);
            }
        }
    }
}
