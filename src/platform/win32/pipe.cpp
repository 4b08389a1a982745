// The overlay's message pipe on Windows: "\\.\pipe\NAME", message type and read mode, one instance.
// Every handle is overlapped; reads and writes each use their own OVERLAPPED and manual-reset
// event, so a write blocked on a full pipe (writer thread) never holds up a read (main thread).
#include "platform/pipe.h"

#include <windows.h>

#include <atomic>
#include <string>

#include "platform/win32/unique_handle.h"

namespace vyo::platform {
namespace {

// Ends every outstanding I/O on the pipe and closes it; later calls find it closed.
void CancelAndClose(HANDLE& pipe) {
  if (pipe == INVALID_HANDLE_VALUE) return;
  HANDLE closing = pipe;
  pipe = INVALID_HANDLE_VALUE;
  CancelIoEx(closing, nullptr);
  CloseHandle(closing);
}

constexpr DWORD kPipeBufferSize = 0x100000;

std::wstring PipePath(const std::u16string& name) {
  return L"\\\\.\\pipe\\" + std::wstring(name.begin(), name.end());
}

bool IsBrokenError(DWORD error) {
  return error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED;
}

// One direction of overlapped I/O on a pipe handle: its OVERLAPPED and its event.
class OverlappedIo {
 public:
  OverlappedIo() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  OverlappedIo(const OverlappedIo&) = delete;
  OverlappedIo& operator=(const OverlappedIo&) = delete;

  bool valid() const { return event_.valid(); }
  HANDLE event() const { return event_.get(); }

  OVERLAPPED* Reset() {
    ZeroMemory(&overlapped_, sizeof(overlapped_));
    overlapped_.hEvent = event_.get();
    ResetEvent(event_.get());
    return &overlapped_;
  }
  OVERLAPPED* overlapped() { return &overlapped_; }

  // Reads one message of exactly `size` bytes, waiting for it to complete.
  PipeResult Read(HANDLE pipe, void* buffer, uint32_t size) {
    if (pipe == INVALID_HANDLE_VALUE) return PipeResult::kFailed;
    OVERLAPPED* ov = Reset();
    DWORD done = 0;
    BOOL ok = ReadFile(pipe, buffer, size, nullptr, ov);
    if (!ok && GetLastError() != ERROR_IO_PENDING) return ErrorResult(GetLastError());
    if (!GetOverlappedResult(pipe, ov, &done, TRUE)) return ErrorResult(GetLastError());
    // A shorter message is as wrong as a longer one (ERROR_MORE_DATA above).
    return done == size ? PipeResult::kOk : PipeResult::kFailed;
  }

  // Writes one message, waiting until the pipe has taken it all or the write is cancelled.
  // With `cancel_event`, the wait also ends when that event is set while `cancel_count` differs
  // from its value at the start; the write is then cancelled here. This catches a cancel that
  // came after the write began but before the system had it queued, which CancelIoEx alone misses.
  PipeResult Write(HANDLE pipe, const void* data, uint32_t size, HANDLE cancel_event = nullptr,
                   const std::atomic<uint32_t>* cancel_count = nullptr) {
    if (pipe == INVALID_HANDLE_VALUE) return PipeResult::kFailed;
    const uint32_t cancels_at_start = cancel_count ? cancel_count->load() : 0;
    OVERLAPPED* ov = Reset();
    DWORD done = 0;
    BOOL ok = WriteFile(pipe, data, size, nullptr, ov);
    if (!ok && GetLastError() != ERROR_IO_PENDING) return ErrorResult(GetLastError());
    if (!ok && cancel_event) {
      const HANDLE handles[2] = {event_.get(), cancel_event};
      for (;;) {
        const DWORD wait = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
        if (wait == WAIT_OBJECT_0) break;
        if (wait != WAIT_OBJECT_0 + 1 || cancel_count->load() != cancels_at_start) {
          CancelIoEx(pipe, ov);
          break;
        }
        // A cancel meant for an earlier write; keep waiting.
      }
    }
    if (!GetOverlappedResult(pipe, ov, &done, TRUE)) return ErrorResult(GetLastError());
    return done == size ? PipeResult::kOk : PipeResult::kFailed;
  }

  static PipeResult ErrorResult(DWORD error) {
    return IsBrokenError(error) ? PipeResult::kBroken : PipeResult::kFailed;
  }

 private:
  UniqueHandle event_;
  OVERLAPPED overlapped_{};
};

class Win32PipeServer final : public PipeServer {
 public:
  explicit Win32PipeServer(HANDLE pipe)
      : pipe_(pipe), cancel_event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
  ~Win32PipeServer() override { Close(); }
  Win32PipeServer(const Win32PipeServer&) = delete;
  Win32PipeServer& operator=(const Win32PipeServer&) = delete;

  bool valid() const { return read_.valid() && write_.valid() && cancel_event_.valid(); }

  bool WaitForClient(bool (*give_up)(void*), void* ctx) override {
    if (pipe_ == INVALID_HANDLE_VALUE) return false;
    OVERLAPPED* ov = read_.Reset();
    if (ConnectNamedPipe(pipe_, ov)) return true;
    DWORD error = GetLastError();
    if (error == ERROR_PIPE_CONNECTED) return true;
    if (error != ERROR_IO_PENDING) return false;
    DWORD unused = 0;
    for (;;) {
      DWORD wait = WaitForSingleObject(read_.event(), 100);
      if (wait == WAIT_OBJECT_0) return GetOverlappedResult(pipe_, ov, &unused, FALSE) != FALSE;
      if (wait != WAIT_TIMEOUT || (give_up && give_up(ctx))) {
        // Stop the connect and wait until the system has let go of the OVERLAPPED.
        CancelIoEx(pipe_, ov);
        GetOverlappedResult(pipe_, ov, &unused, TRUE);
        return false;
      }
    }
  }

  PipeResult Peek(uint32_t* available) override {
    *available = 0;
    if (pipe_ == INVALID_HANDLE_VALUE) return PipeResult::kFailed;
    DWORD total = 0;
    if (!PeekNamedPipe(pipe_, nullptr, 0, nullptr, &total, nullptr)) return PipeResult::kBroken;
    *available = total;
    return PipeResult::kOk;
  }

  PipeResult ReadMessage(void* buffer, uint32_t size) override {
    return read_.Read(pipe_, buffer, size);
  }

  PipeResult WriteMessage(const void* data, uint32_t size) override {
    return write_.Write(pipe_, data, size, cancel_event_.get(), &cancel_count_);
  }

  // Called from another thread than the writer's.
  void CancelWrite() override {
    cancel_count_.fetch_add(1);
    SetEvent(cancel_event_.get());
    if (pipe_ != INVALID_HANDLE_VALUE) CancelIoEx(pipe_, write_.overlapped());
  }

  void Close() override { CancelAndClose(pipe_); }

  uint32_t MaxMessageSize() const override { return kPipeBufferSize; }
  intptr_t NativeHandle() const override { return reinterpret_cast<intptr_t>(pipe_); }

 private:
  HANDLE pipe_;
  OverlappedIo read_;
  OverlappedIo write_;
  UniqueHandle cancel_event_;
  std::atomic<uint32_t> cancel_count_{0};
};

class Win32PipeClient final : public PipeClient {
 public:
  explicit Win32PipeClient(HANDLE pipe) : pipe_(pipe) {}
  ~Win32PipeClient() override { Close(); }
  Win32PipeClient(const Win32PipeClient&) = delete;
  Win32PipeClient& operator=(const Win32PipeClient&) = delete;

  bool valid() const { return read_.valid() && write_.valid(); }

  PipeResult Poll(uint32_t timeout_ms, uint32_t* size) override {
    *size = 0;
    if (pipe_ == INVALID_HANDLE_VALUE) return PipeResult::kFailed;
    const ULONGLONG start = GetTickCount64();
    for (;;) {
      DWORD total = 0;
      DWORD left_in_message = 0;
      if (!PeekNamedPipe(pipe_, nullptr, 0, nullptr, &total, &left_in_message)) {
        return PipeResult::kBroken;
      }
      if (total > 0) {
        *size = left_in_message > 0 ? left_in_message : total;
        return PipeResult::kOk;
      }
      if (GetTickCount64() - start >= timeout_ms) return PipeResult::kOk;
      Sleep(1);
    }
  }

  PipeResult ReadMessage(void* buffer, uint32_t size) override {
    return read_.Read(pipe_, buffer, size);
  }
  PipeResult WriteMessage(const void* data, uint32_t size) override {
    return write_.Write(pipe_, data, size);
  }

  void Close() override { CancelAndClose(pipe_); }

 private:
  HANDLE pipe_;
  OverlappedIo read_;
  OverlappedIo write_;
};

}  // namespace

std::unique_ptr<PipeServer> PipeServer::Create(const std::u16string& name) {
  HANDLE pipe = CreateNamedPipeW(
      PipePath(name).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
      kPipeBufferSize, kPipeBufferSize, 0, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) return nullptr;
  auto server = std::make_unique<Win32PipeServer>(pipe);
  if (!server->valid()) return nullptr;
  return server;
}

std::unique_ptr<PipeClient> PipeClient::Connect(const std::u16string& name, uint32_t timeout_ms) {
  const std::wstring path = PipePath(name);
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    HANDLE pipe = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) {
      DWORD mode = PIPE_READMODE_MESSAGE;
      if (!SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) {
        CloseHandle(pipe);
        return nullptr;
      }
      auto client = std::make_unique<Win32PipeClient>(pipe);
      if (!client->valid()) return nullptr;
      return client;
    }
    const DWORD error = GetLastError();
    const ULONGLONG elapsed = GetTickCount64() - start;
    if (elapsed >= timeout_ms) return nullptr;
    const DWORD remaining = static_cast<DWORD>(timeout_ms - elapsed);
    if (error == ERROR_PIPE_BUSY) {
      // The one instance is taken; wait for it to be free again, then retry.
      WaitNamedPipeW(path.c_str(), remaining);
    } else if (error == ERROR_FILE_NOT_FOUND) {
      // The server has not created the pipe yet.
      Sleep(remaining < 10 ? remaining : 10);
    } else {
      return nullptr;
    }
  }
}

}  // namespace vyo::platform
