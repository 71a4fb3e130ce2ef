// The network side's parts on their own: the deadline's generations, the page cache, log escaping,
// and an upload's files as chunks of any size arrive.
#include <gtest/gtest.h>

#include <boost/asio.hpp>

#include "access_log.h"
#include "deadline.h"
#include "page_cache.h"
#include "sample_png.h"
#include "test_support.h"
#include "upload_receiver.h"

namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

struct SocketPair {
    asio::io_context io;
    std::shared_ptr<tcp::socket> server = std::make_shared<tcp::socket>(io);
    tcp::socket client{io};
    SocketPair() {
        tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
        client.connect(acceptor.local_endpoint());
        acceptor.accept(*server);
    }
};

}  // namespace

// A deadline that fired just as its phase ended (its handler already queued) must not cut the next
// phase short: the late firing belongs to a generation that is over.
TEST(Deadline, OnlyTheCurrentPhaseCanBeCutShort) {
    for (bool late_firing : {false, true}) {
        SCOPED_TRACE(late_firing ? "late firing from the previous phase" : "the phase's own time runs out");
        SocketPair pair;
        Deadline deadline(pair.io.get_executor());
        char byte = 0;
        boost::system::error_code read_error;
        bool read_done = false;
        auto next_phase = [&] {
            pair.server->async_read_some(asio::buffer(&byte, 1), [&](boost::system::error_code ec, std::size_t) {
                read_error = ec;
                read_done = true;
            });
        };
        if (late_firing) {
            // The first phase's time is already up. The network thread first collects the timer's
            // completion, then runs the first phase's end, which arms the next phase; only then does
            // the queued firing run.
            arm_deadline(deadline, std::chrono::steady_clock::now() - 1s, pair.server);
            asio::post(pair.io, [&] {
                EXPECT_FALSE(deadline_passed(deadline));
                arm_deadline(deadline, std::chrono::steady_clock::now() + 10s, pair.server);
                next_phase();
            });
        } else {
            arm_deadline(deadline, std::chrono::steady_clock::now() + 50ms, pair.server);
            next_phase();
        }
        pair.io.run_for(300ms);
        if (late_firing) {
            EXPECT_FALSE(read_done) << "the read of the next phase was cancelled: " << read_error.message();
            EXPECT_FALSE(deadline_passed(deadline));
        } else {
            EXPECT_TRUE(read_done);
            EXPECT_EQ(read_error, asio::error::operation_aborted);
            EXPECT_TRUE(deadline_passed(deadline));
        }
    }
}

TEST(PageCache, KeepsWithinItsBudgetDropsAnAlbumsPagesAndMatchesTags) {
    PageCache cache;
    cache.budget = 3500;
    auto page = [](char fill) { return CachedPage{200, "text/html", std::string(800, fill), {}}; };
    const std::string k1 = "AAAAAAAAAAAAAAAAAAAAAA", k3 = "AAAAAAAAAAAAAAAAAAAAAw", k4 = "AAAAAAAAAAAAAAAAAAAABA",
                      k5 = "AAAAAAAAAAAAAAAAAAAABQ", k12 = "AAAAAAAAAAAAAAAAAAAADA";
    keep_page(cache, page_key("album", k1, 1), page('a'));
    keep_page(cache, page_key("album", k12, 1), page('b'));
    ASSERT_TRUE(find_page(cache, page_key("album", k1, 1)));  // album 1 is now the most recent
    keep_page(cache, page_key("album", k3, 1), page('c'));
    keep_page(cache, page_key("album", k4, 1), page('d'));
    EXPECT_LE(cache.bytes, cache.budget);
    EXPECT_TRUE(find_page(cache, page_key("album", k1, 1)));
    EXPECT_FALSE(find_page(cache, page_key("album", k12, 1))) << "the least recently used goes first";
    EXPECT_FALSE(find_page(cache, page_key("album", k1, 2))) << "a page is kept for its album's revision only";

    auto big = keep_page(cache, page_key("album", k5, 1), CachedPage{200, "text/html", std::string(5000, 'x'), {}});
    EXPECT_EQ(big->body.size(), 5000u) << "a page over the budget is still served";
    EXPECT_FALSE(find_page(cache, page_key("album", k5, 1))) << "but not kept";
    EXPECT_TRUE(find_page(cache, page_key("album", k1, 1)));

    keep_page(cache, page_key("owner-1", k1, 1), page('t'));
    drop_album_pages(cache, k1);
    EXPECT_FALSE(find_page(cache, page_key("album", k1, 1)));
    EXPECT_FALSE(find_page(cache, page_key("owner-1", k1, 1)));
    EXPECT_TRUE(find_page(cache, page_key("album", k4, 1))) << "other albums stay";

    auto one = keep_page(cache, "a/1", page('a'));
    auto other = keep_page(cache, "a/2", page('b'));
    struct Case {
        std::string header;
        bool matches;
    };
    for (const Case& c : std::vector<Case>{{one->etag, true},
                                           {"W/" + one->etag, true},
                                           {other->etag + ", " + one->etag, true},
                                           {"*", true},
                                           {"", false},
                                           {other->etag, false},
                                           {one->etag.substr(1), false}}) {
        SCOPED_TRACE(c.header);
        EXPECT_EQ(etag_matches(c.header, one->etag), c.matches);
    }
}

TEST(AccessLog, NothingOutsidePrintableAsciiOrAQuoteReachesTheLine) {
    struct Case {
        std::string target, logged;
    };
    for (const Case& c : std::vector<Case>{
             {"/album/1", "/album/1"},
             {"/a\xE2\x80\xAE" "gpj.exe", "/a\\xe2\\x80\\xaegpj.exe"},  // right-to-left override
             {"/\x9B" "31m", "/\\x9b31m"},                                   // 8-bit CSI
             {"/\x1B[2J", "/\\x1b[2J"},
             {"/\" 200 in=0", "/\\x22 200 in=0"},
             {"/back\\slash", "/back\\x5cslash"},
             {std::string("/nul\0x", 6), "/nul\\x00x"},
             {"/\t\r\n\x7F", "/\\x09\\x0d\\x0a\\x7f"},
         }) {
        SCOPED_TRACE(c.logged);
        EXPECT_EQ(log_escape(c.target), c.logged);
        std::string line = access_line({"127.0.0.1", "GET", c.target, 404, 0, 9, 1});
        EXPECT_EQ(line, "127.0.0.1 \"GET " + c.logged + "\" 404 in=0 out=9 1ms\n");
    }
    EXPECT_EQ(log_escape(std::string(300, 'a')), std::string(200, 'a') + "...");
}

// An upload's files fed in chunks of every awkward size: the same pictures and refusals come out,
// no more than one staged file is ever open, and none is once the last byte is in.
TEST(ReceivedFiles, AnyChunkingGivesTheSameResultWithOneStagedFileOpenAtMost) {
    TempFolder data;
    GalleryStore store;
    ASSERT_FALSE(open_store(data.path, store));
    std::string png = make_sample_png(9, 9, 3);
    std::vector<std::pair<ListedFile, std::string>> listed{
        {{"a.png", png.size(), ""}, png},
        {{"notes.txt", 5, ""}, "hello"},
        {{"empty.png", 0, ""}, ""},
        {{"dir/", png.size(), "the name holds no file name"}, png},
        // As small as a picture may be (smaller files are no pictures, whatever their first bytes).
        {{"b.gif", 14, ""}, std::string("GIF89a\x01\x00\x01\x00\x00\x00\x00\x00;", 14)},
        {{"tiny", 14, ""}, "\xFF\xD8\xFF" + std::string(11, 'j')},
    };
    std::string body;
    for (const auto& [file, bytes] : listed) body += bytes;
    for (std::size_t chunk : {std::size_t{1}, std::size_t{5}, std::size_t{12}, std::size_t{13}, body.size()}) {
        SCOPED_TRACE("chunks of " + std::to_string(chunk));
        std::atomic<std::uint64_t> open{0};
        std::uint64_t most_seen = 0;
        {
            ReceivedFiles received;
            received.store = &store;
            received.open_count = &open;
            received.most_open = 10;
            std::vector<ListedFile> files;
            for (const auto& entry : listed) files.push_back(entry.first);
            start_files(received, std::move(files));
            for (std::size_t at = 0; at < body.size(); at += chunk) {
                take_file_bytes(received, std::string_view(body).substr(at, chunk));
                most_seen = std::max(most_seen, open.load());
            }
            EXPECT_FALSE(received.failure);
            ASSERT_EQ(received.pictures.size(), 3u);
            EXPECT_EQ(received.pictures[0].name, "a.png");
            EXPECT_EQ(received.pictures[1].name, "b.gif");
            EXPECT_EQ(received.pictures[2].content_type, "image/jpeg");
            for (const NewPicture& picture : received.pictures) EXPECT_EQ(picture.file.fd, -1) << "finished and closed";
            EXPECT_EQ(read_whole_file(received.pictures[0].file.path), png);
            ASSERT_EQ(received.refusals.size(), 3u);
            EXPECT_EQ(received.refusals[0].name, "notes.txt");
            EXPECT_EQ(received.refusals[1].name, "empty.png");
            EXPECT_EQ(received.refusals[2].reason, "the name holds no file name");
        }
        EXPECT_LE(most_seen, 1u);
        EXPECT_EQ(open.load(), 0u);
    }

    // The server's staged-file budget already spent elsewhere: the upload learns it, nothing is opened.
    std::atomic<std::uint64_t> open{4};
    ReceivedFiles received;
    received.store = &store;
    received.open_count = &open;
    received.most_open = 4;
    start_files(received, {{"a.png", png.size(), ""}});
    take_file_bytes(received, png);
    EXPECT_TRUE(received.too_many_open);
    EXPECT_TRUE(received.pictures.empty());
    EXPECT_EQ(open.load(), 4u);
    EXPECT_EQ(count_picture_files(data.path), 0u);
}
