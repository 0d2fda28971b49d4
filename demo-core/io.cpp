#include "io.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>

namespace demo {
namespace {

// Pieces shorter than this are gathered into one part.
constexpr std::size_t kSmallPart = 64 * 1024;
constexpr int kMaxWriteParts = 64;

}  // namespace

bool set_nonblocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 &&
         ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

void Outbox::push(std::string bytes) {
  pending_ += bytes.size();
  if (!parts_.empty() && parts_.back().size() + bytes.size() < kSmallPart) {
    parts_.back() += bytes;
  } else {
    parts_.push_back(std::move(bytes));
  }
}

std::optional<std::size_t> Outbox::send_to(int fd) {
  std::size_t sent_in_all = 0;
  while (pending_ > 0) {
    iovec parts[kMaxWriteParts];
    int count = 0;
    std::size_t skip = offset_;
    for (auto it = parts_.begin(); it != parts_.end() && count < kMaxWriteParts; ++it, skip = 0) {
      parts[count].iov_base = it->data() + skip;
      parts[count].iov_len = it->size() - skip;
      ++count;
    }
    ssize_t n = ::writev(fd, parts, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return std::nullopt;
      break;
    }
    auto sent = static_cast<std::size_t>(n);
    sent_in_all += sent;
    pending_ -= sent;
    while (sent > 0) {
      std::size_t left = parts_.front().size() - offset_;
      if (sent < left) {
        offset_ += sent;
        break;
      }
      sent -= left;
      parts_.pop_front();
      offset_ = 0;
    }
  }
  return sent_in_all;
}

void PollSet::start(int listen_fd) {
  fds_.clear();
  fds_.push_back({stop_fd_, POLLIN, 0});
  fds_.push_back({listen_fd, POLLIN, 0});  // poll() skips a negative descriptor
}

std::size_t PollSet::add(int fd, short events) {
  fds_.push_back({fd, events, 0});
  return fds_.size() - 1;
}

bool PollSet::wait(std::optional<std::chrono::steady_clock::time_point> until) {
  int timeout = -1;
  if (until) {
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(*until - std::chrono::steady_clock::now());
    timeout = static_cast<int>(std::clamp<long long>(left.count(), 0, 1 << 30));
  }
  if (::poll(fds_.data(), static_cast<nfds_t>(fds_.size()), timeout) < 0) {
    if (errno != EINTR) return false;
    for (pollfd& p : fds_) p.revents = 0;
  }
  return fds_[0].revents == 0;
}

}  // namespace demo
