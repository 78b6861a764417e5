#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A small HTTP server on 127.0.0.1 and an ephemeral port, run by a thread of its own for the
// length of one test. Connections are served one after another; the test's handler writes
// each answer, and the connection is closed when the handler returns.
class HttpTestServer {
 public:
  class Reply {
   public:
    Reply(int fd, const std::atomic<bool>& stop) : fd_(fd), stop_(stop) {}
    // Sends every byte; false once the client has gone or the server is stopping.
    bool Send(const std::string& bytes) {
      size_t sent = 0;
      while (sent < bytes.size()) {
        if (stop_.load()) return false;
        pollfd writable{fd_, POLLOUT, 0};
        if (poll(&writable, 1, 20) <= 0) continue;
        const ssize_t n =
            send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
      }
      return true;
    }
    // Sleeps, waking early when the server stops; false then.
    bool Pause(int ms) {
      for (int slept = 0; slept < ms; slept += 5) {
        if (stop_.load()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      return !stop_.load();
    }

   private:
    int fd_;
    const std::atomic<bool>& stop_;
  };
  // Receives the request's text up to its blank line.
  using Handler = std::function<void(const std::string& request, Reply& reply)>;

  explicit HttpTestServer(Handler handler) : handler_(std::move(handler)) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listen_fd_, 8) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~HttpTestServer() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    if (listen_fd_ >= 0) close(listen_fd_);
  }
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  bool ok() const { return port_ != 0; }
  int port() const { return port_; }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> guard(lock_);
    return requests_;
  }

  // An answer with the given status line text ("200 OK") and body.
  static std::string Answer(const std::string& status, const std::string& body,
                            bool with_length = true) {
    std::string answer = "HTTP/1.1 " + status + "\r\nConnection: close\r\n";
    if (with_length) answer += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return answer + "\r\n" + body;
  }
  // The path of "GET /path HTTP/1.1".
  static std::string PathOf(const std::string& request) {
    const size_t start = request.find(' ');
    const size_t end = request.find(' ', start + 1);
    return start == std::string::npos || end == std::string::npos
               ? std::string()
               : request.substr(start + 1, end - start - 1);
  }

 private:
  void Serve() {
    while (!stop_.load()) {
      pollfd incoming{listen_fd_, POLLIN, 0};
      if (poll(&incoming, 1, 20) <= 0) continue;
      const int fd = accept(listen_fd_, nullptr, nullptr);
      if (fd < 0) continue;
      const std::string request = ReadRequest(fd);
      if (!request.empty()) {
        {
          std::lock_guard<std::mutex> guard(lock_);
          requests_.push_back(request);
        }
        Reply reply(fd, stop_);
        handler_(request, reply);
      }
      close(fd);
    }
  }
  std::string ReadRequest(int fd) {
    std::string request;
    char chunk[4096];
    for (int idle = 0; idle < 250 && !stop_.load();) {
      pollfd readable{fd, POLLIN, 0};
      if (poll(&readable, 1, 20) <= 0) {
        ++idle;
        continue;
      }
      const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      request.append(chunk, static_cast<size_t>(n));
      const size_t end = request.find("\r\n\r\n");
      if (end != std::string::npos) return request.substr(0, end + 2);
    }
    return std::string();
  }

  Handler handler_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex lock_;
  std::vector<std::string> requests_;
  std::thread thread_;
};
