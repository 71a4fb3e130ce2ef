// The listener: admits connections within the connection budgets, runs the network thread, stops
// within a grace period.
#include "gallery_server.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <iostream>

#include "connection.h"

namespace {

using namespace std::chrono_literals;

IpAddress address_of(const asio::ip::address& address) {
    IpAddress out;
    if (address.is_v4()) {
        auto v4 = address.to_v4().to_bytes();
        out.bytes[10] = out.bytes[11] = 0xff;
        std::copy(v4.begin(), v4.end(), out.bytes.begin() + 12);
    } else {
        out.bytes = address.to_v6().to_bytes();
    }
    return out;
}

void admit(ServerState& state, tcp::socket socket) {
    beast::error_code ec;
    auto peer = socket.remote_endpoint(ec);
    if (ec) return;
    IpAddress address = address_of(peer.address());
    std::string client = address_text(address);
    const ConnectionBudgets& budgets = state.gallery.config.budgets;
    // A trusted proxy's own address is no client: its connections are counted per client they carry.
    auto known = in_ranges(state.gallery.config.trusted_proxies, address) ? state.clients.end() : state.clients.find(client);
    // An evicted connection's slot is free at once, though its socket's completion is still queued:
    // one admission never evicts two.
    bool made_room = false;
    if (known != state.clients.end() && known->second.connections >= budgets.most_per_client) {
        if (!evict_oldest_idle(state, &client)) return refuse_connection(std::move(socket), too_many_from_client);
        made_room = true;
    }
    if (!made_room && state.connections - state.closing >= budgets.most_connections && !evict_oldest_idle(state, nullptr))
        return refuse_connection(std::move(socket), "the gallery is busy; try again later");
    std::make_shared<Connection>(state, std::move(socket), address)->start();
}

// Out of descriptors: the spare one is given up for a moment, so the waiting connection can be taken
// and told, instead of staying queued unanswered while accept fails again and again. True when one
// was answered.
bool answer_without_descriptors(ServerState& state) {
    if (state.spare_descriptor < 0) return false;
    ::close(state.spare_descriptor);
    int fd = ::accept4(state.acceptor.native_handle(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
        tcp::socket socket(state.io);
        beast::error_code ec;
        socket.assign(state.acceptor.local_endpoint().protocol(), fd, ec);
        if (!ec) refuse_connection(std::move(socket), "the gallery has run out of connections; try again later");
    }
    state.spare_descriptor = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    return fd >= 0;
}

void accept_next(ServerState& state) {
    state.acceptor.async_accept([&state](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !state.acceptor.is_open() || state.stopping) return;
        if (!ec) {
            admit(state, std::move(socket));
            return accept_next(state);
        }
        bool out_of_descriptors = ec == asio::error::no_descriptors || ec.value() == ENFILE;
        if (out_of_descriptors && answer_without_descriptors(state)) return accept_next(state);
        // Anything else: try again shortly instead of spinning.
        auto pause = std::make_shared<asio::steady_timer>(state.io, 50ms);
        pause->async_wait([&state, pause](beast::error_code) { accept_next(state); });
    });
}

// SIGTERM: idle and lingering connections closed now; connections the kernel has already completed
// are still taken (closing the listener would reset them, and nginx cannot resend an upload it has
// begun to send), then no more; requests under way get the grace period to finish (an album being
// committed gets its address to its client).
void stop_gracefully(ServerState& state) {
    if (state.stopping) return;
    while (!state.idle.empty()) state.idle.front()->evict();
    beast::error_code ec;
    state.acceptor.non_blocking(true, ec);  // the loop ends when none is waiting, never blocks
    while (state.acceptor.is_open()) {
        int fd = ::accept4(state.acceptor.native_handle(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) break;
        tcp::socket socket(state.io);
        socket.assign(state.acceptor.local_endpoint().protocol(), fd, ec);
        if (ec) ::close(fd);
        else admit(state, std::move(socket));
    }
    state.stopping = true;
    state.acceptor.close(ec);
    if (state.connections == 0) return state.io.stop();
    state.grace.expires_after(state.gallery.config.budgets.stop_grace);
    state.grace.async_wait([&state](beast::error_code ec) {
        if (!ec) state.io.stop();
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
    total_error_ = failure.detail;
    state_->spare_descriptor = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

GalleryServer::~GalleryServer() {
    stop();
    state_->writes.pool.join();
    state_->reads.pool.join();
    state_->images.pool.join();
    if (state_->spare_descriptor >= 0) ::close(state_->spare_descriptor);
}

int GalleryServer::bind(std::string& error) {
    const ServerConfig& config = state_->gallery.config;
    // A quota over an unknown total would let anything in.
    if (config.storage_quota > 0 && !total_error_.empty()) {
        error = "cannot read how many bytes are stored, which the storage quota needs: " + total_error_;
        return 0;
    }
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
        state.signals.async_wait([this, &state](beast::error_code ec, int) {
            if (ec) return;
            // A second signal stops at once.
            state.signals.async_wait([this](beast::error_code again, int) {
                if (!again) stop();
            });
            stop_gracefully(state);
        });
    }
    accept_next(state);
    state.io.run();
}

void GalleryServer::stop() {
    ServerState& state = *state_;
    asio::post(state.io, [&state] {
        beast::error_code ec;
        state.stopping = true;
        state.acceptor.close(ec);
        state.signals.cancel(ec);
        state.io.stop();
    });
}
