// A tiny HTTP/1.1 server on loopback for the telemetry tests: it records each request (headers and
// body) and answers with a chosen status, or never answers.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
using SocketHandle = SOCKET;
inline void CloseSocket(SocketHandle s) { closesocket(s); }
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
using SocketHandle = int;
inline void CloseSocket(SocketHandle s) { close(s); }
#endif

namespace vyo::testing {

class TestHttpServer {
 public:
  struct Request {
    std::string head;  // request line and headers
    std::string body;
  };

  // Listens on 127.0.0.1:port (0 = any free port). status 0 = accept, read, never answer.
  explicit TestHttpServer(uint16_t port = 0, int status = 200) : status_(status) {
#if defined(_WIN32)
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
#endif
    listen_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof(one));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    ok_ = bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 && listen(listen_, 16) == 0;
    socklen_t len = sizeof(addr);
    getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    if (ok_) thread_ = std::thread([this] { Serve(); });
  }
  ~TestHttpServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();  // every wait of the server sees the flag within one slice
    CloseSocket(listen_);
    for (auto s : held_) CloseSocket(s);
  }
  bool ok() const { return ok_; }
  uint16_t port() const { return port_; }
  std::vector<Request> requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  // Waits until `n` requests arrived or `timeout_ms` passed.
  bool WaitFor(size_t n, int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return requests_.size() >= n; });
  }

 private:
  // Waits in short slices until `s` can be read: 1 readable, 0 stopping or `idle_ms` passed, -1
  // failed. Closing a socket from another thread does not wake a blocked accept or recv everywhere
  // (Wine), and a client may connect and then never send nor close (a host killed mid-request
  // whose socket lingers): so no wait of the server blocks, and the stop flag is polled instead.
  int WaitReadable(SocketHandle s, int idle_ms) {
    for (int waited = 0; !stop_ && (idle_ms < 0 || waited < idle_ms); waited += 50) {
      fd_set ready;
      FD_ZERO(&ready);
      FD_SET(s, &ready);
      timeval slice{0, 50000};
      const int n = select(static_cast<int>(s) + 1, &ready, nullptr, nullptr, &slice);
      if (n != 0) return n > 0 ? 1 : -1;
    }
    return 0;
  }

  void Serve() {
    while (!stop_) {
      const int ready = WaitReadable(listen_, -1);
      if (ready < 0) return;
      if (ready == 0) continue;
      SocketHandle c = accept(listen_, nullptr, nullptr);
#if defined(_WIN32)
      if (c == INVALID_SOCKET) return;
#else
      if (c < 0) return;
#endif
      Request r;
      std::string data;
      char buf[4096];
      size_t need = std::string::npos;
      for (;;) {
        // A client that stays silent for 5 s in the middle of its request is dropped.
        if (WaitReadable(c, 5000) != 1) break;
        const auto n = recv(c, buf, sizeof(buf), 0);
        if (n <= 0) break;
        data.append(buf, static_cast<size_t>(n));
        const size_t end = data.find("\r\n\r\n");
        if (end != std::string::npos && need == std::string::npos) {
          r.head = data.substr(0, end + 2);
          size_t length = 0;
          const size_t cl = ToLower(r.head).find("content-length:");
          if (cl != std::string::npos) length = std::stoul(r.head.substr(cl + 15));
          need = end + 4 + length;
        }
        if (need != std::string::npos && data.size() >= need) break;
      }
      if (need != std::string::npos) r.body = data.substr(r.head.size() + 2);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(r);
      }
      cv_.notify_all();
      if (status_ == 0) {
        held_.push_back(c);  // never answered
        continue;
      }
      const std::string reply = "HTTP/1.1 " + std::to_string(status_) + " X\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
      send(c, reply.data(), static_cast<int>(reply.size()), 0);
      CloseSocket(c);
    }
  }
  static std::string ToLower(std::string s) {
    for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return s;
  }

  int status_;
  SocketHandle listen_;
  bool ok_ = false;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Request> requests_;
  std::vector<SocketHandle> held_;
};

}  // namespace vyo::testing
