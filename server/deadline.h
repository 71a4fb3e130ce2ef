// The one deadline a connection has, used for every phase of its life.
//
// The rule: a phase arms the deadline before it starts its socket operation and asks
// `deadline_passed` first thing in that operation's completion. When the time passes, the socket's
// operations are cancelled (not closed), so the client can still be told why. Each arming starts a
// new generation: a firing left over from an earlier phase is recognised and ignored, so it can never
// cut the next phase short.
#pragma once

#include <boost/asio.hpp>

#include <chrono>
#include <cstdint>
#include <memory>

struct Deadline {
    explicit Deadline(boost::asio::any_io_executor executor) : timer(std::move(executor)) {}
    boost::asio::steady_timer timer;
    std::uint64_t generation = 0;
    bool passed = false;
};

// `owner` keeps the socket alive while the timer may still fire; a firing after it is gone does nothing.
void arm_deadline(Deadline& deadline, std::chrono::steady_clock::time_point when,
                  std::weak_ptr<boost::asio::ip::tcp::socket> socket);

// Ends the phase: true when its time ran out before the operation completed.
bool deadline_passed(Deadline& deadline);
