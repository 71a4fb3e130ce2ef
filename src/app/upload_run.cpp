// The fixed order of one run: limits, settings, upload connection, gathering, request, reply.
#include "app/upload_run.h"

#include <stdexcept>

#include "common/constants.h"
#include "common/text.h"
#include "gather/path_collector.h"
#include "gather/upload_batch.h"
#include "http/http_client.h"
#include "limits/server_limits.h"
#include "settings/settings_file.h"
#include "upload/reply_handling.h"
#include "upload/upload_request.h"

int run_upload(const std::vector<platform::NativePath>& paths) {
    // Deliberately not caught: without sockets there is nothing to do.
    if (!platform::net_start()) throw std::runtime_error(WSA_START_FAILURE);

    const std::uint32_t largest_upload = fetch_limits().largest_upload;
    const Settings& settings = load_settings();

    // Opened before any file is read; it waits, idle, while the pictures are gathered.
    const platform::Connection connection = gallery_connect();
    if (connection.status != platform::ConnectStatus::connected) {
        show_error(connect_failure_message(connection.status));
        return 1;
    }

    UploadBatch batch;
    batch_init(batch);
    for (const platform::NativePath& path : paths) collect_path(batch, path, fetch_limits());
    send_upload(connection.socket, batch, settings, largest_upload);
    batch_release(batch);
    handle_reply(connection.socket);

    platform::net_stop();
    return 0;
}
