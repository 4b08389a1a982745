// The overlay's duplex message pipe. The host is the server (PipeServer); the reference overlay and
// the tests are the client (PipeClient). Both ends move whole messages: one write is one message,
// and a read must ask for exactly the size of the message it takes.
//
// Windows: "\\.\pipe\NAME", message type and read mode, one instance, overlapped I/O with separate
// read and write events so that a blocked write never blocks a read.
// Linux: a SOCK_SEQPACKET Unix socket in the abstract namespace, "vyo.pipe.NAME".
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vyo::platform {

enum class PipeResult {
  kOk,
  kBroken,  // the other end has gone away (closed, broken pipe, reset)
  kFailed,  // any other failure, or a message of the wrong size
};

class PipeServer {
 public:
  virtual ~PipeServer() = default;
  // Creates the pipe under `name` (the overlay's name, without any prefix). Null on failure.
  static std::unique_ptr<PipeServer> Create(const std::u16string& name);

  // Blocks until the one client has connected. Returns false on failure or when `give_up` (may be
  // null) returns true; it is polled about every 100 ms while waiting.
  virtual bool WaitForClient(bool (*give_up)(void*), void* ctx) = 0;

  // Size in bytes of what can be read now without blocking (0 = nothing yet). kBroken when the
  // client has closed its end.
  virtual PipeResult Peek(uint32_t* available) = 0;

  // Reads one whole message of exactly `size` bytes, blocking until it arrives. A message of any
  // other size is kFailed.
  virtual PipeResult ReadMessage(void* buffer, uint32_t size) = 0;

  // Takes the next message when one is waiting, without blocking: *got is false when none is. A
  // waiting message of any other size than `size` is kFailed; kBroken when the client has closed
  // its end. The default is Peek followed by ReadMessage; the socket pipe does it in one call.
  virtual PipeResult TryReadMessage(void* buffer, uint32_t size, bool* got) {
    *got = false;
    uint32_t available = 0;
    const PipeResult peeked = Peek(&available);
    if (peeked != PipeResult::kOk || available == 0) return peeked;
    *got = true;
    return ReadMessage(buffer, size);
  }

  // Writes a frame's header message and, when `payload_size` is not 0, its payload message, as far
  // as that is possible without waiting for the client: *sent is how many of the messages went
  // (0, 1 or 2); the caller hands the rest to a blocking writer. kBroken or kFailed when a write
  // failed. Pipes that cannot write without a possible wait send nothing (the default).
  virtual PipeResult TryWriteFrame(const void* header, uint32_t header_size, const void* payload,
                                   uint32_t payload_size, int* sent) {
    (void)header;
    (void)header_size;
    (void)payload;
    (void)payload_size;
    *sent = 0;
    return PipeResult::kOk;
  }

  // Writes one message. May block while the client does not read; CancelWrite from another thread
  // makes a blocked write return kFailed.
  virtual PipeResult WriteMessage(const void* data, uint32_t size) = 0;
  virtual void CancelWrite() = 0;

  // Closes the pipe; later calls fail. Safe to call more than once.
  virtual void Close() = 0;

  // Largest message this pipe can carry in one piece (the kernel may cap socket buffers on Linux).
  virtual uint32_t MaxMessageSize() const = 0;

  // The object a wait can watch for "data may have arrived" (a file descriptor on Linux; on
  // Windows the pipe handle). Used only by MainThreadWait.
  virtual intptr_t NativeHandle() const = 0;
};

class PipeClient {
 public:
  virtual ~PipeClient() = default;
  // Connects to the server's pipe, retrying until `timeout_ms` has passed. Null on failure.
  static std::unique_ptr<PipeClient> Connect(const std::u16string& name, uint32_t timeout_ms);

  // Waits up to `timeout_ms` for the next message and returns its size in *size (0 = none yet).
  virtual PipeResult Poll(uint32_t timeout_ms, uint32_t* size) = 0;
  virtual PipeResult ReadMessage(void* buffer, uint32_t size) = 0;
  virtual PipeResult WriteMessage(const void* data, uint32_t size) = 0;
  virtual void Close() = 0;
};

}  // namespace vyo::platform
