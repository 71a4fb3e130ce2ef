// gallery-server: a small local picture gallery that takes uploads from the desktop uploader.
#include <httplib.h>

#include <csignal>
#include <iostream>
#include <pthread.h>
#include <thread>

#include "server_options.h"

int main(int argc, char** argv) {
    OptionsParse options = parse_server_options(std::vector<std::string>(argv + 1, argv + argc));
    if (options.show_help) {
        std::cout << server_usage();
        return 0;
    }
    if (!options.error.empty()) {
        std::cerr << "gallery-server: " << options.error << "\n" << server_usage();
        return 2;
    }

    Gallery gallery{options.config, {}, {}};
    if (auto error = open_store(gallery.config.data_dir, gallery.store)) {
        std::cerr << "gallery-server: " << *error << "\n";
        return 1;
    }

    // Signals are taken by a thread of their own, which can safely ask the server to stop.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    httplib::Server server;
    configure_server(server, gallery);
    int port = gallery.config.port;
    bool bound = port == 0 ? (port = server.bind_to_any_port(gallery.config.host)) > 0
                           : server.bind_to_port(gallery.config.host, port);
    if (!bound) {
        std::cerr << "gallery-server: cannot listen on " << gallery.config.host << ":" << gallery.config.port << "\n";
        return 1;
    }
    gallery.public_url = gallery.config.public_url.empty() ? default_public_url(gallery.config.host, port)
                                                           : gallery.config.public_url;
    std::cout << "gallery-server listening on " << default_public_url(gallery.config.host, port) << ", data in "
              << gallery.config.data_dir.string() << ", limits " << limits_text(gallery.config.limits) << std::endl;

    std::thread stopper([&server, stop_signals] {
        int signal = 0;
        sigwait(&stop_signals, &signal);
        server.stop();
    });
    bool served = server.listen_after_bind();
    if (served) {
        stopper.join();
    } else {
        pthread_kill(stopper.native_handle(), SIGTERM);
        stopper.join();
    }
    return served ? 0 : 1;
}
