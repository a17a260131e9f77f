#include "utility/services/tftp_workers.h"

#include <algorithm>
#include <condition_variable>
#include <thread>

namespace utility::services {

struct TftpWorkers::Worker {
    std::mutex mutex;
    std::condition_variable ready;
    platform::EventLoop* loop = nullptr; // set by the thread once its server serves
    TftpServer* server = nullptr;
    std::size_t load = 0; // clients routed here with a transfer (guarded by the workers' mutex)
    std::thread thread;
};

TftpWorkers::TftpWorkers(TftpServer& front, platform::Prompter& prompter, std::size_t limit)
    : m_front(front)
    , m_prompter(prompter)
    , m_limit(limit != 0 ? limit : std::clamp<std::size_t>(front.transferLimit(), 1, kDefaultWorkerLimit))
    , m_running(std::make_shared<std::atomic<std::size_t>>(0))
{
    {
        std::lock_guard lock(m_mutex);
        startWorker();
    }
    front.setRequestRoute([this](std::vector<std::uint8_t> datagram, const platform::Endpoint& sender) {
        Worker* w = nullptr;
        {
            std::lock_guard lock(m_mutex);
            w = &workerFor(sender);
        }
        TftpServer* server = w->server;
        w->loop->post([this, w, server, datagram = std::move(datagram), sender] {
            server->serveRequest(datagram, sender);
            // A request that started nothing (refused, a stray packet)
            // keeps no worker for its client.
            const TftpSession* session = server->sessionFor(sender);
            if (!session || !session->active())
                release(*w, sender);
        });
    });
}

TftpWorkers::~TftpWorkers()
{
    m_front.setRequestRoute(nullptr);
    std::vector<Worker*> workers;
    {
        std::lock_guard lock(m_mutex);
        for (auto& worker : m_workers)
            workers.push_back(worker.get());
    }
    for (Worker* worker : workers)
        worker->loop->quit(0);
    for (Worker* worker : workers)
        worker->thread.join();
}

std::size_t TftpWorkers::count() const
{
    std::lock_guard lock(m_mutex);
    return m_workers.size();
}

TftpWorkers::Worker& TftpWorkers::startWorker()
{
    auto worker = std::make_unique<Worker>();
    Worker& w = *worker;
    TftpServer& front = m_front;
    platform::Prompter& prompter = m_prompter;
    auto running = m_running;
    w.thread = std::thread([this, &w, &front, &prompter, running] {
        auto loop = platform::makeEpollLoop();
        TftpServer server(*loop, prompter);
        server.serveFor(front, running);
        server.setTransferEndedCallback([this, &w](const platform::Endpoint& client) { release(w, client); });
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
    return w;
}

TftpWorkers::Worker& TftpWorkers::workerFor(const platform::Endpoint& client)
{
    const auto key = std::make_pair(client.address, client.port);
    if (auto known = m_clients.find(key); known != m_clients.end())
        return *known->second;
    Worker* least = m_workers.front().get();
    for (auto& worker : m_workers)
        if (worker->load < least->load)
            least = worker.get();
    if (least->load > 0 && m_workers.size() < m_limit)
        least = &startWorker();
    ++least->load;
    m_clients.emplace(key, least);
    return *least;
}

void TftpWorkers::release(Worker& worker, const platform::Endpoint& client)
{
    std::lock_guard lock(m_mutex);
    const auto known = m_clients.find(std::make_pair(client.address, client.port));
    if (known == m_clients.end() || known->second != &worker)
        return;
    m_clients.erase(known);
    --worker.load;
}

} // namespace utility::services
