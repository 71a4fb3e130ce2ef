// Album keys and owner secrets: random, URL-safe, of the promised size; the hash is SHA-256 and the
// comparison refuses anything but the secret it was made from.
#include <gtest/gtest.h>

#include <set>

#include "album_keys.h"

TEST(AlbumKeys, TenThousandKeysAreDistinctAndWellFormed) {
    std::set<std::string> keys;
    for (int i = 0; i < 10000; ++i) {
        std::string key = new_album_key();
        ASSERT_TRUE(is_album_key(key)) << key;
        keys.insert(key);
    }
    EXPECT_EQ(keys.size(), 10000u);
    std::string secret = new_owner_secret();
    EXPECT_EQ(secret.size(), 43u);
    EXPECT_EQ(secret.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              std::string::npos)
        << secret;
    EXPECT_NE(new_owner_secret(), secret);
}

TEST(AlbumKeys, OnlyWhatTheGeneratorWritesIsAKey) {
    struct Case {
        std::string text;
        bool key;
    };
    for (const Case& c : std::vector<Case>{
             {"AAAAAAAAAAAAAAAAAAAAAA", true},
             {"abcdefghijklmnopqrs-_w", true},
             {"AAAAAAAAAAAAAAAAAAAAA", false},     // 21 characters
             {"AAAAAAAAAAAAAAAAAAAAAAA", false},   // 23
             {"AAAAAAAAAAAAAAAAAAAAAB", false},    // bits beyond the 128th set
             {"AAAAAAAAAAAAAAAAAAAA+A", false},    // base64, not base64url
             {"AAAAAAAAAAAAAAAAAAAA/A", false},
             {"../../../../etc/passwd", false},
             {std::string("AAAAAAAAAAAAAAAAAAAA\0A", 22), false},
             {"", false},
         }) {
        EXPECT_EQ(is_album_key(c.text), c.key) << c.text;
    }
}

TEST(OwnerSecrets, HashIsSha256AndOnlyTheSecretMatchesIt) {
    // FIPS 180-2 test vectors.
    EXPECT_EQ(owner_secret_hash(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(owner_secret_hash("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");

    std::string secret = new_owner_secret();
    std::string stored = owner_secret_hash(secret);
    struct Case {
        std::string secret, stored;
        bool matches;
    };
    for (const Case& c : std::vector<Case>{
             {secret, stored, true},
             {secret + "x", stored, false},
             {stored, stored, false},           // the hash itself is no secret
             {"", owner_secret_hash(""), false},  // nor is an empty one, whatever is stored
             {secret, "", false},               // an album without an owner link
             {secret, stored.substr(0, 63), false},
         }) {
        EXPECT_EQ(owner_secret_matches(c.secret, c.stored), c.matches) << c.secret << " / " << c.stored;
    }
}
