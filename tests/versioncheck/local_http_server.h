#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quavelink::test {

//! A tiny HTTP server on 127.0.0.1 (a free port): one GET per connection, answered with the
//! canned response for its path, or 404.
class LocalHttpServer {
  public:
    struct Response {
        int status = 200;
        std::string body;
    };

    LocalHttpServer() {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), length) ||
            ::listen(listener, 8) ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) ||
            ::pipe(stopPipe)) {
            std::abort();
        }
        port = ntohs(address.sin_port);
        thread = std::thread([this] { run(); });
    }
    ~LocalHttpServer() {
        [[maybe_unused]] ssize_t n = ::write(stopPipe[1], "x", 1);
        thread.join();
        for (int fd : {listener, stopPipe[0], stopPipe[1]}) ::close(fd);
    }

    //! Any thread. What a GET of `path` (for example "/v.txt") receives from now on.
    void serve(const std::string& path, Response response) {
        std::lock_guard lock(mutex);
        responses[path] = std::move(response);
    }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }
    //! The paths asked for so far, in order.
    std::vector<std::string> requestedPaths() {
        std::lock_guard lock(mutex);
        return paths;
    }

  private:
    void run() {
        for (;;) {
            pollfd fds[2] = {{listener, POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) continue;
            if (fds[1].revents != 0) return;
            int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0) continue;
            answer(connection);
            ::close(connection);
        }
    }

    void answer(int connection) {
        std::string request;
        char piece[1024];
        while (request.find("\r\n\r\n") == std::string::npos && request.size() < 16384) {
            pollfd fd{connection, POLLIN, 0};
            ssize_t n = ::poll(&fd, 1, 5000) > 0 ? ::recv(connection, piece, sizeof piece, 0) : 0;
            if (n <= 0) return;
            request.append(piece, static_cast<std::size_t>(n));
        }
        std::size_t start = request.find(' ') + 1;
        std::string path = request.substr(start, request.find(' ', start) - start);
        Response response{404, "<html><body>Not Found</body></html>\n"};
        {
            std::lock_guard lock(mutex);
            paths.push_back(path);
            if (auto found = responses.find(path); found != responses.end()) {
                response = found->second;
            }
        }
        std::string reply = "HTTP/1.1 " + std::to_string(response.status) +
                            " Canned\r\nContent-Length: " + std::to_string(response.body.size()) +
                            "\r\nConnection: close\r\n\r\n" + response.body;
        // A client that refuses a large body closes early: then the rest is simply dropped.
        for (std::size_t sent = 0; sent < reply.size();) {
            ssize_t n = ::send(connection, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return;
            sent += static_cast<std::size_t>(n);
        }
    }

    int listener = -1;
    int stopPipe[2] = {-1, -1};
    int port = 0;
    std::mutex mutex;
    std::map<std::string, Response> responses;
    std::vector<std::string> paths;
    std::thread thread;
};

}  // namespace quavelink::test
