// Body parser tests on crafted bodies, grouped by the kind of fault.
#include <gtest/gtest.h>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdio>

#include "sample_png.h"
#include "test_support.h"
#include "upload_body.h"

namespace {

const UploadLimits defaults{};

UploadAlbum expect_album(std::string_view body, const UploadLimits& limits = defaults) {
    BodyParse parsed = parse_upload_body(body, limits);
    if (auto* fault = std::get_if<BodyFault>(&parsed)) {
        ADD_FAILURE() << "refused: " << fault->reason;
        return {};
    }
    return std::get<UploadAlbum>(parsed);
}

BodyFault expect_fault(std::string_view body, const UploadLimits& limits = defaults) {
    BodyParse parsed = parse_upload_body(body, limits);
    if (!std::holds_alternative<BodyFault>(parsed)) {
        ADD_FAILURE() << "accepted a bad body";
        return {};
    }
    BodyFault fault = std::get<BodyFault>(parsed);
    EXPECT_FALSE(fault.reason.empty());
    EXPECT_EQ(fault.reason.find('\n'), std::string::npos) << "reasons are one line: " << fault.reason;
    return fault;
}

std::string utf8_of(char32_t c) {
    char bytes[U8_MAX_LENGTH];
    int32_t length = 0;
    U8_APPEND_UNSAFE(bytes, length, static_cast<UChar32>(c));
    return std::string(bytes, static_cast<std::size_t>(length));
}

// A body built by hand from text (UTF-8, converted) and raw trailing bytes.
std::string body_of(std::string_view text, std::string_view contents = {}) {
    return utf16le(text) + std::string(contents);
}

}  // namespace

TEST(UploadBodyWellFormed, OneFileMatchesTheDocumentedExample) {
    std::string contents(1234, '\xAB');
    std::string body = upload_body("L", "true", {{"a.jpg", contents}});
    ASSERT_EQ(body.size(), 1290u);
    UploadAlbum album = expect_album(body);
    EXPECT_EQ(album.options, "L");
    EXPECT_EQ(album.switch_word, "true");
    ASSERT_EQ(album.files.size(), 1u);
    EXPECT_EQ(album.files[0].name, "a.jpg");
    EXPECT_EQ(album.files[0].contents, contents);
}

TEST(UploadBodyWellFormed, NoFilesParsesToAnEmptyList) {
    std::string body = upload_body("L", "true", {});
    ASSERT_EQ(body.size(), 24u);
    UploadAlbum album = expect_album(body);
    EXPECT_TRUE(album.files.empty());
}

TEST(UploadBodyWellFormed, ContentsAreSplitBySizesInListOrder) {
    std::string body = upload_body("LGIBZEKH", "false", {{"one", "AAA"}, {"empty", ""}, {"two", std::string("\n\0B", 3)}});
    UploadAlbum album = expect_album(body);
    ASSERT_EQ(album.files.size(), 3u);
    EXPECT_EQ(album.options, "LGIBZEKH");
    EXPECT_EQ(album.files[0].contents, "AAA");
    EXPECT_EQ(album.files[1].contents, "");
    EXPECT_EQ(album.files[1].name, "empty");
    EXPECT_EQ(album.files[2].contents, std::string_view("\n\0B", 3));
}

TEST(UploadBodyWellFormed, NamesOutsideAsciiAndTheBmpComeBackAsUtf8) {
    UploadAlbum album = expect_album(upload_body("", "", {{"été 📷 фото.png", "x"}}));
    ASSERT_EQ(album.files.size(), 1u);
    EXPECT_EQ(album.files[0].name, "été 📷 фото.png");
    EXPECT_EQ(album.options, "");
}

TEST(UploadBodyWellFormed, TenDigitSizesAreRead) {
    UploadLimits roomy{.largest_upload = 1000, .most_files = 5, .largest_file = 2000000000};
    std::string body = body_of("2.0\nL\ntrue\n0000000003:a\n\n", "xyz");
    UploadAlbum album = expect_album(body, roomy);
    ASSERT_EQ(album.files.size(), 1u);
    EXPECT_EQ(album.files[0].contents, "xyz");
}

TEST(UploadBodyTruncated, EveryShorterPrefixOfAGoodBodyIsRefused) {
    std::string body = upload_body("L", "true", {{"a.jpg", "12345"}, {"b.jpg", "678"}});
    for (std::size_t length = 0; length < body.size(); ++length)
        EXPECT_EQ(expect_fault(body.substr(0, length)).status, 400) << "prefix of " << length << " bytes";
}

TEST(UploadBodyTruncated, ContentsShortOfTheListAreNamedAsSuch) {
    BodyFault fault = expect_fault(body_of("2.0\nL\ntrue\n000000010:a\n\n", "short"));
    EXPECT_NE(fault.reason.find("truncated"), std::string::npos) << fault.reason;
}

TEST(UploadBodyTruncated, BytesBeyondTheLastFileAreRefused) {
    BodyFault fault = expect_fault(upload_body("L", "true", {{"a", "abc"}}) + "extra");
    EXPECT_NE(fault.reason.find("5 bytes after"), std::string::npos) << fault.reason;
}

TEST(UploadBodyTruncated, ASizeLargerThanTheBodyIsRefusedBeforeTheListEnds) {
    UploadLimits roomy{.largest_upload = 1000, .most_files = 5, .largest_file = ~0ull};
    EXPECT_EQ(expect_fault(body_of("2.0\nL\ntrue\n9999999999999999999:a\n"), roomy).status, 400);
}

TEST(UploadBodyBrokenText, OddByteCountInsideTheHeaderLines) {
    std::string body = utf16le("2.0\nL\ntr");
    body += 'u';
    EXPECT_NE(expect_fault(body).reason.find("middle of a UTF-16 character"), std::string::npos);
}

TEST(UploadBodyBrokenText, UnpairedSurrogatesRefuseTheirFileOnlyInNamesAndTheBodyInHeaderLines) {
    struct Case {
        const char* what;
        std::string units;
        const char* reported;
    };
    for (const Case& c : std::vector<Case>{{"high alone", std::string("\x00\xD8", 2), "U+D800"},
                                           {"low alone", std::string("\x00\xDC", 2), "U+DC00"},
                                           {"high then a letter", std::string("\x00\xD8\x41\x00", 4), "U+D800"},
                                           {"high at the end", std::string("\x41\x00\xFF\xDB", 4), "U+DBFF"}}) {
        SCOPED_TRACE(c.what);
        std::string body = utf16le("2.0\nL\ntrue\n000000001:a") + c.units +
                           utf16le("\n000000001:good.png\n\n") + "xy";
        UploadAlbum album = expect_album(body);
        ASSERT_EQ(album.files.size(), 2u);
        EXPECT_NE(album.files[0].refusal.find(c.reported), std::string::npos) << album.files[0].refusal;
        EXPECT_EQ(album.files[0].contents, "x");
        EXPECT_TRUE(album.files[1].refusal.empty());
        EXPECT_EQ(album.files[1].contents, "y");
        std::string shown;
        EXPECT_TRUE(utf16le_to_utf8(utf16le(album.files[0].name), shown)) << "the reported name is valid text";
    }
    EXPECT_EQ(expect_fault(utf16le("2.0\n") + std::string("\x00\xD8", 2) + utf16le("\ntrue\n\n")).status, 400);
}

TEST(UploadBodyBrokenText, ALineFeedAtAnOddOffsetIsNotALineEnd) {
    // 0A 00 straddling two units (U+0A41 then U+0000...) must not end a line.
    std::string body = utf16le("2.0\n") + std::string("\x41\x0A\x00\x00", 4) + utf16le("\ntrue\n\n");
    EXPECT_EQ(expect_fault(body).status, 400);  // the option letters hold U+0000, a control character
}

TEST(UploadBodyBrokenText, OverlongHeaderLineIsRefusedWithoutItsEnd) {
    BodyFault fault = expect_fault(utf16le("2.0\n" + std::string(300, 'L')));
    EXPECT_NE(fault.reason.find("longer than"), std::string::npos) << fault.reason;
}

TEST(UploadBodyVersion, OnlyTwoPointZeroIsTaken) {
    EXPECT_NE(expect_fault(body_of("1.0\nL\ntrue\n\n")).reason.find("unsupported upload version \"1.0\""),
              std::string::npos);
    expect_fault(body_of("2.0 \nL\ntrue\n\n"));
    expect_fault(body_of("2.0\r\nL\ntrue\n\n"));
    expect_fault(std::string("2.0\nL\ntrue\n\n"));  // 8-bit text instead of UTF-16
}

TEST(UploadBodySizeField, MalformedSizesAreRefused) {
    for (std::string_view line : {"12345678:a", "00000001x:a", "+00000001:a", " 00000001:a", "00000000000000000001:a",
                                  "000000001a", ":a", "000000001"}) {
        std::string body = body_of("2.0\nL\ntrue\n" + std::string(line) + "\n\n", "x");
        EXPECT_EQ(expect_fault(body).status, 400) << line;
    }
}

TEST(UploadBodyLimits, FileCountAtTheLimitPassesAndOneMoreIsRefused) {
    UploadLimits three{.largest_upload = 10000, .most_files = 3, .largest_file = 100};
    std::vector<BodyFile> files{{"a", "1"}, {"b", "2"}, {"c", "3"}};
    EXPECT_EQ(expect_album(upload_body("L", "true", files), three).files.size(), 3u);
    files.push_back({"d", "4"});
    BodyFault fault = expect_fault(upload_body("L", "true", files), three);
    EXPECT_EQ(fault.status, 413);
    EXPECT_NE(fault.reason.find("at most 3"), std::string::npos) << fault.reason;
}

TEST(UploadBodyLimits, FileSizeAtTheLimitPassesAndOneMoreByteIsRefused) {
    UploadLimits small{.largest_upload = 10000, .most_files = 3, .largest_file = 4};
    expect_album(upload_body("L", "true", {{"a", "1234"}}), small);
    EXPECT_EQ(expect_fault(upload_body("L", "true", {{"a", "12345"}}), small).status, 413);
}

TEST(UploadBodyLimits, WholeBodyOverTheUploadLimitIsRefused) {
    std::string body = upload_body("L", "true", {{"a", "1234"}});
    UploadLimits exact{.largest_upload = body.size(), .most_files = 3, .largest_file = 100};
    expect_album(body, exact);
    exact.largest_upload -= 1;
    EXPECT_EQ(expect_fault(body, exact).status, 413);
}

TEST(UploadBodyNames, PathsBecomeTheirLastPartAndNamesThatLeaveNothingAreReported) {
    struct Case {
        std::string_view sent, kept;  // kept empty: the file is read past and reported
    };
    for (const Case& c : std::vector<Case>{{"/home/me/a.jpg", "a.jpg"},
                                           {"C:\\Users\\me\\Pictures\\b.png", "b.png"},
                                           {"dir/a.jpg", "a.jpg"},
                                           {"../../x", "x"},
                                           {"mixed\\and/both.gif", "both.gif"},
                                           {"C:a.jpg", "a.jpg"},
                                           {"\\\\server\\share\\c.jpg", "c.jpg"},
                                           {"c:", ""},
                                           {"..", ""},
                                           {".", ""},
                                           {"dir/", ""},
                                           {"dir/..", ""},
                                           {"", ""}}) {
        std::string body = upload_body("L", "true", {{std::string(c.sent), "x"}, {"next.png", "y"}});
        UploadAlbum album = expect_album(body);
        ASSERT_EQ(album.files.size(), 2u) << c.sent;
        EXPECT_EQ(album.files[1].contents, "y") << "the bytes after a reported file still line up";
        if (c.kept.empty()) {
            EXPECT_FALSE(album.files[0].refusal.empty()) << c.sent;
        } else {
            EXPECT_EQ(album.files[0].name, c.kept) << c.sent;
            EXPECT_TRUE(album.files[0].refusal.empty()) << c.sent;
        }
    }
}

TEST(UploadBodyNames, ControlCharactersRefuseTheirFileOnlyWithoutEchoingThem) {
    struct Case {
        std::string_view name, reported;
    };
    for (const Case& c : std::vector<Case>{{"a\tb.jpg", "U+0009"},
                                           {"Icon\r", "U+000D"},
                                           {"\x7f", "U+007F"},
                                           {"\xc2\x85x", "U+0085"},
                                           {"dir/a\x01.jpg", "U+0001"},
                                           {std::string_view("nul\0.png", 8), "U+0000"}}) {
        SCOPED_TRACE(c.name);
        std::string body = upload_body("L", "true", {{"before.png", "1"}, {std::string(c.name), "2"}, {"after.png", "3"}});
        UploadAlbum album = expect_album(body);
        ASSERT_EQ(album.files.size(), 3u);
        const UploadedFile& odd = album.files[1];
        EXPECT_NE(odd.refusal.find(c.reported), std::string::npos) << odd.refusal;
        EXPECT_EQ(odd.contents, "2");
        for (char c : odd.name) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << "control characters are not echoed";
        EXPECT_TRUE(album.files[0].refusal.empty());
        EXPECT_EQ(album.files[2].name, "after.png");
        EXPECT_EQ(album.files[2].contents, "3");
    }
}

TEST(UploadBodyNames, HiddenMarksAreKeptButShownVisibly) {
    // Right-to-left override, line separator, byte-order mark, zero-width space: stored as sent,
    // shown as [U+XXXX] wherever a name is shown.
    std::string name = "photo\u202Egnp.exe\u2028\uFEFF\u200B.png";
    EXPECT_EQ(expect_album(upload_body("L", "true", {{name, "x"}})).files.at(0).name, name);
    EXPECT_EQ(show_hidden_marks(name), "photo[U+202E]gnp.exe[U+2028][U+FEFF][U+200B].png");
    EXPECT_EQ(quote_for_message(name), "photo[U+202E]gnp.exe[U+2028][U+FEFF][U+200B].png");
    // Joiners that emoji and scripts need stay as they are; where they join nothing visible they are shown.
    EXPECT_EQ(show_hidden_marks("👩\u200D💻 \u200C"), "👩\u200D💻 [U+200C]");
    EXPECT_EQ(show_hidden_marks("क\u094D\u200Dष"), "क\u094D\u200Dष");
    EXPECT_EQ(show_hidden_marks("\u200Da\u200C.png"), "[U+200D]a[U+200C].png");
    EXPECT_EQ(show_hidden_marks("ab\u200Dc"), "ab[U+200D]c");
}

TEST(UploadBodyNames, EveryInvisibleOrBlankCharacterTriedIsShown) {
    // Each was once taken for part of an ordinary name.
    for (char32_t c : {0x200C, 0x200D, 0x034F, 0x115F, 0x1160, 0x3164, 0xFFA0, 0x180B, 0xFE0F, 0xE0100, 0xE0001,
                       0xE0041, 0x2800, 0x17B4, 0x00AD, 0x2060}) {
        std::string utf8 = "a" + utf8_of(c) + " b";
        char expected[32];
        std::snprintf(expected, sizeof expected, "a[U+%04X] b", static_cast<unsigned>(c));
        EXPECT_EQ(show_hidden_marks(utf8), expected);
    }
}

TEST(UploadBodyNames, HiddenMarksAreExactlyWhatUnicodeCallsIgnorableFormatOrSeparator) {
    // Over every code point, against ICU's properties: the gallery keeps no list of its own to go stale.
    std::size_t marks = 0;
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) continue;
        auto code = static_cast<UChar32>(c);
        auto category = u_charType(code);
        bool by_property = u_hasBinaryProperty(code, UCHAR_DEFAULT_IGNORABLE_CODE_POINT) ||
                           category == U_FORMAT_CHAR || category == U_LINE_SEPARATOR ||
                           category == U_PARAGRAPH_SEPARATOR || c == 0x2800;
        if (is_hidden_mark(c) != by_property) ADD_FAILURE() << std::hex << "U+" << static_cast<unsigned>(c);
        marks += by_property;
    }
    EXPECT_GT(marks, 4000u) << "tags, variation selectors and the ignorable planes are all in";
}

TEST(UploadBodyNames, LabelsThatOnlyLookOddAreKept) {
    for (std::string_view name : {"a..b.jpg", "...", ".hidden", "1:2.jpg", "photo:1.jpg", "<b>&amp;"})
        EXPECT_EQ(expect_album(upload_body("L", "true", {{std::string(name), "x"}})).files.at(0).name, name);
}

TEST(UploadBodyNames, OverlongNamesAreRefused) {
    expect_album(upload_body("L", "true", {{std::string(1024, 'n'), "x"}}));
    EXPECT_EQ(expect_fault(upload_body("L", "true", {{std::string(1025, 'n'), "x"}})).status, 400);
}

TEST(UploadBodyMessages, QuotedNamesAreCappedWithoutSplittingCharacters) {
    std::string shown = quote_for_message(std::string(79, 'a') + "é" + std::string(10, 'b'));
    EXPECT_EQ(shown, std::string(79, 'a') + "...");
    std::string converted;
    EXPECT_TRUE(utf16le_to_utf8(utf16le(shown), converted));
}

TEST(UploadBodyMutations, RandomDamageToAGoodBodyNeverYieldsContentsOutsideIt) {
    // Deterministic, bounded: flips, cuts and insertions anywhere in a good body must each give
    // either a fault or an album whose pieces lie inside the body and add up to it.
    std::string good = upload_body("LG", "true", {{"a.png", "\x89PNG\r\n\x1A\nabc"}, {"b.gif", "GIF89a"}, {"c", ""}});
    std::uint32_t state = 12345;
    auto next = [&state] { return state = state * 1103515245u + 12345u, (state >> 8) & 0xFFFF; };
    UploadLimits limits{1 << 20, 4, 1 << 16};
    for (int round = 0; round < 3000; ++round) {
        std::string body = good;
        for (int edit = 0, edits = 1 + next() % 3; edit < edits; ++edit) {
            std::size_t at = next() % (body.size() + 1);
            switch (next() % 3) {
                case 0: if (at < body.size()) body[at] = static_cast<char>(next()); break;
                case 1: body.erase(at, 1 + next() % 4); break;
                default: body.insert(at, 1 + next() % 4, static_cast<char>(next())); break;
            }
        }
        BodyParse parsed = parse_upload_body(body, limits);
        if (auto* album = std::get_if<UploadAlbum>(&parsed)) {
            std::size_t total = 0;
            for (const UploadedFile& file : album->files) {
                EXPECT_GE(file.contents.data(), body.data());
                EXPECT_LE(file.contents.data() + file.contents.size(), body.data() + body.size());
                total += file.contents.size();
            }
            EXPECT_LE(total, body.size());
            if (!album->files.empty()) {
                EXPECT_EQ(album->files.back().contents.data() + album->files.back().contents.size(),
                          body.data() + body.size());
            }
        } else {
            EXPECT_FALSE(std::get<BodyFault>(parsed).reason.empty());
        }
    }
}

TEST(UploadHeadStreaming, AnyPiecesGiveTheSameHeadAsTheWholeBody) {
    // The server reads the head as it arrives: cut into pieces of any size, it must read the same.
    std::string body = upload_body("LG", "false", {{"dir/a.png", "12345"}, {"b.gif", ""}, {"c.jpg", "xy"}});
    for (std::size_t piece : {1u, 2u, 3u, 7u, 64u}) {
        UploadHeadReader reader = start_upload_head(defaults, body.size());
        std::string_view rest = body;
        while (!reader.done && !rest.empty()) {
            std::string_view part = rest.substr(0, piece);
            std::size_t before = part.size();
            ASSERT_FALSE(read_upload_head(reader, part)) << piece;
            rest.remove_prefix(before - part.size());
            if (!part.empty()) break;  // the list ended inside this piece
        }
        ASSERT_TRUE(reader.done) << piece;
        EXPECT_EQ(reader.head.options, "LG");
        ASSERT_EQ(reader.head.files.size(), 3u);
        EXPECT_EQ(reader.head.files[0].name, "a.png");
        EXPECT_EQ(reader.head.files[0].size, 5u);
        EXPECT_EQ(body.size() - reader.head.head_bytes, 7u) << "the contents start right after the list";
    }
}

TEST(UploadHeadStreaming, SizesAreCheckedAgainstTheDeclaredLengthBeforeAnyContents) {
    // Only the list has arrived; the declared length already shows the sizes cannot fit or leave bytes over.
    std::string list = utf16le("2.0\nL\ntrue\n000000010:a.png\n\n");
    struct Case {
        std::uint64_t declared;
        std::string mentions;
    };
    for (const Case& c : std::vector<Case>{{list.size() + 5, "truncated"}, {list.size() + 15, "5 bytes after"}}) {
        UploadHeadReader reader = start_upload_head(defaults, c.declared);
        std::string_view input = list;
        auto fault = read_upload_head(reader, input);
        ASSERT_TRUE(fault) << c.declared;
        EXPECT_NE(fault->reason.find(c.mentions), std::string::npos) << fault->reason;
    }
    UploadHeadReader reader = start_upload_head(defaults, list.size() + 10);
    std::string_view input = list;
    EXPECT_FALSE(read_upload_head(reader, input));
    EXPECT_TRUE(reader.done);
}

TEST(UploadBodyNames, AnOddNameRefusesItsFileAndTheGoodFilesBesideItAreStored) {
    auto g = start_gallery();
    std::string png = make_sample_png(5, 5, 1);
    std::string list = "2.0\nL\ntrue\n";
    std::string contents;
    // A tab, a carriage return (folders copied from a Mac hold "Icon\r"), and an unpaired surrogate.
    std::string body = utf16le(list);
    auto add = [&](const std::string& name_units) {
        char size[16];
        std::snprintf(size, sizeof size, "%09zu:", png.size());
        body += utf16le(size) + name_units + utf16le("\n");
        contents += png;
    };
    add(utf16le("first.png"));
    add(utf16le("tab\there.png"));
    add(utf16le("Icon\r"));
    add(utf16le("half") + std::string("\x3D\xD8", 2) + utf16le(".png"));
    add(utf16le("last.png"));
    body += utf16le("\n") + contents;
    HttpReply reply = raw_exchange(g->port, upload_request(body));
    ASSERT_EQ(reply.status, 200) << reply.body;
    for (const char* reason : {"U+0009", "U+000D", "U+D83D"})
        EXPECT_NE(reply.body.find(reason), std::string::npos) << reply.body;
    EXPECT_EQ(reply.body.find('\r', 0), reply.body.find("\r\nhttp")) << "no raw control character is echoed";
    auto stored = stored_pictures(g->data.path);
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0].first, "first.png");
    EXPECT_EQ(stored[1].first, "last.png");
    EXPECT_EQ(stored[1].second, png);
}
