// The owner's capability on the web, without a server: cookies, origins, form fields and names.
#include <gtest/gtest.h>

#include "album_keys.h"
#include "gallery_pages.h"
#include "owner_access.h"

namespace {

const std::string key = "AbCdEfGhIjKlMnOpQrSt-w";

}  // namespace

TEST(OwnerCookie, OnlyTheAlbumsOwnSecretUnderTheOwnerNameCounts) {
    const std::string secret = new_owner_secret();
    StoredAlbum album;
    album.key = key;
    album.owner_hash = owner_secret_hash(secret);
    struct Case {
        std::string cookies;
        bool owner;
    };
    for (const Case& c : std::vector<Case>{
             {"owner=" + secret, true},
             {"theme=dark; owner=" + secret + "; lang=en", true},
             {"owner=wrong; owner=" + secret, true},  // another album's cookie on a wider path comes first
             {" owner = " + secret + " ", true},
             {"", false},
             {"owner=", false},
             {"owner=" + secret.substr(1), false},
             {"xowner=" + secret, false},
             {"owner=" + album.owner_hash, false},  // the stored hash is not the capability
         }) {
        SCOPED_TRACE(c.cookies);
        EXPECT_EQ(holds_owner_cookie(album, c.cookies), c.owner);
    }
    EXPECT_FALSE(holds_owner_cookie(StoredAlbum{}, "owner=")) << "an album whose owner link was never handed out";
}

TEST(OwnPage, AChangeMustNameThisHostAsItsOrigin) {
    struct Case {
        std::string origin, referer, host;
        bool own;
    };
    for (const Case& c : std::vector<Case>{
             {"http://127.0.0.1:8080", "", "127.0.0.1:8080", true},
             {"https://Pics.Example", "", "pics.example", true},
             {"https://pics.example", "", "pics.example:443", true},
             {"", "http://127.0.0.1:8080/a/" + key, "127.0.0.1:8080", true},  // Referer when there is no Origin
             {"http://evil.example", "", "127.0.0.1:8080", false},
             {"http://127.0.0.1:9999", "", "127.0.0.1:8080", false},
             {"http://127.0.0.1.evil.example", "", "127.0.0.1", false},
             {"null", "http://127.0.0.1:8080/a/" + key, "127.0.0.1:8080", false},  // a present Origin decides, even opaque
             {"", "", "127.0.0.1:8080", false},
             {"http://127.0.0.1:8080", "", "", false},
             {"http://user@127.0.0.1:8080", "", "127.0.0.1:8080", false},
             {"", "http://evil.example/?http://127.0.0.1:8080", "127.0.0.1:8080", false},
         }) {
        SCOPED_TRACE(c.origin + " | " + c.referer + " | " + c.host);
        EXPECT_EQ(from_own_page(c.origin, c.referer, c.host), c.own);
    }
}

TEST(FormValue, DecodesTheNamedFieldAndRefusesBrokenEscapes) {
    struct Case {
        std::string fields, name;
        std::optional<std::string> value;
    };
    for (const Case& c : std::vector<Case>{
             {"title=Summer+2026", "title", "Summer 2026"},
             {"a=1&title=%C3%89t%C3%A9%20%26%3D", "title", "Été &="},
             {"title=", "title", ""},
             {"title", "title", ""},
             {"subtitle=x&title=y", "title", "y"},
             {"a=1", "title", std::nullopt},
             {"title=%", "title", std::nullopt},
             {"title=%zz", "title", std::nullopt},
             {"title=a%00b", "title", std::string("a\0b", 3)},  // decoded; the name check refuses it
         }) {
        SCOPED_TRACE(c.fields);
        EXPECT_EQ(form_value(c.fields, c.name), c.value);
    }
    // A field is there even when its value cannot be read: an owner link with a broken secret is
    // still an owner link, just a wrong one.
    EXPECT_TRUE(has_field("page=2&owner=%zz", "owner"));
    EXPECT_FALSE(has_field("owners=x&xowner=y", "owner"));
}

TEST(OwnerSecret, NeverReachesTheAccessLog) {
    struct Case {
        std::string target, logged;
    };
    for (const Case& c : std::vector<Case>{{"/a/" + key + "?owner=s3cret", "/a/" + key + "?owner="},
                                           {"/a/" + key + "?page=2&owner=s3cret&x=1", "/a/" + key + "?page=2&owner=&x=1"},
                                           {"/a/" + key + "?owners=kept", "/a/" + key + "?owners=kept"},
                                           {"/?", "/?"}})
        EXPECT_EQ(without_owner_secret(c.target), c.logged) << c.target;
}

TEST(AlbumName, TrimmedUtf8WithoutControlsAndBounded) {
    struct Case {
        std::string typed;
        std::optional<std::string> kept;
    };
    for (const Case& c : std::vector<Case>{
             {"  Holiday ", "Holiday"},
             {"Été — 日本 🌊", "Été — 日本 🌊"},
             {"", ""},
             {"   ", ""},
             {std::string(longest_title, 'x'), std::string(longest_title, 'x')},
             {std::string(longest_title + 1, 'x'), std::nullopt},
             {"a\nb", std::nullopt},
             {std::string("a\0b", 3), std::nullopt},
             {"a\xC2\x85", std::nullopt},       // NEL, a C1 control
             {"a\xC3", std::nullopt},           // cut short
             {"a\xC0\xAF", std::nullopt},       // overlong '/'
             {"a\xED\xA0\x80", std::nullopt},   // a UTF-16 surrogate
             {"a\xF4\x90\x80\x80", std::nullopt},  // beyond U+10FFFF
         }) {
        SCOPED_TRACE(c.typed);
        std::string why;
        std::optional<std::string> kept = checked_title(c.typed, why);
        EXPECT_EQ(kept, c.kept);
        EXPECT_EQ(why.empty(), kept.has_value());
    }
}
