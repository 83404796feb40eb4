#include "OutSink.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <cstring>

namespace orvo_collector {

bool writeFully(int fd, const char *data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

OutSink::OutSink() : buffer_(new char[kFlushBytes]) {}

OutSink::~OutSink() {
  flush();
  if (ownsFd_) ::close(fd_);
}

bool OutSink::open(const std::string &path) {
  if (path.empty()) {
    fd_ = STDOUT_FILENO;
    return true;
  }
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    error_ = "cannot open " + path + ": " + strerror(errno);
    return false;
  }
  ownsFd_ = true;
  return true;
}

void OutSink::append(const char *data, size_t size) {
  if (size_ + size > kFlushBytes) {
    flush();
    if (size >= kFlushBytes) {
      writeAll(data, size);
      return;
    }
  }
  std::memcpy(buffer_.get() + size_, data, size);
  size_ += size;
}

void OutSink::flush() {
  if (size_ == 0) return;
  writeAll(buffer_.get(), size_);
  size_ = 0;
}

void OutSink::writeAll(const char *data, size_t size) {
  if (failed_) return;
  if (!writeFully(fd_, data, size)) {
    failed_ = true;
    error_ = std::string("write to the out file failed: ") + strerror(errno);
  }
}

}  // namespace orvo_collector
