#pragma once
// For the self-update tests: an HTTP/1.0 server on loopback (one connection at a time, a
// fixed answer per path, 404 otherwise, and the ways a download can go wrong) and
// throwaway minisign keys.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace http_test {

// A listening loopback socket; port receives its port.
inline int listening_socket(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_TRUE(::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 && ::listen(fd, 16) == 0 &&
                ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        << "cannot listen on loopback";
    port = ntohs(address.sin_port);
    return fd;
}

// cut: a length promising twice the body, then the connection closes; endless: no length,
// the body over and over until the client gives up; slow: 1 KB pieces 50 ms apart.
enum class delivery { whole, cut, endless, slow };

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
        ::shutdown(fd_, SHUT_RDWR);  // ends a waiting accept
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

private:
    void serve() {
        while (!stop_) {
            const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            const timeval patience{2, 0};  // a client that stops sending or reading is given up on
            ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
            ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
            const response r = answer_to(client);
            std::string head = "HTTP/1.0 " + std::to_string(r.status) + " Answer\r\nLocation: " + r.location + "\r\n";
            if (r.how != delivery::endless)
                head += "Content-Length: " + std::to_string(r.body.size() * (r.how == delivery::cut ? 2 : 1)) + "\r\n";
            const std::size_t piece = r.how == delivery::slow ? 1024 : r.body.size() + 1;
            bool more = send_all(client, head + "\r\n");
            do {
                for (std::size_t at = 0; more && at < r.body.size(); at += piece) {
                    more = send_all(client, r.body.substr(at, piece));
                    if (r.how == delivery::slow) std::this_thread::sleep_for(std::chrono::milliseconds(50));
                }
            } while (more && r.how == delivery::endless);
            ::close(client);
        }
    }

    // The answer for the path in the request line.
    response answer_to(int client) {
        std::string request;
        char buffer[4096];
        for (ssize_t n = 0; request.find("\r\n") == std::string::npos && (n = ::recv(client, buffer, sizeof buffer, 0)) > 0;)
            request.append(buffer, static_cast<std::size_t>(n));
        const auto start = request.find(' ') + 1;
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = routes_.find(request.substr(start, request.find(' ', start) - start));
        return found != routes_.end() ? found->second : response{404, "Not Found"};
    }

    // A blocking send only stops short when the client gives up.
    bool send_all(int client, const std::string& data) const {
        return ::send(client, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size()) && !stop_;
    }

    int port_ = 0;
    int fd_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::map<std::string, response> routes_;
    std::thread thread_;
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A new minisign key pair KEY.pub / KEY.key without a password.
inline void make_key(const std::string& key) {
    ASSERT_EQ(std::system(("minisign -G -W -p " + key + ".pub -s " + key + ".key >/dev/null").c_str()), 0);
}

// The minisign signature of content by KEY.key with a trusted comment (a release names its
// version there); mode "-l" gives the legacy form.
inline std::string signature(const std::string& content, const std::string& key, const std::string& mode = "",
                             const std::string& trusted = "version:99.0") {
    std::ofstream(key + ".signed", std::ios::binary | std::ios::trunc) << content;
    const std::string sign = "minisign -S " + mode + " -t '" + trusted + "' -s " + key + ".key -m " + key +
                             ".signed </dev/null >/dev/null";
    EXPECT_EQ(std::system(sign.c_str()), 0) << sign;
    return read_file(key + ".signed.minisig");
}

}  // namespace http_test
