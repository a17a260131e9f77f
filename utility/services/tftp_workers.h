#pragma once

#include "platform/prompter.h"
#include "utility/services/tftp_server.h"

#include <memory>
#include <vector>

namespace utility::services {

// Transfers spread over threads, each with a loop and a worker server of
// its own, for a server with no view (the command line): the front server
// keeps the listen socket and hands each request to the worker its
// client's address and port select, so one client always meets the same
// worker (a repeated request finds its transfer). Start it after the
// process gave up its privileges: the threads inherit what is left.
class TftpWorkers final {
public:
    // `count` 0 takes one worker per processor.
    TftpWorkers(TftpServer& front, platform::Prompter& prompter, std::size_t count = 0);
    // Ends every transfer (their files closed) and joins the threads; the
    // front serves nothing until it is given a route again.
    ~TftpWorkers();
    TftpWorkers(const TftpWorkers&) = delete;
    TftpWorkers& operator=(const TftpWorkers&) = delete;

    std::size_t count() const { return m_workers.size(); }

private:
    struct Worker;
    TftpServer& m_front;
    std::vector<std::unique_ptr<Worker>> m_workers;
};

} // namespace utility::services
