// What the user sees for each kind of upload reply.
#include <gtest/gtest.h>

#include <string>

#include "stubs/ui_recorder.h"
#include "support/loopback.h"
#include "upload/reply_handling.h"

namespace {

using namespace std::string_literals;

UiEvent error(std::u16string text) { return {u"Uploader error", std::move(text), false}; }
UiEvent report(std::u16string text) { return {u"Error uploading files", std::move(text), true}; }
UiEvent opened(std::u16string address) { return {u"open", std::move(address), false}; }

TEST(HandleReply, ShowsReportErrorOrOpensAddress) {
    struct Case {
        std::string name, reply;
        std::vector<UiEvent> seen;
        bool desktop_fails = false;
    };
    const std::u16string broken = u"server response terminated unexpectedly";
    const std::u16string not_web = u"the gallery did not return a web address: ";
    const Case cases[] = {
        {"address alone", "HTTP/1.1 200 OK\r\nContent-Length: 22\r\n\r\nhttp://127.0.0.1/a/1/2", {opened(u"http://127.0.0.1/a/1/2")}},
        {"report then address", "HTTP/1.1 200 OK\r\n\r\n2 files refused\n*****\r\nhttps://g/a/7",
         {report(u"2 files refused\n"), opened(u"https://g/a/7")}},
        {"marker first", "HTTP/1.1 200 OK\r\n\r\n*****\r\nhttp://g/a", {report(u""), opened(u"http://g/a")}},
        {"only the first marker counts", "HTTP/1.1 200 OK\r\n\r\nr*****\r\nhttp://g/*****\r\nx",
         {report(u"r"), opened(u"http://g/*****\r\nx")}},
        {"trailing CR LF kept", "HTTP/1.1 200 OK\r\n\r\nhttp://g/a\r\n", {opened(u"http://g/a\r\n")}},
        {"scheme in any case", "HTTP/1.1 200 OK\r\n\r\nHTTPS://G/A", {opened(u"HTTPS://G/A")}},
        {"interim 100 then 200", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\nhttp://g/a", {opened(u"http://g/a")}},
        {"server error page", "HTTP/1.1 500 Internal\r\nContent-Length: 26\r\n\r\n<html><b>boom</b></html>\r\n",
         {error(u"<html><b>boom</b></html>\r\n")}},
        {"201 is not success", "HTTP/1.1 201 Created\r\n\r\nhttp://g/a", {error(u"http://g/a")}},
        {"204 with empty body", "HTTP/1.1 204 No Content\r\n\r\n", {error(u"")}},
        {"NUL ends the text", "HTTP/1.1 200 OK\r\n\r\nhttp://g/a\0evil"s, {opened(u"http://g/a")}},
        {"body breaks off", "HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\nhttp://g/a", {error(broken)}},
        {"broken chunk still presented", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhttp:\r\n9\r\n//g",
         {error(broken), error(not_web + u"http:")}},
        {"empty address not opened", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", {error(not_web)}},
        {"program path not opened", "HTTP/1.1 200 OK\r\n\r\nC:\\Windows\\system32\\calc.exe",
         {error(not_web + u"C:\\Windows\\system32\\calc.exe")}},
        {"file share not opened", "HTTP/1.1 200 OK\r\n\r\nok\n*****\r\n\\\\host\\share\\run.exe",
         {report(u"ok\n"), error(not_web + u"\\\\host\\share\\run.exe")}},
        {"other scheme not opened", "HTTP/1.1 200 OK\r\n\r\nfile:///etc/passwd", {error(not_web + u"file:///etc/passwd")}},
        {"closed before any reply", "", {error(u"")}},
        // The album exists: when no browser starts, the user is given its address.
        {"browser cannot be started", "HTTP/1.1 200 OK\r\n\r\nhttp://g/a/9",
         {opened(u"http://g/a/9"), error(u"cannot open the web browser, open this address by hand: http://g/a/9")},
         true},
    };
    for (const Case& c : cases) {
        recorded_ui().clear();
        desktop_cannot_open() = c.desktop_fails;
        {
            ScriptedPeer peer(c.reply);
            handle_reply(peer.socket);
        }
        desktop_cannot_open() = false;
        EXPECT_EQ(recorded_ui(), c.seen) << c.name;
    }
}

TEST(IsWebAddress, OnlyHttpAndHttps) {
    EXPECT_TRUE(is_web_address(u"http://x"));
    EXPECT_TRUE(is_web_address(u"hTTpS://x"));
    EXPECT_FALSE(is_web_address(u"http:/x"));
    EXPECT_FALSE(is_web_address(u" http://x"));
    EXPECT_FALSE(is_web_address(u"httpx://x"));
    EXPECT_FALSE(is_web_address(u"mailto:a@b"));
}

}  // namespace
