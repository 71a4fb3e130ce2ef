// A cancelling deadline with generations (the rule is in the header).
#include "deadline.h"

void arm_deadline(Deadline& deadline, std::chrono::steady_clock::time_point when,
                  std::weak_ptr<boost::asio::ip::tcp::socket> socket) {
    std::uint64_t generation = ++deadline.generation;
    deadline.passed = false;
    deadline.timer.expires_at(when);
    // The socket's owner holds the deadline too, so a live socket means a live deadline.
    deadline.timer.async_wait([&deadline, generation, socket = std::move(socket)](boost::system::error_code ec) {
        auto alive = socket.lock();
        if (ec || !alive || deadline.generation != generation) return;
        deadline.passed = true;
        boost::system::error_code ignored;
        alive->cancel(ignored);
    });
}

bool deadline_passed(Deadline& deadline) {
    bool passed = deadline.passed;
    // Whatever is still queued from this arming is stale from now on.
    ++deadline.generation;
    deadline.passed = false;
    deadline.timer.cancel();
    return passed;
}
