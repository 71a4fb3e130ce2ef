// The upload batch: list lines and their byte count, fixed growth steps, and whole-file reads.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/constants.h"
#include "gather/upload_batch.h"
#include "platform/platform.h"
#include "upload/upload_request.h"
#include "stubs/ui_recorder.h"
#include "platform/utf8.h"
#include "support/temp_folder.h"
#include "support/wire_text.h"

namespace {

std::u16string list_text(const UploadBatch& batch) { return std::u16string(batch_list(batch)); }

std::string held_text(const HeldFile& held) {
    return std::string(reinterpret_cast<const char*>(held.bytes), static_cast<std::size_t>(held.size));
}

// Bytes that differ from one position to the next, so a piece read twice or skipped shows.
std::string pattern(std::size_t length, unsigned seed = 0) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251 + seed) & 0xFF);
    return bytes;
}

// Writes the bytes to a file and offers it to the batch with the given size, as "p.jpg": its list
// line takes 32 bytes while the size has nine digits.
constexpr std::uint64_t LINE_BYTES = 32;
bool add_file(UploadBatch& batch, const TempFolder& folder, const std::string& bytes, std::uint64_t size) {
    const std::filesystem::path path = folder.path / "picture.jpg";
    write_file(path, bytes);
    std::FILE* file = platform::open_file(native_path_of(path), "rb");
    if (file == nullptr) {
        ADD_FAILURE() << "cannot open " << path;
        return false;
    }
    const bool held = batch_add_file(batch, size, u"p.jpg", file);
    std::fclose(file);
    return held;
}

TEST(UploadBatch, StartsWithTheClosingLineFeedAndFirstSteps) {
    UploadBatch batch;
    batch_init(batch);
    batch_add_line(batch, 1, u"x");
    batch.warned_too_big = true;
    batch_init(batch);
    EXPECT_EQ(batch.total, 2u);
    EXPECT_TRUE(batch_list(batch).empty());
    EXPECT_EQ(batch.list_capacity, 512u);
    EXPECT_EQ(batch.table_capacity, 10u);
    EXPECT_EQ(batch_count(batch), 0u);
    EXPECT_FALSE(batch.warned_too_big || batch.warned_too_many || batch.warned_too_deep);
}

TEST(UploadBatch, ListLinesPadSizesAndCountTwoBytesPerCharacter) {
    struct Case {
        std::uint64_t size;
        std::u16string name;
        std::u16string line;
    };
    const Case cases[] = {
        {1234, u"a.jpg", u"000001234:a.jpg\n"},
        {0, u"empty.png", u"000000000:empty.png\n"},
        {999999999, u"x", u"999999999:x\n"},
        {1000000000, u"billion.tif", u"1000000000:billion.tif\n"},  // ten digits, counted as ten
        {4294967295u, u"b", u"4294967295:b\n"},
        {12345678901ull, u"c", u"12345678901:c\n"},
        {7, u"Ærø-фото-写真.jpg", u"000000007:Ærø-фото-写真.jpg\n"},
        {5, u"..\\up/dir name.jpg", u"000000005:..\\up/dir name.jpg\n"},
    };
    UploadBatch batch;
    batch_init(batch);
    std::u16string expected_list;
    for (const Case& c : cases) {
        const std::uint64_t before = batch.total;
        batch_add_line(batch, c.size, c.name);
        expected_list += c.line;
        EXPECT_EQ(batch.total - before, 2 * c.line.size()) << c.size;
    }
    EXPECT_EQ(list_text(batch), expected_list);
    EXPECT_EQ(batch.total, 2 + 2 * expected_list.size());
    // Lines alone hold no contents.
    EXPECT_EQ(batch_count(batch), 0u);
}

TEST(UploadBatch, ListGrowsByFixedStepsUntilTheLineFits) {
    struct Step {
        std::size_t line_length;  // nine digits, a colon, the name and a line feed
        std::size_t capacity;     // afterwards
    };
    const Step steps[] = {
        {500, 512},
        {12, 512},    // exactly full
        {11, 1024},
        {600, 1536},  // 1123 characters: one step, where doubling would give 2048
        {1000, 2560}, // 2123 characters: two steps at once
    };
    UploadBatch batch;
    batch_init(batch);
    std::u16string expected_list;
    for (const Step& step : steps) {
        const std::u16string name(step.line_length - 11, u'n');
        batch_add_line(batch, 42, name);
        expected_list += u"000000042:" + name + u"\n";
        EXPECT_EQ(batch.list_capacity, step.capacity) << "after a line of " << step.line_length;
    }
    EXPECT_EQ(list_text(batch), expected_list);
}

TEST(UploadBatch, HoldsTheMeasuredSizeOrNothing) {
    struct Case {
        const char* what;
        std::uint64_t total_before;  // as if other files were held already
        std::size_t file_length;
        std::uint64_t size;
        std::u16string message;  // empty: accepted
    };
    const std::u16string short_file = u"filesize incorrect, file ignored";
    const std::u16string too_big = u"an upload cannot pass 4 GB, files beyond it ignored";
    // The most a batch may hold and still leave room for the version and the longest settings.
    const std::uint64_t brim = LARGEST_BODY - LONGEST_TEXT_LINES;
    const Case cases[] = {
        {"three pieces, the last one short", 2, 25000, 25000, u""},
        {"one whole piece", 2, 10240, 10240, u""},
        {"empty", 2, 0, 0, u""},
        {"grown since it was measured: only the measured part", 2, 300, 100, u""},
        {"contents and line exactly to the brim", brim - LINE_BYTES - 4, 4, 4, u""},
        {"shorter than measured", 2, 10, 11, short_file},
        {"short after whole pieces", 2, 20485, 30000, short_file},
        {"empty but measured", 2, 0, 1, short_file},
        {"contents fit, their line does not", brim - LINE_BYTES - 3, 4, 4, too_big},
        {"contents fit, the text lines do not", LARGEST_BODY - LINE_BYTES - 4, 4, 4, too_big},
        {"alone past the largest body", 2, 3, 0xFFFFFFFE, too_big},
        {"too large for any length", 2, 3, std::uint64_t{1} << 62, too_big},
    };
    TempFolder folder;
    for (const Case& c : cases) {
        recorded_ui().clear();
        UploadBatch batch;
        batch_init(batch);
        ASSERT_TRUE(add_file(batch, folder, "x", 1));
        batch.total = c.total_before;
        const std::u16string list_before = list_text(batch);
        const std::string bytes = pattern(c.file_length, 3);

        const bool held = add_file(batch, folder, bytes, c.size);

        EXPECT_EQ(held_text(batch_files(batch)[0]), "x") << c.what;
        if (c.message.empty()) {
            EXPECT_TRUE(held) << c.what;
            ASSERT_EQ(batch_count(batch), 2u) << c.what;
            EXPECT_EQ(held_text(batch_files(batch)[1]), bytes.substr(0, static_cast<std::size_t>(c.size))) << c.what;
            EXPECT_EQ(list_text(batch), list_before + platform::utf8_to_utf16(list_line(c.size, "p.jpg")))
                << c.what;
            EXPECT_EQ(batch.total, c.total_before + c.size + LINE_BYTES) << c.what;
            EXPECT_TRUE(recorded_ui().empty()) << c.what;
        } else {
            EXPECT_FALSE(held) << c.what;
            EXPECT_EQ(batch_count(batch), 1u) << c.what;
            EXPECT_EQ(list_text(batch), list_before) << c.what;
            EXPECT_EQ(batch.total, c.total_before) << c.what;
            EXPECT_EQ(recorded_ui(), (std::vector<UiEvent>{{u"Uploader error", c.message, false}})) << c.what;
        }
    }
}

TEST(UploadBatch, ABatchFilledToTheBrimStillMakesASendableBody) {
    // Whatever the settings file holds, the body's length must stay what 32 bits can announce.
    TempFolder folder;
    UploadBatch batch;
    batch_init(batch);
    batch.total = LARGEST_BODY - LONGEST_TEXT_LINES - LINE_BYTES - 4;
    ASSERT_TRUE(add_file(batch, folder, "full", 4));
    const Settings longest{std::string(LONGEST_OPTION_LETTERS, 'L'), std::string(LONGEST_SWITCH_WORD, 'w')};
    EXPECT_EQ(upload_body_length(batch, longest), LARGEST_BODY);
}

TEST(UploadBatch, WhatCannotBeHeldIsAnnouncedOncePerRun) {
    // Sizes offered in turn to one batch that has room left for two lines and four bytes.
    struct Offer {
        std::size_t size;
        bool held;
    };
    const Offer offers[] = {{37, false}, {40, false}, {2, true}, {3, false}, {2, true}};
    recorded_ui().clear();
    TempFolder folder;
    UploadBatch batch;
    batch_init(batch);
    batch.total = LARGEST_BODY - LONGEST_TEXT_LINES - 2 * LINE_BYTES - 4;
    std::uint64_t total = batch.total;
    for (const Offer& offer : offers) {
        EXPECT_EQ(add_file(batch, folder, pattern(offer.size), offer.size), offer.held) << offer.size;
        if (offer.held) total += offer.size + LINE_BYTES;
        EXPECT_EQ(batch.total, total) << offer.size;
    }
    EXPECT_EQ(batch_count(batch), 2u);
    EXPECT_EQ(recorded_ui(), (std::vector<UiEvent>{{u"Uploader error", u"an upload cannot pass 4 GB, files beyond it ignored", false}}));
}

TEST(UploadBatch, FileTableGrowsByTenWithoutLosingContents) {
    recorded_ui().clear();
    TempFolder folder;
    UploadBatch batch;
    batch_init(batch);
    std::vector<std::string> written;
    for (unsigned i = 0; i < 21; ++i) {
        written.push_back(pattern(100 + i, i));
        ASSERT_TRUE(add_file(batch, folder, written.back(), written.back().size()));
        const std::size_t expected_capacity = i < 10 ? 10 : i < 20 ? 20 : 30;
        EXPECT_EQ(batch.table_capacity, expected_capacity) << "after file " << i + 1;
    }
    ASSERT_EQ(batch_count(batch), written.size());
    for (std::size_t i = 0; i < written.size(); ++i) EXPECT_EQ(held_text(batch_files(batch)[i]), written[i]) << i;
    EXPECT_TRUE(recorded_ui().empty());

    batch_release(batch);
    EXPECT_EQ(batch_count(batch), 0u);
    EXPECT_EQ(batch.table_capacity, 0u);
    EXPECT_EQ(batch.list_capacity, 0u);
}

}  // namespace
