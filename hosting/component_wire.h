// The messages between the checking process and the component host process
// (hosting/host/component_host_main.cpp), over one stream socket.
//
// A message is a frame: its body's length as 4 bytes (host order: both ends are on one machine),
// then the body, which starts with its kind. The checking process asks; the host answers each
// request with exactly one message, whose kind is followed by the number of the request it answers
// (4 bytes; the host's requests are counted from 1):
//   Load    path                      -> Names count, ProgID...   | Error message
//   Create  module path, ProgID       -> Ok                       | Error message
//   Put     member, value             -> Ok                       | Error message
//   Read    member                    -> Value value              | Error message
//   Release                           -> Ok
// and may instead send OutOfMemory (without a number) when an allocation fails, after which it ends. The answers to
// requests that arrive together may come together.
//
// The checking process starts each batch of requests it sends together with a Batch frame, which is
// no request: it is neither counted nor answered. Within a batch the host stops at the first request
// that fails (answers Error): every Put, Read and Release after it in the batch is answered NotRun
// without reaching the component, as a caller in the same process would have stopped there (the
// object stays until a Release of a later batch); a Create and a Load always run. So the component
// sees exactly the calls it would see in process. Text fields are a
// 4-byte length and the bytes; a value is its type tag (1 byte) and then a 4-byte integer (Bool, I2,
// I4), an 8-byte double (R4, R8), a text field (Text) or nothing (Empty, Null).
//
// The checking process treats the host as untrusted: Reader refuses anything malformed, and a value
// is checked as strictly as a module's answer is (known type, range, UTF-8).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/variant.h"

namespace vardenix::wire {

enum class Kind : uint8_t {
  kLoad = 'L',
  kCreate = 'C',
  kPut = 'P',
  kRead = 'R',
  kRelease = 'X',
  kOk = 'K',
  kValue = 'V',
  kNames = 'N',
  kError = 'E',
  kOutOfMemory = 'M',
  kBatch = 'B',   // starts a batch (no request: not counted, not answered)
  kNotRun = 'S',  // the answer to a request after a failed one of its batch
};

// The descriptor number of the socket in the host process.
constexpr int kHostDescriptor = 3;
// The descriptor number, in the host process, of a shared memory file that starts with the count of
// requests the host has started on (a 32-bit atomic counter), which the host increments before it
// serves each request. When the host fails before answering, the count names the request it failed
// in, also when the answers to earlier requests were still waiting to be sent with a later one.
// The next 32-bit atomic counter counts the times the host sent answers, which it increments after
// each send.
constexpr int kProgressDescriptor = 4;
// The size of that file.
constexpr std::size_t kProgressBytes = 2 * sizeof(uint32_t);
// Bytes of a frame besides the one answer text or message it carries.
constexpr uint32_t kFrameOverhead = 64;

// Builds one frame.
class Writer {
 public:
  explicit Writer(Kind kind);
  Writer& Text(const std::string& text);
  Writer& U32(uint32_t value);
  Writer& Value(const Variant& value);
  // The whole frame, length first.
  const std::string& Frame();
  // The same, moved out of the writer.
  std::string Release();

 private:
  std::string frame_;
};

// Reads the body of one frame; every accessor throws WireError when the body is malformed.
struct WireError {
  std::string what;
};

class Reader {
 public:
  explicit Reader(const std::string& body) : body_(body) {}
  Kind kind();
  std::string Text();
  uint32_t U32();
  Variant Value();
  // Throws WireError when bytes are left over.
  void End() const;

 private:
  void Need(std::size_t n) const;
  const std::string& body_;
  std::size_t pos_ = 0;
};

// Writes all of `bytes` to the socket `fd` (without SIGPIPE when the other end is gone). Answers
// false when the other end is gone or the write fails.
bool SendAll(int fd, const std::string& bytes);

}  // namespace vardenix::wire
