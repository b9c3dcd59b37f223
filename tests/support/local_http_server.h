#pragma once
// A small HTTP/1.0 server on loopback for the self-update tests: one connection at a
// time, a fixed answer per path (404 otherwise), and the ways a download can go wrong.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace http_test {

// A listening loopback socket; port receives its port.
inline int listening_socket(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 && ::listen(fd, 16) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    EXPECT_TRUE(ok) << "cannot listen on loopback";
    port = ok ? ntohs(address.sin_port) : 0;
    return fd;
}

enum class delivery {
    whole,    // the body with its length
    cut,      // a length header promising twice the body, then the connection closes
    endless,  // no length, the body repeated until the client gives up
    slow,     // the body in 1 KB pieces, 50 ms apart
};

struct response {
    int status = 200;
    std::string body = "";
    delivery how = delivery::whole;
    std::string location = "";  // for redirects
};

class local_http_server {
public:
    local_http_server() : fd_(listening_socket(port_)), thread_([this] { serve(); }) {}
    ~local_http_server() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    void answer(const std::string& path, response r) {
        std::lock_guard<std::mutex> lock(mutex_);
        routes_.insert_or_assign(path, std::move(r));
    }
    std::string url(const std::string& path, const std::string& host = "127.0.0.1") const {
        return "http://" + host + ":" + std::to_string(port_) + path;
    }
    std::vector<std::string> requests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

private:
    void serve() {
        while (!stop_) {
            pollfd waiting{fd_, POLLIN, 0};
            const int client = ::poll(&waiting, 1, 50) > 0 ? ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
            if (client < 0) continue;
            const timeval patience{2, 0};  // a client that stops reading is given up on
            ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
            handle(client, read_path(client));
            ::close(client);
        }
    }

    static std::string read_path(int client) {
        std::string request;
        char buffer[4096];
        pollfd readable{client, POLLIN, 0};
        while (request.find("\r\n\r\n") == std::string::npos && ::poll(&readable, 1, 2000) > 0) {
            const ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
            if (got <= 0) break;
            request.append(buffer, static_cast<std::size_t>(got));
        }
        const auto start = request.find(' ') + 1;
        return request.substr(start, request.find(' ', start) - start);
    }

    bool send_all(int client, const std::string& data) const {
        for (std::size_t sent = 0; sent < data.size();) {
            const ssize_t n = ::send(client, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n <= 0 || stop_) return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

    void handle(int client, const std::string& path) {
        response r{404, "<html><body>Not Found</body></html>"};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(path);
            if (const auto found = routes_.find(path); found != routes_.end()) r = found->second;
        }
        std::string head = "HTTP/1.0 " + std::to_string(r.status) + " Answer\r\nLocation: " + r.location + "\r\n";
        if (r.how != delivery::endless)
            head += "Content-Length: " + std::to_string(r.body.size() * (r.how == delivery::cut ? 2 : 1)) + "\r\n";
        bool more = send_all(client, head + "\r\n");
        while (more && r.how == delivery::endless) more = send_all(client, r.body);
        for (std::size_t at = 0; more && r.how == delivery::slow && at < r.body.size(); at += 1024) {
            more = send_all(client, r.body.substr(at, 1024));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (more && r.how != delivery::slow) send_all(client, r.body);
    }

    int port_ = 0;
    int fd_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::map<std::string, response> routes_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

}  // namespace http_test
