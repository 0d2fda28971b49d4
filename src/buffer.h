// A growable byte buffer that is kept across calls.
//
// Unlike std::string it never initialises what it reserves and never grows by
// more than asked plus a quarter, so a buffer that is reused call after call
// touches each page once, and a large one can be handed back to the system
// when an outsized call is over.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <string_view>

class Buffer {
 public:
  Buffer() = default;
  ~Buffer() { std::free(data_); }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  char* data() { return data_; }
  const char* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  std::string_view view() const { return {data_, size_}; }

  void clear() { size_ = 0; }
  // Drops what was written after the first `size` bytes.
  void resize(std::size_t size) { size_ = size < size_ ? size : size_; }

  // Makes room for `n` more bytes and returns where they go.
  char* reserve_more(std::size_t n) {
    if (capacity_ - size_ < n) grow(size_ + n);
    return data_ + size_;
  }
  // Counts `n` bytes written at reserve_more()'s pointer.
  void commit(std::size_t n) { size_ += n; }

  void append(std::string_view bytes) {
    if (bytes.empty()) return;  // its data may be null, which memcpy must not get
    std::memcpy(reserve_more(bytes.size()), bytes.data(), bytes.size());
    size_ += bytes.size();
  }
  void append(char c) {
    *reserve_more(1) = c;
    ++size_;
  }

  // Drops the first `n` bytes, moving the rest to the front.
  void consume(std::size_t n) {
    if (n == 0) return;
    std::memmove(data_, data_ + n, size_ - n);
    size_ -= n;
  }

  // Gives the memory back when the buffer has grown past `limit`, keeping
  // only what it holds; ordinary sizes are kept for the next call. True when
  // it did.
  bool release_if_over(std::size_t limit) {
    if (capacity_ <= limit) return false;
    if (size_ == 0) {
      std::free(data_);
      data_ = nullptr;
      capacity_ = 0;
    } else if (void* shrunk = std::realloc(data_, size_)) {
      data_ = static_cast<char*>(shrunk);
      capacity_ = size_;
    }
    return true;
  }

 private:
  void grow(std::size_t needed) {
    std::size_t wanted = needed + needed / 4;
    if (wanted < 4096) wanted = 4096;
    // Large blocks are remapped, not copied, by the system allocator.
    void* grown = std::realloc(data_, wanted);
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<char*>(grown);
    capacity_ = wanted;
  }

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// Bytes received from a stream, handed out line by line.
class LineBuffer {
 public:
  // Where the next received bytes go, with room for at least `min` of them.
  // The lines handed out are dropped here, not earlier, so that each stays
  // where it is until the next read.
  char* space(std::size_t min, std::size_t& room) {
    buffer_.consume(start_);
    start_ = 0;
    char* at = buffer_.reserve_more(min);
    room = buffer_.capacity() - buffer_.size();
    return at;
  }
  void received(std::size_t n) { buffer_.commit(n); }
  // The stream has ended: the bytes left make a last line.
  void closed() { ended_ = true; }
  bool ended() const { return ended_; }
  // Bytes received and not handed out.
  std::size_t pending() const { return buffer_.size() - start_; }
  std::size_t capacity() const { return buffer_.capacity(); }

  // The next line with its "\n" (a last one has none), valid until the next
  // space(); nullopt until one is complete.
  std::optional<std::span<char>> next() {
    char* line = buffer_.data() + start_;
    std::size_t available = pending();
    const void* newline =
        available > scanned_ ? std::memchr(line + scanned_, '\n', available - scanned_) : nullptr;
    std::size_t size = newline
                           ? static_cast<std::size_t>(static_cast<const char*>(newline) - line) + 1
                           : available;
    if (!newline && (!ended_ || available == 0)) {
      scanned_ = available;
      return std::nullopt;
    }
    start_ += size;
    scanned_ = 0;
    return std::span<char>(line, size);
  }

  // Forgets everything: the stream is gone.
  void reset() {
    buffer_.clear();
    start_ = scanned_ = 0;
    ended_ = false;
  }
  // Gives the memory back when grown past `limit`, keeping only the bytes not
  // handed out. True when it did.
  bool release_if_over(std::size_t limit) {
    if (buffer_.capacity() <= limit) return false;
    buffer_.consume(start_);
    start_ = 0;
    return buffer_.release_if_over(limit);
  }

 private:
  Buffer buffer_;
  std::size_t start_ = 0;    // first byte not yet handed out
  std::size_t scanned_ = 0;  // bytes after start_ known to hold no "\n"
  bool ended_ = false;
};
