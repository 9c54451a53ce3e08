#include "hosting/component_wire.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <utility>

#include "platform/text_encoding.h"

namespace vardenix::wire {

Writer::Writer(Kind kind) {
  frame_.assign(4, '\0');
  frame_ += static_cast<char>(kind);
}

std::string Writer::Release() {
  Frame();
  return std::move(frame_);
}

Writer& Writer::U32(uint32_t value) {
  frame_.append(reinterpret_cast<const char*>(&value), sizeof value);
  return *this;
}

Writer& Writer::Text(const std::string& text) {
  U32(static_cast<uint32_t>(text.size()));
  frame_ += text;
  return *this;
}

Writer& Writer::Value(const Variant& value) {
  frame_ += static_cast<char>(static_cast<uint8_t>(value.type()));
  switch (value.type()) {
    case VarType::Empty:
    case VarType::Null: break;
    case VarType::Bool:
    case VarType::I2:
    case VarType::I4: {
      const int32_t i = value.i4();
      frame_.append(reinterpret_cast<const char*>(&i), sizeof i);
      break;
    }
    case VarType::R4:
    case VarType::R8: {
      const double r = value.r8();
      frame_.append(reinterpret_cast<const char*>(&r), sizeof r);
      break;
    }
    case VarType::Text: Text(value.text()); break;
  }
  return *this;
}

const std::string& Writer::Frame() {
  const uint32_t length = static_cast<uint32_t>(frame_.size() - 4);
  std::memcpy(frame_.data(), &length, sizeof length);
  return frame_;
}

void Reader::Need(std::size_t n) const {
  if (body_.size() - pos_ < n) throw WireError{"a message ends early"};
}

Kind Reader::kind() {
  Need(1);
  return static_cast<Kind>(static_cast<uint8_t>(body_[pos_++]));
}

uint32_t Reader::U32() {
  Need(4);
  uint32_t value;
  std::memcpy(&value, body_.data() + pos_, sizeof value);
  pos_ += 4;
  return value;
}

std::string Reader::Text() {
  const uint32_t size = U32();
  Need(size);
  std::string text = body_.substr(pos_, size);
  pos_ += size;
  return text;
}

Variant Reader::Value() {
  Need(1);
  const auto type = static_cast<VarType>(static_cast<uint8_t>(body_[pos_++]));
  auto integer = [this] {
    Need(4);
    int32_t i;
    std::memcpy(&i, body_.data() + pos_, sizeof i);
    pos_ += 4;
    return i;
  };
  auto real = [this] {
    Need(8);
    double r;
    std::memcpy(&r, body_.data() + pos_, sizeof r);
    pos_ += 8;
    return r;
  };
  switch (type) {
    case VarType::Empty: return Variant::Empty();
    case VarType::Null: return Variant::Null();
    case VarType::Bool: return Variant::Bool(integer() != 0);
    case VarType::I2: {
      const int32_t i = integer();
      if (i < INT16_MIN || i > INT16_MAX) throw WireError{"a 16-bit integer out of range"};
      return Variant::I2(static_cast<int16_t>(i));
    }
    case VarType::I4: return Variant::I4(integer());
    case VarType::R4: {
      const double r = real();
      if (std::isfinite(r) && std::fabs(r) > static_cast<double>(FLT_MAX)) {
        throw WireError{"a single-precision value out of range"};
      }
      return Variant::R4(static_cast<float>(r));
    }
    case VarType::R8: return Variant::R8(real());
    case VarType::Text: {
      std::string text = Text();
      if (!IsValidUtf8(text)) throw WireError{"text that is not valid UTF-8"};
      return Variant::Text(std::move(text));
    }
  }
  throw WireError{"a value of unknown type " + std::to_string(static_cast<int>(type))};
}

void Reader::End() const {
  if (pos_ != body_.size()) throw WireError{"a message has bytes left over"};
}

bool SendAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace vardenix::wire
