#pragma once

#include "platform/net.h"
#include "platform/prompter.h"
#include "utility/services/tftp_server.h"

#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace utility::services {

// Transfers spread over threads, each with a loop and a worker server of
// its own, for a server with no view (the command line). The front server
// keeps the listen socket and hands each request to a worker: to the one
// already serving that client (its address and port), so that a repeated
// request finds its transfer, and otherwise to a worker without a
// transfer, started when none is free, up to a limit. A transfer thus has
// a thread of its own, as a forking server gives each client a process: on
// a busy machine the server's share of the processors grows with its
// clients instead of a few threads carrying them all. Start it after the
// process gave up its privileges: the threads inherit what is left.
class TftpWorkers final {
public:
    static constexpr std::size_t kDefaultWorkerLimit = 64;

    // `limit` 0 takes one worker per transfer the front allows, at most
    // kDefaultWorkerLimit. Workers start when needed and stay.
    TftpWorkers(TftpServer& front, platform::Prompter& prompter, std::size_t limit = 0);
    // Ends every transfer (their files closed) and joins the threads; the
    // front serves nothing until it is given a route again.
    ~TftpWorkers();
    TftpWorkers(const TftpWorkers&) = delete;
    TftpWorkers& operator=(const TftpWorkers&) = delete;

    // Workers started so far, and how many may be.
    std::size_t count() const;
    std::size_t limit() const { return m_limit; }

private:
    struct Worker;
    Worker& startWorker();
    Worker& workerFor(const platform::Endpoint& client);
    // The client has no transfer on `worker` any more.
    void release(Worker& worker, const platform::Endpoint& client);

    TftpServer& m_front;
    platform::Prompter& m_prompter;
    std::size_t m_limit;
    std::shared_ptr<std::atomic<std::size_t>> m_running;
    mutable std::mutex m_mutex; // guards the lists below and each worker's load
    std::vector<std::unique_ptr<Worker>> m_workers;
    std::map<std::pair<platform::Ipv4, std::uint16_t>, Worker*> m_clients;
};

} // namespace utility::services
