// The reply reader against raw replies from a scripted peer: header lines, heads, and the three
// body framings with their breaks.
#include <gtest/gtest.h>

#include <string>

#include "common/constants.h"
#include "http/http_client.h"
#include "stubs/ui_recorder.h"
#include "support/loopback.h"

namespace {

using namespace std::string_literals;

bool broken_body_shown() {
    return recorded_ui() == std::vector<UiEvent>{{std::u16string(captions::error),
                                                  std::u16string(messages::response_terminated), false}};
}

TEST(ParseHeaderLine, ReadsStatusLengthAndChunkedMarkers) {
    struct Case {
        std::string line;
        int result;
        int status;  // after the call; starts at 7
    };
    const Case cases[] = {
        {"HTTP/1.1 200 OK", 0, 200},
        {"HTTP/1.0   404   Not Found", 0, 404},
        {"HTTP/1.1 abc", 0, 0},
        {"HTTP/1.1", 0, 0},                 // no second piece: no status
        {"HTTP/2 200", 0, 7},               // not HTTP/1: an ordinary (unknown) line
        {"Content-Length: 1234", 1234, 7},
        {"Content-Length:1234", 1234, 7},
        {"Content-Length: -5", -5, 7},
        {"Content-Length: 99999999999", 2147483647, 7},  // saturates instead of overflowing
        {"Content-Length:", 0, 7},
        {"Content-Lengthy: 12", 12, 7},     // matched by its first bytes
        {"content-length: 12", 0, 7},       // names are case-sensitive
        {"::Content-Length::12", 12, 7},    // runs of colons count as one
        {"Transfer-Encoding: chunked", -1, 7},
        {"Transfer-Encoding:chunked", -1, 7},
        {"Transfer-Encoding:    chunked", -1, 7},
        {"Transfer-Encoding: Chunked", 0, 7},
        {"Transfer-Encoding: chunked ", 0, 7},
        {"transfer-encoding: chunked", 0, 7},
        {"Transfer-Encoding: gzip, chunked", 0, 7},
        {"Transfer-Encoding:", 0, 7},
        {":::", 0, 7},
        {"Server: x", 0, 7},
        {"Content-Length: 12\0 99"s, 12, 7},
    };
    for (const Case& c : cases) {
        int status = 7;
        EXPECT_EQ(parse_header_line(c.line, status), c.result) << c.line;
        EXPECT_EQ(status, c.status) << c.line;
    }
}

TEST(ReadReplyHead, FindsStatusAndLengthRule) {
    struct Case {
        std::string name, bytes;
        int rule, status;
        std::string left;  // what the head reader must not have consumed
    };
    const Case cases[] = {
        {"status line only", "HTTP/1.1 200 OK\r\n\r\nbody", 0, 200, "body"},
        {"content length", "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbody", 4, 200, "body"},
        {"last positive length wins", "HTTP/1.1 200 OK\r\nContent-Length: 4\r\nContent-Length: 2\r\n\r\nbo", 2, 200, "bo"},
        {"chunked wins over a later length", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 4\r\n\r\n", -1, 200, ""},
        {"chunked wins over an earlier length", "HTTP/1.1 200 OK\r\nContent-Length: 4\r\nTransfer-Encoding: chunked\r\n\r\n", -1, 200, ""},
        {"interim 100 skipped", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 201 Created\r\nContent-Length: 3\r\n\r\nabc", 3, 201, "abc"},
        {"no status line", "Content-Length: 3\r\n\r\nabc", 3, 0, "abc"},
        {"LF alone is not a line end", "HTTP/1.1 500 X\nContent-Length: 3\r\n\r\nabc", 0, 500, "abc"},
        {"closed mid-head", "HTTP/1.1 200 OK\r\nContent-Le", 0, 200, ""},
        {"closed right after a 100 head", "HTTP/1.1 100 Continue\r\n\r\n", 0, 100, ""},
        {"nothing at all", "", 0, 0, ""},
    };
    for (const Case& c : cases) {
        recorded_ui().clear();
        ScriptedPeer peer(c.bytes);
        const ReplyHead head = read_reply_head(peer.socket);
        EXPECT_EQ(head.length_rule, c.rule) << c.name;
        EXPECT_EQ(head.status, c.status) << c.name;
        EXPECT_EQ(peer.rest(), c.left) << c.name;
    }
}

TEST(ReadReplyHead, HeadThatFillsTheAreaEndsThere) {
    // 1025 bytes without an empty line: the head ends and what follows is body.
    const std::string status = "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n";
    const std::string filler = "X-Fill: " + std::string(1025 - status.size() - 8, 'f');
    recorded_ui().clear();
    ScriptedPeer peer(status + filler + "after");
    const ReplyHead head = read_reply_head(peer.socket);
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.length_rule, 9);
    EXPECT_EQ(peer.rest(), "after");
}

TEST(ReadBody, ContentLengthBodies) {
    {
        recorded_ui().clear();
        ScriptedPeer peer("hello world");
        EXPECT_EQ(read_body(peer.socket, 5), "hello");
        EXPECT_TRUE(recorded_ui().empty());
    }
    {
        recorded_ui().clear();
        ScriptedPeer peer("short");
        EXPECT_EQ(read_body(peer.socket, 10), std::nullopt);
        EXPECT_TRUE(broken_body_shown());
    }
    {
        // Larger than any reply may be: refused before anything is allocated.
        recorded_ui().clear();
        ScriptedPeer peer("x");
        EXPECT_EQ(read_body(peer.socket, 2147483647), std::nullopt);
        EXPECT_TRUE(broken_body_shown());
    }
    {
        const std::string big(MAX_REPLY_BODY, 'b');
        recorded_ui().clear();
        ScriptedPeer peer(big);
        EXPECT_EQ(read_body(peer.socket, static_cast<int>(big.size())), big);
    }
}

TEST(ReadBody, UntilCloseKeepsAtMost1024Bytes) {
    {
        recorded_ui().clear();
        ScriptedPeer peer("");
        EXPECT_EQ(read_body(peer.socket, BODY_UNTIL_CLOSE), "");
    }
    {
        recorded_ui().clear();
        ScriptedPeer peer(std::string(1500, 'a'));
        EXPECT_EQ(read_body(peer.socket, BODY_UNTIL_CLOSE), std::string(1024, 'a'));
    }
    EXPECT_TRUE(recorded_ui().empty());
}

TEST(ReadChunkedBody, DecodesAndReportsBreaks) {
    struct Case {
        std::string name, bytes, text;
        std::uint64_t length;
        bool broken;
    };
    // "3", blanks and CR LF: 78 and 79 characters before the CR LF.
    const auto size_line = [](std::size_t length) {
        std::string line(length, ' ');
        line[0] = '3';
        return line.append("\r\n");
    };
    const std::string size_line_78 = size_line(78), size_line_79 = size_line(79);
    const Case cases[] = {
        {"two chunks", "3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n", "abcde", 5, false},
        {"extension ignored", "3;name=x\r\nabc\r\n0\r\n\r\n", "abc", 3, false},
        {"hex sizes and blanks", "  A\r\n0123456789\r\n0\r\n", "0123456789", 10, false},
        {"no last chunk", "3\r\nabc\r\n", "abc", 3, false},
        {"NUL ends a chunk's text", "3\r\na\0c\r\n2\r\nde\r\n0\r\n"s, "ade", 5, false},
        {"78-character size line fits", size_line_78 + "abc\r\n0\r\n", "abc", 3, false},
        {"79-character size line ends the body", size_line_79 + "abc\r\n0\r\n", "", 0, false},
        {"broken chunk left out", "3\r\nabc\r\n9\r\nde", "abc", 12, true},
        {"no hex digit", "3\r\nabc\r\nzz\r\nde\r\n0\r\n", "abc", 3, true},
        {"size of 2^31", "3\r\nabc\r\n80000000\r\nde\r\n0\r\n", "abc", 3, true},
        {"sizes past the reply limit", "3\r\nabc\r\n400000\r\nde\r\n0\r\n", "abc", 3, true},
        // Sizes as "%x" reads them: an optional sign and an optional 0x before the digits.
        {"0x prefix", "0x3\r\nabc\r\n0X2\r\nde\r\n0\r\n", "abcde", 5, false},
        {"plus sign", "+3\r\nabc\r\n +0x2\r\nde\r\n0\r\n", "abcde", 5, false},
        {"0x without a digit is 0: the end", "3\r\nabc\r\n0x\r\nde\r\n", "abc", 3, false},
        {"minus zero ends the body", "3\r\nabc\r\n-0\r\nde\r\n", "abc", 3, false},
        {"negative size", "3\r\nabc\r\n-2\r\nde\r\n0\r\n", "abc", 3, true},
        {"negative past 32 bits", "3\r\nabc\r\n-FFFFFFFF\r\nde\r\n0\r\n", "abc", 3, true},
        {"sign after 0x is no digit", "3\r\nabc\r\n0x+2\r\nde\r\n", "abc", 3, false},
        {"two signs", "3\r\nabc\r\n+-2\r\nde\r\n0\r\n", "abc", 3, true},
        {"0x2^31", "3\r\nabc\r\n0x80000000\r\nde\r\n0\r\n", "abc", 3, true},
    };
    for (const Case& c : cases) {
        recorded_ui().clear();
        ScriptedPeer peer(c.bytes);
        const ChunkedBody body = read_chunked_body(peer.socket);
        EXPECT_EQ(body.text, c.text) << c.name;
        EXPECT_EQ(body.decoded_length, c.length) << c.name;
        EXPECT_EQ(broken_body_shown(), c.broken) << c.name;
    }
}

TEST(ReadReply, SilentGalleryIsNotWaitedForTwice) {
    // The head stops, the receive limit passes, and only later does the gallery send more: that
    // late text must not be taken as the body, which would mean a second wait of the whole limit.
    recorded_ui().clear();
    ScriptedPeer peer("HTTP/1.1 200 OK\r\nServer: x\r\n", 1500, "late body");
    set_receive_limit_ms(peer.socket, 1000);
    const Reply reply = read_reply(peer.socket);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "");
    EXPECT_TRUE(recorded_ui().empty());
}

TEST(ReadChunkedBody, ManyChunksAreAllKept) {
    std::string bytes, expected;
    for (int i = 0; i < 1000; ++i) {
        const char letter = static_cast<char>('a' + i % 26);
        bytes += "1\r\n"s + letter + "\r\n";
        expected += letter;
    }
    recorded_ui().clear();
    ScriptedPeer peer(bytes + "0\r\n\r\n");
    EXPECT_EQ(read_body(peer.socket, CHUNKED_BODY), expected);
}

}  // namespace
