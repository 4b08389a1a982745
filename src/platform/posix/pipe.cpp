#include "platform/pipe.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/posix/names.h"

#include "platform/posix/unique_fd.h"

namespace vyo::platform {
namespace {

// Both ends ask for buffers that hold a whole 1 MiB payload message plus some slack.
constexpr int kSocketBuffer = 4 * 1024 * 1024;

bool MakeAddress(const std::u16string& name, sockaddr_un* addr, socklen_t* len) {
  const std::string path = "vyo.pipe." + posix::ObjectName(name);
  std::memset(addr, 0, sizeof(*addr));
  addr->sun_family = AF_UNIX;
  if (name.empty() || path.size() + 1 > sizeof(addr->sun_path)) return false;
  // Abstract namespace: a leading NUL, then the name with its exact length (no padding).
  std::memcpy(addr->sun_path + 1, path.data(), path.size());
  *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + path.size());
  return true;
}

void SetBuffers(int fd) {
  int size = kSocketBuffer;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
}

uint32_t EffectiveMessageLimit(int fd) {
  int snd = 0;
  socklen_t len = sizeof(snd);
  if (getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &snd, &len) != 0 || snd <= 0) return 0;
  // The kernel reports twice the usable size (bookkeeping overhead is counted in).
  return static_cast<uint32_t>(snd / 2);
}

PipeResult ErrnoResult(int err) {
  return (err == EPIPE || err == ECONNRESET || err == ENOTCONN) ? PipeResult::kBroken
                                                                  : PipeResult::kFailed;
}

// Size of the next message without taking it; 0 when none is waiting. kBroken on end of stream.
PipeResult PeekMessageSize(int fd, uint32_t* size) {
  char byte = 0;
  for (;;) {
    const ssize_t n = recv(fd, &byte, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    if (n > 0) {
      *size = static_cast<uint32_t>(n);
      return PipeResult::kOk;
    }
    if (n == 0) return PipeResult::kBroken;  // our protocol never sends empty messages: this is EOF
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      *size = 0;
      return PipeResult::kOk;
    }
    return ErrnoResult(errno);
  }
}

// Takes one message that must be exactly `size` bytes long, blocking until it arrives.
PipeResult ReceiveExact(int fd, void* buffer, uint32_t size) {
  for (;;) {
    const ssize_t n = recv(fd, buffer, size, MSG_TRUNC);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ErrnoResult(errno);
    if (n == 0 && size != 0) return PipeResult::kBroken;
    return static_cast<uint32_t>(n) == size ? PipeResult::kOk : PipeResult::kFailed;
  }
}

// Takes one message of exactly `size` bytes when one is waiting, without blocking.
PipeResult TryReceiveExact(int fd, void* buffer, uint32_t size, bool* got) {
  *got = false;
  for (;;) {
    const ssize_t n = recv(fd, buffer, size, MSG_TRUNC | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return PipeResult::kOk;
    if (n < 0) return ErrnoResult(errno);
    if (n == 0) return PipeResult::kBroken;  // our protocol never sends empty messages: this is EOF
    *got = true;
    return static_cast<uint32_t>(n) == size ? PipeResult::kOk : PipeResult::kFailed;
  }
}

// Sends a header and a payload message (when `payload_size` is not 0) in one call, as far as the
// socket takes them without waiting.
PipeResult TrySendFrame(int fd, const void* header, uint32_t header_size, const void* payload, uint32_t payload_size,
                        int* sent) {
  *sent = 0;
  iovec parts[2] = {{const_cast<void*>(header), header_size}, {const_cast<void*>(payload), payload_size}};
  mmsghdr messages[2] = {};
  messages[0].msg_hdr.msg_iov = &parts[0];
  messages[0].msg_hdr.msg_iovlen = 1;
  messages[1].msg_hdr.msg_iov = &parts[1];
  messages[1].msg_hdr.msg_iovlen = 1;
  const unsigned count = payload_size != 0 ? 2 : 1;
  for (;;) {
    const int n = sendmmsg(fd, messages, count, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      for (int i = 0; i < n; ++i) {
        if (messages[i].msg_len != parts[i].iov_len) return PipeResult::kFailed;
      }
      *sent = n;
      return PipeResult::kOk;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return PipeResult::kOk;
    return ErrnoResult(errno);
  }
}

// Sends one message. Waits for room with poll so that `cancel_fd` (an eventfd, or -1) can end a
// blocked send.
PipeResult SendMessage(int fd, int cancel_fd, const void* data, uint32_t size) {
  for (;;) {
    const ssize_t n = send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return static_cast<uint32_t>(n) == size ? PipeResult::kOk : PipeResult::kFailed;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return ErrnoResult(errno);
    pollfd fds[2] = {{fd, POLLOUT, 0}, {cancel_fd, POLLIN, 0}};
    const int r = poll(fds, cancel_fd >= 0 ? 2 : 1, -1);
    if (r < 0 && errno != EINTR) return PipeResult::kFailed;
    if (cancel_fd >= 0 && (fds[1].revents & POLLIN) != 0) {
      uint64_t value = 0;
      [[maybe_unused]] ssize_t ignored = read(cancel_fd, &value, sizeof(value));
      return PipeResult::kFailed;
    }
    if ((fds[0].revents & (POLLERR | POLLHUP)) != 0 && (fds[0].revents & POLLOUT) == 0) {
      return PipeResult::kBroken;
    }
  }
}

class SocketPipeServer final : public PipeServer {
 public:
  SocketPipeServer(UniqueFd listen_fd, UniqueFd cancel_fd)
      : listen_fd_(std::move(listen_fd)), cancel_fd_(std::move(cancel_fd)) {}
  ~SocketPipeServer() override { Close(); }

  bool WaitForClient(bool (*give_up)(void*), void* ctx) override {
    if (!listen_fd_) return false;
    for (;;) {
      if (give_up != nullptr && give_up(ctx)) return false;
      pollfd pfd{listen_fd_.get(), POLLIN, 0};
      const int r = poll(&pfd, 1, 100);
      if (r < 0 && errno != EINTR) return false;
      if (r <= 0) continue;
      UniqueFd fd(accept4(listen_fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!fd) {
        if (errno == EINTR || errno == EAGAIN) continue;
        return false;
      }
      SetBuffers(fd.get());
      // Exactly one client: nobody else can connect once the overlay is in.
      listen_fd_.reset();
      std::lock_guard<std::mutex> lock(mutex_);
      fd_ = std::move(fd);
      return true;
    }
  }

  PipeResult Peek(uint32_t* available) override {
    *available = 0;
    return !fd_ ? PipeResult::kBroken : PeekMessageSize(fd_.get(), available);
  }

  PipeResult ReadMessage(void* buffer, uint32_t size) override {
    return !fd_ ? PipeResult::kBroken : ReceiveExact(fd_.get(), buffer, size);
  }

  PipeResult TryReadMessage(void* buffer, uint32_t size, bool* got) override {
    *got = false;
    return !fd_ ? PipeResult::kBroken : TryReceiveExact(fd_.get(), buffer, size, got);
  }

  PipeResult WriteMessage(const void* data, uint32_t size) override {
    return !fd_ ? PipeResult::kBroken : SendMessage(fd_.get(), cancel_fd_.get(), data, size);
  }

  PipeResult TryWriteFrame(const void* header, uint32_t header_size, const void* payload, uint32_t payload_size,
                           int* sent) override {
    *sent = 0;
    return !fd_ ? PipeResult::kBroken : TrySendFrame(fd_.get(), header, header_size, payload, payload_size, sent);
  }

  void CancelWrite() override {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = write(cancel_fd_.get(), &one, sizeof(one));
  }

  void Close() override {
    std::lock_guard<std::mutex> lock(mutex_);
    listen_fd_.reset();
    if (fd_) shutdown(fd_.get(), SHUT_RDWR);
    fd_.reset();
  }

  uint32_t MaxMessageSize() const override { return !fd_ ? 0 : EffectiveMessageLimit(fd_.get()); }
  intptr_t NativeHandle() const override { return fd_.get(); }

 private:
  UniqueFd listen_fd_;
  UniqueFd fd_;
  UniqueFd cancel_fd_;
  std::mutex mutex_;
};

class SocketPipeClient final : public PipeClient {
 public:
  explicit SocketPipeClient(UniqueFd fd) : fd_(std::move(fd)) {}
  ~SocketPipeClient() override { Close(); }

  PipeResult Poll(uint32_t timeout_ms, uint32_t* size) override {
    *size = 0;
    if (!fd_) return PipeResult::kBroken;
    pollfd pfd{fd_.get(), POLLIN, 0};
    const int r = poll(&pfd, 1, static_cast<int>(std::min<uint32_t>(timeout_ms, 1u << 30)));
    if (r < 0 && errno != EINTR) return PipeResult::kFailed;
    if (r <= 0) return PipeResult::kOk;
    return PeekMessageSize(fd_.get(), size);
  }
  PipeResult ReadMessage(void* buffer, uint32_t size) override {
    return !fd_ ? PipeResult::kBroken : ReceiveExact(fd_.get(), buffer, size);
  }
  PipeResult WriteMessage(const void* data, uint32_t size) override {
    return !fd_ ? PipeResult::kBroken : SendMessage(fd_.get(), -1, data, size);
  }
  void Close() override { fd_.reset(); }

 private:
  UniqueFd fd_;
};

}  // namespace

std::unique_ptr<PipeServer> PipeServer::Create(const std::u16string& name) {
  sockaddr_un addr{};
  socklen_t len = 0;
  if (!MakeAddress(name, &addr, &len)) return nullptr;
  UniqueFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!fd) return nullptr;
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd.get(), 1) != 0) return nullptr;
  UniqueFd cancel_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!cancel_fd) return nullptr;
  return std::make_unique<SocketPipeServer>(std::move(fd), std::move(cancel_fd));
}

std::unique_ptr<PipeClient> PipeClient::Connect(const std::u16string& name, uint32_t timeout_ms) {
  sockaddr_un addr{};
  socklen_t len = 0;
  if (!MakeAddress(name, &addr, &len)) return nullptr;
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    UniqueFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!fd) return nullptr;
    SetBuffers(fd.get());
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) == 0) {
      return std::make_unique<SocketPipeClient>(std::move(fd));
    }
    fd.reset();
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t elapsed = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1'000'000;
    if (elapsed >= timeout_ms) return nullptr;
    usleep(10'000);
  }
}

}  // namespace vyo::platform
