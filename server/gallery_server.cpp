// The listener: admits connections within the connection budgets, runs the network thread, stops cleanly.
#include "gallery_server.h"

#include <csignal>
#include <iostream>

#include "http_session.h"

namespace {

using namespace std::chrono_literals;

// Makes room by closing the connection that has waited longest for a request, from `client` or from
// anyone; false when every connection is busy with a request.
bool evict_oldest_idle(ServerState& state, const std::string* client) {
    for (Session* session : state.idle) {
        if (client && session->client() != *client) continue;
        session->evict();
        return true;
    }
    return false;
}

void admit(ServerState& state, tcp::socket socket) {
    beast::error_code ec;
    auto peer = socket.remote_endpoint(ec);
    if (ec) return;
    std::string client = peer.address().to_string();
    const ConnectionBudgets& budgets = state.gallery.config.budgets;
    auto known = state.clients.find(client);
    if (known != state.clients.end() && known->second.connections >= budgets.most_per_client &&
        !evict_oldest_idle(state, &client))
        return refuse_connection(std::move(socket), "too many connections from your address; try again later");
    if (state.connections >= budgets.most_connections && !evict_oldest_idle(state, nullptr))
        return refuse_connection(std::move(socket), "the gallery is busy; try again later");
    std::make_shared<Session>(state, std::move(socket), std::move(client))->start();
}

void accept_next(ServerState& state) {
    state.acceptor.async_accept([&state](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !state.acceptor.is_open()) return;
        if (!ec) {
            admit(state, std::move(socket));
            return accept_next(state);
        }
        // Out of descriptors, say: try again shortly instead of spinning.
        auto pause = std::make_shared<asio::steady_timer>(state.io, 50ms);
        pause->async_wait([&state, pause](beast::error_code) { accept_next(state); });
    });
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

GalleryServer::GalleryServer(Gallery& gallery) : state_(std::make_unique<ServerState>(gallery)) {
    StoreFailure failure;
    state_->stored_bytes = stored_bytes(gallery.store, failure);
}

GalleryServer::~GalleryServer() {
    stop();
    state_->disk.join();
}

int GalleryServer::bind(std::string& error) {
    const ServerConfig& config = state_->gallery.config;
    beast::error_code ec;
    auto address = asio::ip::make_address(config.host, ec);
    if (ec) {
        error = "cannot listen on " + config.host + ": not an IP address";
        return 0;
    }
    tcp::endpoint endpoint(address, static_cast<unsigned short>(config.port));
    auto& acceptor = state_->acceptor;
    acceptor.open(endpoint.protocol(), ec);
    // SO_REUSEADDR only: a second server must not share our port unnoticed.
    if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        error = "cannot listen on " + config.host + ":" + std::to_string(config.port) + ": " + ec.message();
        return 0;
    }
    return acceptor.local_endpoint().port();
}

void GalleryServer::run(bool on_signals) {
    ServerState& state = *state_;
    if (on_signals) {
        state.signals.add(SIGINT);
        state.signals.add(SIGTERM);
        state.signals.async_wait([this](beast::error_code ec, int) {
            if (!ec) stop();
        });
    }
    accept_next(state);
    state.io.run();
}

void GalleryServer::stop() {
    ServerState& state = *state_;
    asio::post(state.io, [&state] {
        beast::error_code ec;
        state.acceptor.close(ec);
        state.signals.cancel(ec);
        state.io.stop();
    });
}
