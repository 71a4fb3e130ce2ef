// gallery-server: a small local picture gallery that takes uploads from the desktop uploader.
#include <sys/resource.h>

#include <csignal>
#include <iostream>
#include <string_view>

#include "server_options.h"
#include "store_admin.h"
#include "store_backup.h"

int main(int argc, char** argv) {
    if (argc == 2 && std::string_view(argv[1]) == "--version") {
        std::cout << "gallery-server " GALLERY_VERSION "\n";
        return 0;
    }
    if (argc >= 2 && std::string_view(argv[1]) == "backup") {
        BackupOutcome backup = backup_command(std::vector<std::string>(argv + 2, argv + argc));
        (backup.exit_code == 0 ? std::cout : std::cerr) << (backup.exit_code == 0 ? "" : "gallery-server: ") << backup.text;
        return backup.exit_code;
    }
    if (argc >= 2 && is_admin_command(argv[1])) {
        AdminOutcome outcome = admin_command(argv[1], std::vector<std::string>(argv + 2, argv + argc));
        (outcome.exit_code == 0 ? std::cout : std::cerr) << (outcome.exit_code == 0 ? "" : "gallery-server: ")
                                                         << outcome.text;
        return outcome.exit_code;
    }
    OptionsParse options = parse_server_options(std::vector<std::string>(argv + 1, argv + argc));
    if (options.show_help) {
        std::cout << server_usage();
        return 0;
    }
    if (!options.error.empty()) {
        std::cerr << "gallery-server: " << options.error << "\n" << server_usage();
        return 2;
    }

    std::signal(SIGPIPE, SIG_IGN);
    // A file size limit shows up as a failed write (answered 507), not as the end of the process.
    std::signal(SIGXFSZ, SIG_IGN);
    // Each client holds a socket and each upload being written a staged file: take every descriptor
    // the system allows, not the 1024 a login shell hands out, then check the budgets fit in them.
    if (rlimit files{}; ::getrlimit(RLIMIT_NOFILE, &files) == 0) {
        if (files.rlim_cur < files.rlim_max) {
            files.rlim_cur = files.rlim_max;
            ::setrlimit(RLIMIT_NOFILE, &files);
            ::getrlimit(RLIMIT_NOFILE, &files);
        }
        if (auto clash = check_budgets(options.config, files.rlim_cur); !clash.empty()) {
            std::cerr << "gallery-server: " << clash << "\n";
            return 2;
        }
    }

    StoreLocation where{options.config.data_dir, options.config.database, options.config.store};
    where.budgets.cache_leaves_free = options.config.limits.largest_upload + (8 << 20);
    if (options.config.check) {
        StoreReport report = check_store(where);
        std::cout << report.text;
        return report.healthy ? 0 : 1;
    }

    Gallery gallery{options.config, {}, {}};
    if (auto error = open_store(where, gallery.store)) {
        std::cerr << "gallery-server: " << *error << "\n";
        return 1;
    }
    if (!gallery.store.read_only.empty())
        std::cerr << "gallery-server: the store cannot be written (" << gallery.store.read_only
                  << "); serving existing albums and refusing uploads with 507" << std::endl;

    AlbumExpiry expiry(gallery.store, std::chrono::hours(24 * options.config.expire_after_days));
    GalleryServer server(gallery);
    std::string error;
    int port = server.bind(error);
    if (port == 0) {
        std::cerr << "gallery-server: " << error << "\n";
        return 1;
    }
    gallery.public_url = gallery.config.public_url.empty() ? default_public_url(gallery.config.host, port)
                                                           : gallery.config.public_url;
    std::cout << "gallery-server listening on " << default_public_url(gallery.config.host, port) << ", data in "
              << gallery.config.data_dir.string() << (gallery.store.shared ? " and PostgreSQL" : "") << ", limits " << limits_text(gallery.config.limits) << std::endl;
    server.run(true);
    return 0;
}
