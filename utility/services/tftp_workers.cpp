#include "utility/services/tftp_workers.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace utility::services {

struct TftpWorkers::Worker {
    std::mutex mutex;
    std::condition_variable ready;
    platform::EventLoop* loop = nullptr; // set by the thread once its server serves
    TftpServer* server = nullptr;
    std::thread thread;
};

TftpWorkers::TftpWorkers(TftpServer& front, platform::Prompter& prompter, std::size_t count)
    : m_front(front)
{
    if (count == 0)
        count = std::max(1u, std::thread::hardware_concurrency());
    auto running = std::make_shared<std::atomic<std::size_t>>(0);
    for (std::size_t i = 0; i < count; ++i) {
        auto worker = std::make_unique<Worker>();
        Worker& w = *worker;
        w.thread = std::thread([&w, &front, &prompter, running] {
            auto loop = platform::makeEpollLoop();
            TftpServer server(*loop, prompter);
            server.serveFor(front, running);
            // Ready once the loop runs: a quit before run() would be lost.
            loop->post([&w, &loop, &server] {
                {
                    std::lock_guard lock(w.mutex);
                    w.loop = loop.get();
                    w.server = &server;
                }
                w.ready.notify_all();
            });
            loop->run();
            // The server and its transfers end here, on their own thread.
        });
        std::unique_lock lock(w.mutex);
        w.ready.wait(lock, [&w] { return w.loop != nullptr; });
        m_workers.push_back(std::move(worker));
    }
    front.setRequestRoute([this](std::vector<std::uint8_t> datagram, const platform::Endpoint& sender) {
        // The client's transfer identifier picks the worker.
        const std::size_t hash = (static_cast<std::size_t>(sender.address) * 2654435761u) ^ sender.port;
        Worker& w = *m_workers[hash % m_workers.size()];
        TftpServer* server = w.server;
        w.loop->post([server, datagram = std::move(datagram), sender] { server->serveRequest(datagram, sender); });
    });
}

TftpWorkers::~TftpWorkers()
{
    m_front.setRequestRoute(nullptr);
    for (auto& worker : m_workers)
        worker->loop->quit(0);
    for (auto& worker : m_workers)
        worker->thread.join();
}

} // namespace utility::services
