// Tests of what the gallery shows and sends: picture recognition, reply bodies, pages, sample pictures.
#include <gtest/gtest.h>
#include <zlib.h>

#include "gallery_pages.h"
#include "picture_type.h"
#include "sample_png.h"
#include "test_support.h"

using namespace std::string_literals;

TEST(PictureType, RecognisesTheFourFormatsBySignature) {
    EXPECT_EQ(picture_content_type("\xFF\xD8\xFF\xE0rest"s), "image/jpeg");
    EXPECT_EQ(picture_content_type(make_sample_png(2, 2, 1)), "image/png");
    EXPECT_EQ(picture_content_type("GIF89a..."s), "image/gif");
    EXPECT_EQ(picture_content_type("GIF87a"s), "image/gif");
    EXPECT_EQ(picture_content_type("RIFF\x10\0\0\0WEBPVP8 "s), "image/webp");
}

TEST(PictureType, RefusesLookAlikesAndShortFiles) {
    for (std::string bytes : {""s, "\xFF\xD8"s, "\x89PNG\r\n"s, "GIF88a"s, "RIFF\x10\0\0\0WAVEfmt "s, "RIFF\0\0\0\0WEB"s,
                              "hello.jpg"s, "<svg xmlns='http://www.w3.org/2000/svg'/>"s})
        EXPECT_TRUE(picture_content_type(bytes).empty()) << bytes;
}

TEST(UploadReplyBody, AddressAloneWhenNothingWasRefused) {
    EXPECT_EQ(upload_reply_body("http://127.0.0.1:8080/album/7", {}), "http://127.0.0.1:8080/album/7");
}

TEST(UploadReplyBody, ReportThenMarkerThenAddressWhenFilesWereRefused) {
    std::string body = upload_reply_body("http://127.0.0.1:8080/album/7",
                                         {{"notes.txt", "not a picture"}, {"b.doc", "not a picture"}});
    std::size_t marker = body.find("*****\r\n");
    ASSERT_NE(marker, std::string::npos);
    EXPECT_EQ(body.find("*****\r\n", marker + 1), std::string::npos) << "one marker only";
    EXPECT_EQ(body.substr(marker + 7), "http://127.0.0.1:8080/album/7");
    std::string report = body.substr(0, marker);
    EXPECT_NE(report.find("2 files were not added"), std::string::npos);
    EXPECT_NE(report.find("notes.txt: not a picture"), std::string::npos);
    EXPECT_NE(report.find("b.doc: not a picture"), std::string::npos);
}

TEST(AlbumAddress, JoinsBaseAndKeyWithOneSlashAndCarriesTheOwnerSecretOnlyWhenGiven) {
    const std::string key = "AAAAAAAAAAAAAAAAAAAAAA";
    EXPECT_EQ(album_address("http://127.0.0.1:8080", key), "http://127.0.0.1:8080/a/" + key);
    EXPECT_EQ(album_address("https://pics.example/gallery/", key, "s3cret"),
              "https://pics.example/gallery/a/" + key + "?owner=s3cret");
}

TEST(AlbumPage, EscapesEveryNameAndLinksEachPictureByItsNumber) {
    StoredAlbum album{3, "2024-01-02 03:04:05", "L", "true",
                      {{10, "<script>alert(1)</script>.png", "image/png", 5, 1}, {11, "a\"b'&c.jpg", "image/jpeg", 6, 2}},
                      {}, "AAAAAAAAAAAAAAAAAAAAAA"};
    std::string html = album_page_html(album);
    EXPECT_EQ(html.find("<script>alert"), std::string::npos);
    EXPECT_NE(html.find("&lt;script&gt;alert(1)&lt;/script&gt;.png"), std::string::npos);
    EXPECT_NE(html.find("alt=\"a&quot;b&#39;&amp;c.jpg\""), std::string::npos);
    EXPECT_NE(html.find("src=\"/a/AAAAAAAAAAAAAAAAAAAAAA/1/original\""), std::string::npos);
    EXPECT_NE(html.find("src=\"/a/AAAAAAAAAAAAAAAAAAAAAA/2/original\""), std::string::npos);
    EXPECT_NE(html.find("2 pictures"), std::string::npos);
}

TEST(AlbumPage, EmptyAlbumSaysSo) {
    EXPECT_NE(album_page_html(StoredAlbum{1, "now", "", "", {}, {}}).find("no pictures"), std::string::npos);
}

TEST(SamplePng, DecodesToTheRequestedSizeWithValidChecksums) {
    for (auto [width, height] : {std::pair{1u, 1u}, std::pair{160u, 120u}, std::pair{200u, 150u}}) {
        std::string png = make_sample_png(width, height, 3);
        ASSERT_TRUE(png.starts_with("\x89PNG\r\n\x1A\n"));
        auto be32 = [&](std::size_t at) {
            return (std::uint32_t(std::uint8_t(png[at])) << 24) | (std::uint32_t(std::uint8_t(png[at + 1])) << 16) |
                   (std::uint32_t(std::uint8_t(png[at + 2])) << 8) | std::uint32_t(std::uint8_t(png[at + 3]));
        };
        EXPECT_EQ(be32(16), width);
        EXPECT_EQ(be32(20), height);
        std::string idat;
        for (std::size_t at = 8; at + 12 <= png.size();) {
            std::uint32_t length = be32(at);
            std::string_view type(png.data() + at + 4, 4);
            std::uint32_t crc = crc32(0, reinterpret_cast<const Bytef*>(png.data() + at + 4), length + 4);
            EXPECT_EQ(crc, be32(at + 8 + length)) << type;
            if (type == "IDAT") idat.append(png, at + 8, length);
            at += 12 + length;
        }
        std::string raw(height * (1 + 3 * width), '\0');
        uLongf raw_size = raw.size();
        ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(raw.data()), &raw_size,
                             reinterpret_cast<const Bytef*>(idat.data()), idat.size()),
                  Z_OK);
        EXPECT_EQ(raw_size, raw.size());
    }
}

TEST(SamplePng, LargePicturesSpanSeveralStoredBlocks) {
    std::string png = make_sample_png(300, 300, 1);  // 270300 raw bytes: five blocks
    EXPECT_GT(png.size(), 270300u);
    EXPECT_EQ(picture_content_type(png), "image/png");
}
