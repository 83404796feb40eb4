// The file the collector records lines into, written in large blocks.
#ifndef ORVO_COLLECTOR_OUT_SINK_H
#define ORVO_COLLECTOR_OUT_SINK_H

#include <cstddef>
#include <memory>
#include <string>

namespace orvo_collector {

class OutSink {
 public:
  OutSink();
  ~OutSink();
  OutSink(const OutSink &) = delete;
  OutSink &operator=(const OutSink &) = delete;

  // Opens `path` for appending (created when missing); an empty path is
  // standard output. False with the reason in error() when it cannot.
  bool open(const std::string &path);

  // Buffers bytes; writes the buffer out once it holds kFlushBytes, and a
  // block at least that large goes out directly after what is buffered.
  void append(const char *data, size_t size);
  void appendLine(const char *data, size_t size) {
    append(data, size);
    append("\n", 1);
  }
  void flush();

  bool pending() const { return size_ > 0; }
  // A write failed; nothing more is written, and error() says why.
  bool failed() const { return failed_; }
  const std::string &error() const { return error_; }

  static constexpr size_t kFlushBytes = 1 << 20;

 private:
  void writeAll(const char *data, size_t size);

  int fd_ = -1;
  bool ownsFd_ = false;
  std::unique_ptr<char[]> buffer_;
  size_t size_ = 0;
  bool failed_ = false;
  std::string error_;
};

// Writes every byte, continuing after short writes and interruptions.
// False on any other error (errno tells which).
bool writeFully(int fd, const char *data, size_t size);

}  // namespace orvo_collector

#endif
