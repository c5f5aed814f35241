#include "halvo_compiler/bytecode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "halvo/little_endian.h"
#include "halvo_compiler/policy_reader.h"
#include "read_messages.h"

namespace halvo_compiler::bytecode {
namespace {

namespace msg = read_messages;
using PolicyResult = halvo::Result<ir::CompiledPolicy, BytecodeError>;

BytecodeError header_failure(BytecodeError::Kind kind,
                             std::uint16_t found_version = 0) {
  BytecodeError error;
  error.kind = kind;
  error.found_version = found_version;
  return error;
}

BytecodeError io_failure(std::string detail) {
  BytecodeError error;
  error.kind = BytecodeError::Kind::Io;
  error.detail = std::move(detail);
  return error;
}

// Container bytes held in memory.
class MemorySource {
 public:
  explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}

  bool read_exact(unsigned char* out, std::size_t count, BytecodeError& error) {
    if (bytes_.size() - pos_ < count) {
      error = io_failure(msg::input_too_short());
      return false;
    }
    std::memcpy(out, bytes_.data() + pos_, count);
    pos_ += count;
    return true;
  }

  // The payload is a view into the borrowed bytes; nothing is copied.
  bool read_payload(std::size_t count, std::string_view& out,
                    BytecodeError& error) {
    if (bytes_.size() - pos_ < count) {
      error = io_failure(msg::input_too_short());
      return false;
    }
    out = bytes_.substr(pos_, count);
    pos_ += count;
    return true;
  }

 private:
  std::string_view bytes_;
  std::size_t pos_ = 0;
};

// An open file, closed when the source goes out of scope on every path.
class FileSource {
 public:
  explicit FileSource(int fd) : fd_(fd) {}
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  ~FileSource() { ::close(fd_); }

  bool read_exact(unsigned char* out, std::size_t count, BytecodeError& error) {
    std::size_t done = 0;
    while (done < count) {
      const ssize_t n = ::read(fd_, out + done, count - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        error = io_failure(msg::os_error(errno));
        return false;
      }
      if (n == 0) {
        error = io_failure(msg::input_too_short());
        return false;
      }
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  // The declared length is not trusted: the buffer grows with the bytes
  // actually read, so a header claiming gigabytes costs nothing when the
  // file is short.
  bool read_payload(std::size_t count, std::string_view& out,
                    BytecodeError& error) {
    constexpr std::size_t kChunk = 64 * 1024;
    struct stat info;
    if (::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
      payload_.reserve(std::min(count, static_cast<std::size_t>(info.st_size)));
    }
    while (payload_.size() < count) {
      const std::size_t step = std::min(kChunk, count - payload_.size());
      const std::size_t old_size = payload_.size();
      payload_.resize(old_size + step);
      if (!read_exact(
              reinterpret_cast<unsigned char*>(payload_.data()) + old_size,
              step, error)) {
        return false;
      }
    }
    out = payload_;
    return true;
  }

 private:
  int fd_;
  std::string payload_;
};

// The reading routine of both sources. Each header field is checked as soon
// as it is read, so the first failing field is the one reported.
template <class Source>
PolicyResult read_bytecode(Source& source, std::vector<SkippedKey>* skipped) {
  BytecodeError error = io_failure({});
  unsigned char field[4];
  if (!source.read_exact(field, 4, error)) return halvo::fail(error);
  if (halvo::load_le<std::uint32_t>(field) != kMagic) {
    return halvo::fail(header_failure(BytecodeError::Kind::BadMagic));
  }
  if (!source.read_exact(field, 2, error)) return halvo::fail(error);
  const std::uint16_t version = halvo::load_le<std::uint16_t>(field);
  if (version != kVersion) {
    return halvo::fail(
        header_failure(BytecodeError::Kind::UnsupportedVersion, version));
  }
  if (!source.read_exact(field, 2, error))
    return halvo::fail(error);  // reserved
  if (!source.read_exact(field, 4, error)) return halvo::fail(error);
  std::string_view payload;
  if (!source.read_payload(halvo::load_le<std::uint32_t>(field), payload,
                           error)) {
    return halvo::fail(error);
  }
  auto policy = read_policy(payload, skipped);
  if (!policy) {
    error.kind = BytecodeError::Kind::Serialization;
    error.detail = policy.error().text();
    error.read_error = std::move(policy).error();
    return halvo::fail(std::move(error));
  }
  return std::move(policy).value();
}

}  // namespace

std::string BytecodeError::text() const {
  switch (kind) {
    case Kind::Io:
      return msg::io_error(detail);
    case Kind::Serialization:
      return msg::serialization_error(detail);
    case Kind::BadMagic:
      return msg::bad_magic();
    case Kind::UnsupportedVersion:
      break;
  }
  return msg::unsupported_version(found_version, kVersion);
}

std::string write_container(std::string_view json_payload) {
  std::string out;
  out.reserve(kHeaderSize + json_payload.size());
  halvo::append_le<std::uint32_t>(out, kMagic);
  halvo::append_le<std::uint16_t>(out, kVersion);
  halvo::append_le<std::uint16_t>(out, 0);  // reserved
  halvo::append_le<std::uint32_t>(
      out, static_cast<std::uint32_t>(json_payload.size()));
  out.append(json_payload);
  return out;
}

PolicyResult from_bytecode(std::string_view bytes,
                           std::vector<SkippedKey>* skipped) {
  MemorySource source(bytes);
  return read_bytecode(source, skipped);
}

PolicyResult read_file(const std::string& path,
                       std::vector<SkippedKey>* skipped) {
  // Every path is read the way cat reads it: a blocking open and reads until
  // the container is complete, so a pipe or slow device whose writer sends
  // in pieces, or opens its end a moment later, reads whole. A pipe that
  // never gets a writer waits, as with every other tool.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return halvo::fail(io_failure(msg::os_error(errno)));
  FileSource source(fd);
  return read_bytecode(source, skipped);
}

}  // namespace halvo_compiler::bytecode
