// The sway and Hyprland providers against fake compositors on real Unix sockets: the IPC framing,
// the subscription, which events count as a notice, what a lost connection does, and that the
// descriptor the event loop watches goes quiet afterwards instead of spinning.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "log/Log.hpp"
#include "platform/linux/focus/HyprlandFocusProvider.hpp"
#include "platform/linux/focus/SwayFocusProvider.hpp"
#include "Samples.hpp"
#include "support/TempDir.hpp"
#include "support/Waiting.hpp"

namespace joyrelay {
namespace {

using namespace std::chrono_literals;
using joyrelay::testing::TempDir;
using joyrelay::testing::waitUntil;

bool readable(int fd, std::chrono::milliseconds wait) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(wait.count())) > 0;
}

// Dispatches the provider each time its descriptor becomes readable, until `condition` holds.
bool pumpUntil(FocusProvider& provider, const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        if (readable(provider.fd(), left)) provider.dispatch();
    }
    return true;
}

int listenOn(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 8) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void writeAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

// A server thread: accepts on each listening socket and hands every readable client to `serve`.
class FakeServer {
public:
    using Serve = std::function<bool(int client, std::size_t listener)>;  // false: close the client

    FakeServer(std::vector<int> listeners, Serve serve) : listeners_(std::move(listeners)), serve_(std::move(serve)) {
        ::pipe2(wake_, O_CLOEXEC);
        thread_ = std::thread([this] { run(); });
    }
    ~FakeServer() {
        stop_ = true;
        [[maybe_unused]] const ssize_t n = ::write(wake_[1], "x", 1);
        thread_.join();
        for (const auto& [client, listener] : clients_) ::close(client);
        for (int fd : listeners_) ::close(fd);
        ::close(wake_[0]);
        ::close(wake_[1]);
    }
    // Runs `action` on the clients of one listener, under the lock.
    void withClients(std::size_t listener, const std::function<void(std::vector<int>&)>& action) {
        std::lock_guard lock(mutex_);
        std::vector<int> clients;
        for (const auto& [client, from] : clients_) {
            if (from == listener) clients.push_back(client);
        }
        action(clients);
    }
    void closeClients(std::size_t listener) {
        std::lock_guard lock(mutex_);
        std::erase_if(clients_, [&](const std::pair<int, std::size_t>& c) {
            if (c.second != listener) return false;
            ::close(c.first);
            return true;
        });
    }
    std::size_t clientCount(std::size_t listener) {
        std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(std::count_if(clients_.begin(), clients_.end(),
                                                       [&](const auto& c) { return c.second == listener; }));
    }

private:
    void run() {
        while (!stop_) {
            std::vector<pollfd> fds{{wake_[0], POLLIN, 0}};
            {
                std::lock_guard lock(mutex_);
                for (int fd : listeners_) fds.push_back({fd, POLLIN, 0});
                for (const auto& [client, listener] : clients_) fds.push_back({client, POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), 1000) <= 0) continue;
            std::lock_guard lock(mutex_);
            for (std::size_t i = 1; i < fds.size(); ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
                if (i <= listeners_.size()) {
                    const int client = ::accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
                    if (client >= 0) clients_.emplace_back(client, i - 1);
                    continue;
                }
                const auto it = std::find_if(clients_.begin(), clients_.end(),
                                             [&](const auto& c) { return c.first == fds[i].fd; });
                if (it == clients_.end()) continue;
                if (!serve_(it->first, it->second)) {
                    ::close(it->first);
                    clients_.erase(it);
                }
            }
        }
    }

    std::vector<int> listeners_;
    Serve serve_;
    std::vector<std::pair<int, std::size_t>> clients_;
    std::mutex mutex_;
    std::atomic<bool> stop_{false};
    int wake_[2] = {-1, -1};
    std::thread thread_;
};

// --- sway ------------------------------------------------------------------------------------------

class FakeSway {
public:
    explicit FakeSway(const std::string& path)
        : server_({listenOn(path)}, [this](int client, std::size_t) { return serve(client); }) {}

    void setTree(std::string tree) {
        std::lock_guard lock(treeLock_);
        tree_ = std::move(tree);
    }
    int treeRequests() const { return treeRequests_; }
    // To every subscribed connection.
    void event(std::uint32_t type, const std::string& payload) {
        const std::string message = sway_ipc::encode(type, payload);
        server_.withClients(0, [&](std::vector<int>& clients) {
            for (int client : clients) {
                if (subscribed_.count(client)) writeAll(client, message);
            }
        });
    }
    void dropEverything() { server_.closeClients(0); }
    std::size_t subscribers() {
        std::size_t n = 0;
        server_.withClients(0, [&](std::vector<int>& clients) {
            for (int client : clients) n += subscribed_.count(client);
        });
        return n;
    }

private:
    bool serve(int client) {
        std::string& buffer = buffers_[client];
        char chunk[4096];
        const ssize_t n = ::recv(client, chunk, sizeof chunk, 0);
        if (n <= 0) {
            buffers_.erase(client);
            subscribed_.erase(client);
            return false;
        }
        buffer.append(chunk, static_cast<std::size_t>(n));
        while (auto message = sway_ipc::takeMessage(buffer)) {
            if (message->type == sway_ipc::subscribe) {
                subscribed_.insert(client);
                writeAll(client, sway_ipc::encode(sway_ipc::subscribe, R"({"success": true})"));
            } else if (message->type == sway_ipc::getTree) {
                ++treeRequests_;
                std::lock_guard lock(treeLock_);
                writeAll(client, sway_ipc::encode(sway_ipc::getTree, tree_));
            }
        }
        return true;
    }

    std::map<int, std::string> buffers_;
    std::set<int> subscribed_;
    std::mutex treeLock_;
    std::string tree_;
    std::atomic<int> treeRequests_{0};
    FakeServer server_;  // last: its thread uses the members above
};

TEST(SwayProvider, FollowsTheTreeOnNoticesAndSaysSoWhenSwayGoes) {
    TempDir folder{"joyrelay-fake"};
    const std::string path = (folder.path() / "sway-ipc.sock").string();
    FakeSway sway(path);
    sway.setTree(sample("sway-tree-floating-chromium.json"));
    std::string error;
    auto provider = SwayFocusProvider::open(path, &error);
    ASSERT_TRUE(provider) << error;
    EXPECT_EQ(provider->name(), "sway IPC");
    int notices = 0;
    provider->setChangeHandler([&] { ++notices; });

    auto app = provider->frontmost();
    ASSERT_TRUE(app);
    EXPECT_EQ(app->appId, "chromium");
    EXPECT_FALSE(provider->problem());

    // The subscription's answer is no notice; a title change is none either; focus is one.
    ASSERT_TRUE(waitUntil([&] { return sway.subscribers() == 1; }));
    sway.event(sway_ipc::windowEvent, R"({"change": "title", "container": {"app_id": "chromium"}})");
    sway.event(sway_ipc::windowEvent, R"({"change": "focus", "container": {"app_id": "foot"}})");
    ASSERT_TRUE(pumpUntil(*provider, [&] { return notices == 1; }));
    sway.setTree(sample("sway-tree-nested-foot.json"));
    EXPECT_EQ(provider->frontmost()->appId, "foot");
    // An empty workspace brings a workspace event only.
    sway.event(sway_ipc::workspaceEvent, R"({"change": "focus", "current": {"name": "2"}})");
    ASSERT_TRUE(pumpUntil(*provider, [&] { return notices == 2; }));
    sway.setTree(sample("sway-tree-empty-workspace.json"));
    EXPECT_FALSE(provider->frontmost());
    EXPECT_FALSE(provider->problem());
    EXPECT_EQ(sway.treeRequests(), 3);  // one per question, on one kept connection

    // The bridge queue's question, on a connection of its own.
    const std::shared_ptr<FocusNow> now = provider->focusNow();
    ASSERT_TRUE(now);
    sway.setTree(sample("sway-tree-floating-chromium.json"));
    FocusNow::Answer answer = now->ask(FocusNow::Clock::now() + 5s);
    EXPECT_TRUE(answer.answered);
    ASSERT_TRUE(answer.app);
    EXPECT_EQ(answer.app->appId, "chromium");

    sway.dropEverything();
    ASSERT_TRUE(pumpUntil(*provider, [&] { return notices == 3; }));
    ASSERT_TRUE(provider->problem());
    EXPECT_NE(provider->problem()->find("the connection to sway closed"), std::string::npos) << *provider->problem();
    EXPECT_FALSE(provider->frontmost());
    EXPECT_FALSE(readable(provider->fd(), 50ms));  // nothing left to spin on
    EXPECT_FALSE(now->ask(FocusNow::Clock::now() + 5s).answered);  // the asker stops with the provider
}

// A peer on SWAYSOCK that is not sway: after the subscription's answer (or on GET_TREE) it sends
// one kind of trouble, for as long as it is read.
class HostileSway {
public:
    enum class Trouble { hugeTree, hugeEvent, garbage, flood };

    HostileSway(const std::string& path, Trouble trouble) : listener_(listenOn(path)), trouble_(trouble) {
        thread_ = std::thread([this] { run(); });
    }
    ~HostileSway() {
        stop_ = true;
        thread_.join();
        for (std::thread& t : clients_) t.join();
        ::close(listener_);
    }

private:
    void run() {
        while (!stop_) {
            if (!readable(listener_, 50ms)) continue;
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) clients_.emplace_back([this, client] { serve(client); });
        }
    }
    // Writes `data` while the client reads it; false once it has gone or the peer is stopping.
    bool send(int client, const std::string& data) {
        std::size_t done = 0;
        while (done < data.size() && !stop_) {
            const ssize_t n = ::send(client, data.data() + done, data.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else if (errno == EAGAIN) {
                pollfd p{client, POLLOUT, 0};
                ::poll(&p, 1, 50);
            } else {
                return false;
            }
        }
        return done == data.size();
    }
    static std::string header(std::uint32_t type, std::uint32_t length) {
        std::string h = "i3-ipc";
        h.append(reinterpret_cast<const char*>(&length), 4);
        h.append(reinterpret_cast<const char*>(&type), 4);
        return h;
    }
    void serve(int client) {
        std::string request;
        while (!stop_ && request.size() < 14) {
            char c[64];
            if (!readable(client, 50ms)) continue;
            const ssize_t n = ::recv(client, c, sizeof c, 0);
            if (n <= 0) break;
            request.append(c, static_cast<std::size_t>(n));
        }
        std::uint32_t type = 0;
        if (request.size() >= 14) std::memcpy(&type, request.data() + 10, 4);
        const std::string zeros(64 * 1024, '\0');
        std::string flood;
        for (int i = 0; i < 256; ++i) flood += sway_ipc::encode(sway_ipc::windowEvent, R"({"change":"focus"})");
        if (type == sway_ipc::getTree) {
            if (trouble_ != Trouble::hugeTree) {
                send(client, sway_ipc::encode(sway_ipc::getTree, sample("sway-tree-floating-chromium.json")));
            } else if (send(client, header(sway_ipc::getTree, 0xFFFFFFFFu))) {
                while (send(client, zeros)) {}
            }
        } else if (type == sway_ipc::subscribe && send(client, sway_ipc::encode(sway_ipc::subscribe, R"({"success":true})"))) {
            if (trouble_ == Trouble::hugeEvent && send(client, header(sway_ipc::windowEvent, 0xFFFFFFFFu))) {
                while (send(client, zeros)) {}
            } else if (trouble_ == Trouble::garbage) {
                while (send(client, "HTTP/1.1 400 Bad Request\r\n" + zeros)) {}
            } else if (trouble_ == Trouble::flood) {
                while (send(client, flood)) {}
            }
        }
        char byte = 0;
        while (!stop_ && !(readable(client, 50ms) && ::recv(client, &byte, 1, 0) <= 0)) {}
        ::close(client);
    }

    int listener_;
    Trouble trouble_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::vector<std::thread> clients_;
};

long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return 0;
}

TEST(SwayProvider, AHugeMessageGarbageOrAFloodClosesItWithOneLogLineAndFlatMemory) {
    using Trouble = HostileSway::Trouble;
    for (const Trouble trouble : {Trouble::hugeTree, Trouble::hugeEvent, Trouble::garbage, Trouble::flood}) {
        SCOPED_TRACE(static_cast<int>(trouble));
        TempDir folder{"joyrelay-fake"};
        const std::string path = (folder.path() / "sway-ipc.sock").string();
        HostileSway peer(path, trouble);
        std::mutex linesLock;
        std::vector<std::string> lines;
        Log::setListener([&](std::string_view line) {
            std::lock_guard lock(linesLock);
            lines.emplace_back(line);
        });
        const long before = residentKiB();
        std::string error;
        auto provider = SwayFocusProvider::open(path, &error);
        ASSERT_TRUE(provider) << error;
        // As the gate does: asks on every notice.
        provider->setChangeHandler([&] { provider->frontmost(); });
        provider->frontmost();
        EXPECT_TRUE(pumpUntil(*provider, [&] { return provider->problem().has_value() && !provider->frontmost(); }, 20s));
        Log::setListener({});
        EXPECT_LT(residentKiB() - before, 32 * 1024);
        ASSERT_TRUE(provider->problem());
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const std::string& l) { return l.rfind("Focus lost: ", 0) == 0; }),
                  1)
            << *provider->problem();
        EXPECT_FALSE(readable(provider->fd(), 50ms));
        EXPECT_FALSE(provider->focusNow()->ask(FocusNow::Clock::now() + 1s).answered);
    }
}

TEST(SwayProvider, NoSocketNoProvider) {
    TempDir folder{"joyrelay-fake"};
    std::string error;
    EXPECT_FALSE(SwayFocusProvider::open((folder.path() / "missing.sock").string(), &error));
    EXPECT_NE(error.find("cannot connect to"), std::string::npos) << error;
}

// --- Hyprland --------------------------------------------------------------------------------------

class FakeHyprland {
public:
    explicit FakeHyprland(const std::filesystem::path& folder)
        : server_({listenOn((folder / ".socket.sock").string()), listenOn((folder / ".socket2.sock").string())},
                  [this](int client, std::size_t listener) { return serve(client, listener); }) {}

    void setActive(std::string json) {
        std::lock_guard lock(lock_);
        active_ = std::move(json);
    }
    void lines(const std::string& text) {
        server_.withClients(1, [&](std::vector<int>& clients) {
            for (int client : clients) writeAll(client, text);
        });
    }
    std::size_t eventClients() { return server_.clientCount(1); }
    void dropEvents() { server_.closeClients(1); }
    std::vector<std::string> requests() {
        std::lock_guard lock(lock_);
        return requests_;
    }

private:
    bool serve(int client, std::size_t listener) {
        char chunk[256];
        const ssize_t n = ::recv(client, chunk, sizeof chunk, 0);
        if (n <= 0 || listener == 1) return n > 0;
        std::lock_guard lock(lock_);
        requests_.emplace_back(chunk, static_cast<std::size_t>(n));
        writeAll(client, active_);
        return false;  // answered: Hyprland closes the request connection
    }

    std::mutex lock_;
    std::string active_ = "{}";
    std::vector<std::string> requests_;
    FakeServer server_;
};

TEST(HyprlandProvider, AsksTheRequestSocketAndTakesActivewindowLinesAsNotices) {
    TempDir folder{"joyrelay-fake"};
    FakeHyprland hyprland(folder.path());
    EXPECT_EQ(hyprland_ipc::socketFolder(folder.path().parent_path().string(), folder.path().filename().string()),
              "/tmp/hypr/" + folder.path().filename().string());  // no hypr/ folder under that runtime folder
    std::string error;
    auto provider = HyprlandFocusProvider::open(folder.path().string(), &error);
    ASSERT_TRUE(provider) << error;
    int notices = 0;
    provider->setChangeHandler([&] { ++notices; });

    hyprland.setActive(R"({"class": "chromium", "title": "a, b >> c", "pid": 12, "xwayland": false})");
    auto app = provider->frontmost();
    ASSERT_TRUE(app);
    EXPECT_EQ(app->appId, "chromium");
    EXPECT_EQ(hyprland.requests(), (std::vector<std::string>{"j/activewindow"}));

    ASSERT_TRUE(waitUntil([&] { return hyprland.eventClients() == 1; }));
    // A line in two pieces, titles with commas and arrows, and other events in between.
    hyprland.lines("openwindow>>80a0,1,foot,foot\nactivewindow>>foot,~/a, b >");
    hyprland.lines("> c\nactivewindowv2>>80a0\nwindowtitle>>80a0\n");
    ASSERT_TRUE(pumpUntil(*provider, [&] { return notices >= 1; }));
    hyprland.setActive(R"({"class": "foot", "title": "~/a, b >> c", "pid": 13, "xwayland": false})");
    EXPECT_EQ(provider->frontmost()->appId, "foot");

    // The request socket stops answering: the class from the event stream stands in.
    hyprland.setActive("not json");
    EXPECT_EQ(provider->frontmost()->appId, "foot");
    EXPECT_TRUE(provider->problem());

    // The bridge queue's question, on a request connection of its own.
    const std::shared_ptr<FocusNow> now = provider->focusNow();
    hyprland.setActive(R"({"class": "firefox", "xwayland": false})");
    const FocusNow::Answer answer = now->ask(FocusNow::Clock::now() + 5s);
    EXPECT_TRUE(answer.answered);
    EXPECT_EQ(answer.app.value_or(FrontmostApplication{}).appId, "firefox");

    hyprland.dropEvents();
    const int before = notices;
    ASSERT_TRUE(pumpUntil(*provider, [&] { return notices > before; }));
    EXPECT_FALSE(provider->frontmost());
    EXPECT_NE(provider->problem()->find("the connection to Hyprland closed"), std::string::npos);
    EXPECT_FALSE(readable(provider->fd(), 50ms));
    EXPECT_FALSE(now->ask(FocusNow::Clock::now() + 5s).answered);
}

TEST(HyprlandProvider, AnEndlessLineOrOneThatIsNoEventClosesIt) {
    for (const std::string& trouble : {std::string(3 << 20, 'x'), std::string("HTTP/1.1 400 Bad Request\n")}) {
        TempDir folder{"joyrelay-fake"};
        FakeHyprland hyprland(folder.path());
        std::string error;
        auto provider = HyprlandFocusProvider::open(folder.path().string(), &error);
        ASSERT_TRUE(provider) << error;
        ASSERT_TRUE(waitUntil([&] { return hyprland.eventClients() == 1; }));
        std::thread writer([&] { hyprland.lines(trouble); });  // more than the socket holds
        EXPECT_TRUE(pumpUntil(*provider, [&] { return provider->problem().has_value(); }));
        writer.join();
        EXPECT_FALSE(provider->frontmost());
        EXPECT_FALSE(readable(provider->fd(), 50ms));
    }
}

}  // namespace
}  // namespace joyrelay
