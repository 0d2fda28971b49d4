#include "socket_claim.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "io.h"
#include "platform.h"

namespace demo {
namespace {

constexpr int kBacklog = 16;

std::string os_error(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

bool fill_address(const std::string& path, sockaddr_un& addr) {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path.data(), path.size());
  return true;
}

Result<Done, std::string> make_parents(const std::string& path) {
  auto parent = std::filesystem::path(path).parent_path();
  if (parent.empty()) return Done{};
  std::error_code ec;
  std::filesystem::create_directories(parent, ec);
  if (ec) return Err{"cannot create " + parent.string() + ": " + ec.message()};
  return Done{};
}

// The file's identity, as the lock file records it.
std::string identity(const struct stat& st) {
  return std::to_string(st.st_dev) + " " + std::to_string(st.st_ino) + "\n";
}

// How a connect to `addr` is answered: nobody there, somebody there, or a
// refusal that on this system may also come from a busy listener.
enum class Answer { Nobody, Somebody, Unsure };
Answer who_answers(const sockaddr_un& addr) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return Answer::Unsure;
  // Without blocking: a blocking connect to a full queue waits for room.
  (void)set_nonblocking(fd);
  const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  const int err = errno;
  ::close(fd);
  if (connected || err == EINPROGRESS) return Answer::Somebody;
  switch (platform::connect_refused(err)) {
    case platform::Refused::Busy:
      return Answer::Somebody;
    case platform::Refused::MaybeBusy:
      return Answer::Unsure;
    case platform::Refused::No:
      break;
  }
  return Answer::Nobody;
}

}  // namespace

Result<SocketClaim, std::string> SocketClaim::take(const std::string& path) {
  sockaddr_un addr;
  if (!fill_address(path, addr)) {
    return Err{"socket path is empty or longer than " + std::to_string(sizeof addr.sun_path - 1) +
               " bytes: " + path};
  }
  if (auto made = make_parents(path); !made) return Err{made.error()};
  const std::string lock_path = path + ".lock";
  for (;;) {
    int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return Err{os_error("cannot open " + lock_path)};
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (::fcntl(fd, F_SETLK, &whole) != 0) {
      const int err = errno;
      ::close(fd);
      if (err == EACCES || err == EAGAIN)
        return Err{"another core is already listening on " + path};
      errno = err;
      return Err{os_error("cannot lock " + lock_path)};
    }
    // The last holder removes the file on its way out: a lock taken on a
    // file that is gone from the path holds nothing, so take it again.
    struct stat held, named;
    if (::fstat(fd, &held) == 0 && ::stat(lock_path.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      return SocketClaim(path, fd);
    }
    ::close(fd);
  }
}

SocketClaim::SocketClaim(SocketClaim&& other) noexcept
    : path_(std::move(other.path_)), lock_fd_(other.lock_fd_) {
  other.lock_fd_ = -1;
}

SocketClaim::~SocketClaim() {
  if (lock_fd_ < 0) return;
  if (made_by_a_holder()) ::unlink(path_.c_str());
  // Removed while still held, so that no core takes a lock on it meanwhile.
  ::unlink((path_ + ".lock").c_str());
  ::close(lock_fd_);
}

bool SocketClaim::made_by_a_holder() const {
  struct stat st;
  if (::lstat(path_.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return false;
  char recorded[64];
  ssize_t n = ::pread(lock_fd_, recorded, sizeof recorded, 0);
  return n > 0 && std::string(recorded, static_cast<std::size_t>(n)) == identity(st);
}

void SocketClaim::record_socket() {
  struct stat st;
  if (::lstat(path_.c_str(), &st) != 0) return;
  const std::string text = identity(st);
  if (::ftruncate(lock_fd_, 0) == 0) {
    (void)::pwrite(lock_fd_, text.data(), text.size(), 0);
  }
}

Result<int, std::string> SocketClaim::listen() {
  sockaddr_un addr;
  fill_address(path_, addr);
  struct stat st;
  if (::lstat(path_.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) return Err{path_ + " exists and is not a socket; not replacing it"};
    if (!made_by_a_holder()) {
      switch (who_answers(addr)) {
        case Answer::Somebody:
          return Err{"another program is listening on " + path_};
        case Answer::Unsure:
          return Err{path_ + " refused a connection: it may be another program's busy socket; " +
                     "remove it if nothing listens there"};
        case Answer::Nobody:
          break;
      }
    }
    if (::unlink(path_.c_str()) != 0)
      return Err{os_error("cannot remove the stale socket " + path_)};
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return Err{os_error("cannot create a socket")};
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd, kBacklog) != 0 || !set_nonblocking(fd)) {
    std::string error = os_error("cannot listen on " + path_);
    ::close(fd);
    return Err{error};
  }
  record_socket();
  return fd;
}

}  // namespace demo
