// HTTP routes of the gallery on cpp-httplib; handlers stay thin and call the free functions below.
#include "gallery_server.h"

#include <httplib.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>

#include "gallery_pages.h"
#include "picture_type.h"

namespace {

constexpr const char* plain_text = "text/plain; charset=utf-8";
constexpr std::size_t longest_client_text = 256;
constexpr std::size_t file_piece = 64 * 1024;

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// Refuses what cannot be read safely before a byte of the body is read: no declared length
// means no bound on memory, and cpp-httplib enforces its own bound only on declared lengths.
std::optional<BodyFault> check_upload_head(const httplib::Request& req, const UploadLimits& limits,
                                           std::uint64_t& length) {
    if (req.has_header("Transfer-Encoding"))
        return BodyFault{411, "chunked uploads are not accepted; send the body with a Content-Length"};
    std::size_t lengths = req.get_header_value_count("Content-Length");
    if (lengths == 0) return BodyFault{411, "the upload has no Content-Length"};
    if (lengths > 1) return BodyFault{400, "the upload has more than one Content-Length"};
    std::string header = req.get_header_value("Content-Length");
    std::string_view text = trim(header);
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), length);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size())
        return BodyFault{ec == std::errc::result_out_of_range ? 413 : 400,
                         ec == std::errc::result_out_of_range ? "the upload is larger than this gallery takes"
                                                              : "the Content-Length is not a number"};
    if (length > limits.largest_upload)
        return BodyFault{413, "the upload is " + std::to_string(length) + " bytes; this gallery takes at most " +
                                  std::to_string(limits.largest_upload)};
    std::string type = lower(req.get_header_value("Content-Type"));
    if (trim(std::string_view(type).substr(0, type.find(';'))) != "application/octet-stream")
        return BodyFault{415, "uploads must be sent as application/octet-stream; charset=utf-16"};
    return std::nullopt;
}

void reply_text(httplib::Response& res, int status, const std::string& text) {
    res.status = status;
    res.set_content(text, plain_text);
}

void handle_upload(const Gallery& gallery, const httplib::Request& req, httplib::Response& res,
                   const httplib::ContentReader& read_content) {
    std::uint64_t length = 0;
    if (auto fault = check_upload_head(req, gallery.config.limits, length))
        return reply_text(res, fault->status, fault->reason);

    std::string body;
    body.reserve(length);  // at most largest_upload, checked above
    bool complete = read_content([&](const char* data, std::size_t size) {
        if (size > length - body.size()) return false;
        body.append(data, size);
        return true;
    });
    if (!complete || body.size() != length)
        return reply_text(res, 400,
                          "the upload broke off after " + std::to_string(body.size()) + " of its " +
                              std::to_string(length) + " bytes");

    UploadReply reply = accept_upload(gallery, body, req.get_header_value("User-Agent"));
    reply_text(res, reply.status, reply.body);
}

bool parse_id(const std::string& text, std::int64_t& id) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id);
    return ec == std::errc() && end == text.data() + text.size() && id > 0;
}

void handle_album(const Gallery& gallery, const httplib::Request& req, httplib::Response& res) {
    std::int64_t id = 0;
    std::string error;
    std::optional<StoredAlbum> album;
    if (parse_id(req.matches[1], id)) album = load_album(gallery.store, id, error);
    if (!error.empty()) {
        std::cerr << "gallery-server: " << error << "\n";
        return reply_text(res, 500, "the album cannot be read right now");
    }
    if (!album) {
        res.status = 404;
        return res.set_content(not_found_page_html("There is no album " + std::string(req.matches[1]) + "."),
                               "text/html; charset=utf-8");
    }
    res.set_content(album_page_html(*album), "text/html; charset=utf-8");
}

void handle_file(const Gallery& gallery, const httplib::Request& req, httplib::Response& res) {
    std::int64_t id = 0;
    std::string error;
    std::optional<StoredPicture> picture;
    if (parse_id(req.matches[1], id)) picture = load_picture(gallery.store, id, error);
    if (!error.empty()) {
        std::cerr << "gallery-server: " << error << "\n";
        return reply_text(res, 500, "the picture cannot be read right now");
    }
    auto file = std::make_shared<std::ifstream>();
    if (picture) file->open(picture_path(gallery.store, id), std::ios::binary);
    if (!picture || !*file) return reply_text(res, 404, "no such picture");

    res.set_header("Cache-Control", "public, max-age=86400");
    res.set_header("X-Content-Type-Options", "nosniff");
    // Streamed in pieces so serving a picture never holds more than one piece in memory.
    res.set_content_provider(picture->size, picture->content_type,
                             [file](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                 std::string piece(std::min(length, file_piece), '\0');
                                 file->seekg(static_cast<std::streamoff>(offset));
                                 file->read(piece.data(), static_cast<std::streamsize>(piece.size()));
                                 if (file->gcount() <= 0) return false;
                                 return sink.write(piece.data(), static_cast<std::size_t>(file->gcount()));
                             });
}

std::string printable(std::string_view text) {
    std::string out;
    for (char c : text.substr(0, longest_client_text)) out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '?' : c;
    return out;
}

}  // namespace

std::string limits_text(const UploadLimits& limits) {
    return std::to_string(limits.largest_upload) + ":" + std::to_string(limits.most_files) + ":" +
           std::to_string(limits.largest_file);
}

std::string default_public_url(std::string_view host, int port) {
    std::string shown(host);
    if (shown.empty() || shown == "0.0.0.0") shown = "127.0.0.1";
    if (shown.find(':') != std::string::npos) shown = "[" + shown + "]";
    return "http://" + shown + ":" + std::to_string(port);
}

UploadReply accept_upload(const Gallery& gallery, std::string_view body, const std::string& client) {
    BodyParse parsed = parse_upload_body(body, gallery.config.limits);
    if (auto* fault = std::get_if<BodyFault>(&parsed)) return UploadReply{fault->status, fault->reason};
    auto& upload = std::get<UploadAlbum>(parsed);

    NewAlbum album{upload.options, upload.switch_word, printable(client), {}};
    std::vector<Refusal> refusals;
    for (const UploadedFile& file : upload.files) {
        std::string_view type = picture_content_type(file.contents);
        if (type.empty())
            refusals.push_back(Refusal{file.name, "not a JPEG, PNG, GIF or WebP picture"});
        else
            album.pictures.push_back(NewPicture{file.name, std::string(type), file.contents});
    }

    std::string error;
    std::int64_t id = store_album(gallery.store, album, error);
    if (id == 0) {
        std::cerr << "gallery-server: upload not stored: " << error << "\n";
        return UploadReply{500, "the gallery could not store the album; nothing was kept"};
    }
    return UploadReply{200, upload_reply_body(album_address(gallery.public_url, id), refusals)};
}

void configure_server(httplib::Server& server, const Gallery& gallery) {
    const ServerConfig& config = gallery.config;
    std::size_t threads = std::max<std::size_t>(config.threads, 2);
    server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    server.set_read_timeout(config.read_timeout_seconds, 0);
    server.set_write_timeout(config.read_timeout_seconds, 0);
    // One request per connection: the uploader never sends a second one, and a refused upload
    // leaves body bytes unread that must never be taken for a next request.
    server.set_keep_alive_max_count(1);
    // cpp-httplib also sets SO_REUSEPORT, which would let a second server share our port unnoticed.
    server.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server.set_keep_alive_timeout(2);
    server.set_payload_max_length(config.limits.largest_upload);

    server.Get("/add/limits.aspx", [&gallery](const httplib::Request&, httplib::Response& res) {
        res.set_content(limits_text(gallery.config.limits), plain_text);
    });
    server.Post("/add/Client.aspx", [&gallery](const httplib::Request& req, httplib::Response& res,
                                               const httplib::ContentReader& read_content) {
        handle_upload(gallery, req, res, read_content);
    });
    server.Get(R"(/album/(\d{1,18}))", [&gallery](const httplib::Request& req, httplib::Response& res) {
        handle_album(gallery, req, res);
    });
    server.Get(R"(/files/(\d{1,18}))", [&gallery](const httplib::Request& req, httplib::Response& res) {
        handle_file(gallery, req, res);
    });
    server.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("This gallery takes uploads at /add/Client.aspx; albums are at /album/<number>.\n",
                        plain_text);
    });

    server.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty() || res.content_length_ > 0) return httplib::Server::HandlerResponse::Unhandled;
        res.set_content(res.status == 404 ? "not found" : "request refused (HTTP " + std::to_string(res.status) + ")",
                        plain_text);
        return httplib::Server::HandlerResponse::Handled;
    }));
    server.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        reply_text(res, 500, "the gallery failed on this request");
    });
    if (config.log_requests) {
        server.set_logger([](const httplib::Request& req, const httplib::Response& res) {
            std::fprintf(stderr, "%s %s %s %d\n", req.remote_addr.c_str(), req.method.c_str(),
                         printable(req.path).c_str(), res.status);
        });
    }
}
