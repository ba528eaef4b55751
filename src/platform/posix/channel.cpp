#include "platform/channel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/clock.h"
#include "platform/paths.h"
#include "platform/posix/internal.h"
#include "platform/posix/session_watch.h"

namespace qm::platform {

namespace {

using posix::UniqueFd;

// Frame: "QM", kind, 0, payload length (32 bits, host order: both ends are on this machine),
// payload. The receiver answers one byte once the frame is handled.
constexpr std::size_t kHeaderSize = 8;
constexpr char kKindMessage = 'M';
constexpr char kKindSession = 'S';
constexpr char kAcknowledged = 'A';
constexpr char kRefused = 'R';
// A peer gets this long to deliver its whole frame; a slow one must not hold the receiver.
constexpr int kFrameReadMs = 2000;
constexpr int kBacklog = 16;

std::string channelFolder() {
  return posix::runtimeSubfolder("channels");
}

// A socket address for the path; a path too long for sun_path goes through the folder's
// descriptor (/proc/self/fd/N/name), which `holder` keeps open.
bool socketAddress(const std::string& folder, const std::string& file, sockaddr_un& address,
                   UniqueFd& holder) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  std::string path = folder + "/" + file;
  if (path.size() >= sizeof address.sun_path) {
    holder.reset(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!holder.valid()) return false;
    path = "/proc/self/fd/" + std::to_string(holder.get()) + "/" + file;
    if (path.size() >= sizeof address.sun_path) return false;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

void setTimeouts(int fd, int timeoutMs) {
  timeval tv{};
  tv.tv_sec = timeoutMs / 1000;
  tv.tv_usec = (timeoutMs % 1000) * 1000;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Bytes read until `size`, end of stream or the deadline (monotonic ms) for the whole read, so
// that a peer trickling its bytes cannot hold the receiver longer than one that sends nothing.
std::size_t readAll(int fd, char* data, std::size_t size, long long deadline) {
  std::size_t got = 0;
  while (got < size) {
    long long left = deadline - monotonicMs();
    if (left <= 0) break;
    pollfd ready{fd, POLLIN, 0};
    int rc = ::poll(&ready, 1, static_cast<int>(left));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) break;
    ssize_t n = ::recv(fd, data + got, size - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

enum class Connect { kConnected, kNobody, kBusy };

Connect connectTo(std::string_view name, int timeoutMs, UniqueFd& socket) {
  std::string folder = channelFolder();
  if (folder.empty()) return Connect::kNobody;
  sockaddr_un address;
  UniqueFd holder;
  if (!socketAddress(folder, posix::safeFileName(name), address, holder)) return Connect::kNobody;
  socket.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket.valid()) return Connect::kBusy;
  // The send time-out also bounds the wait for room in a full backlog.
  setTimeouts(socket.get(), timeoutMs);
  int rc;
  do {
    rc = ::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return Connect::kConnected;
  return (errno == ENOENT || errno == ECONNREFUSED || errno == ENOTDIR) ? Connect::kNobody
                                                                        : Connect::kBusy;
}

ChannelSend exchange(std::string_view name, std::string_view bytes, int timeoutMs) {
  UniqueFd socket;
  switch (connectTo(name, timeoutMs, socket)) {
    case Connect::kNobody:
      return ChannelSend::kNoReceiver;
    case Connect::kBusy:
      return ChannelSend::kFailed;
    case Connect::kConnected:
      break;
  }
  if (!writeAll(socket.get(), bytes.data(), bytes.size())) return ChannelSend::kFailed;
  ::shutdown(socket.get(), SHUT_WR);
  char answer = 0;
  ssize_t n;
  do {
    n = ::recv(socket.get(), &answer, 1, 0);  // bounded by the receive time-out
  } while (n < 0 && errno == EINTR);
  // A clean end without an answer: the receiver read the whole frame and ended in its handler (a
  // receiver that dies with the frame half read resets the connection instead).
  if (n == 0) return ChannelSend::kEnded;
  return n == 1 && answer == kAcknowledged ? ChannelSend::kDelivered : ChannelSend::kFailed;
}

std::string frame(char kind, std::string_view payload) {
  std::string out(kHeaderSize, '\0');
  out[0] = 'Q';
  out[1] = 'M';
  out[2] = kind;
  auto length = static_cast<std::uint32_t>(payload.size());
  std::memcpy(out.data() + 4, &length, sizeof length);
  out.append(payload);
  return out;
}

}  // namespace

bool channelExists(std::string_view name) {
  UniqueFd socket;
  return connectTo(name, 1000, socket) != Connect::kNobody;
}

ChannelSend sendChannelMessage(std::string_view name, std::string_view bytes, int timeoutMs) {
  if (bytes.size() > kMaxChannelFrame) return ChannelSend::kFailed;
  return exchange(name, frame(kKindMessage, bytes), timeoutMs);
}

ChannelSend sendSessionChange(std::string_view name, int code, int timeoutMs) {
  auto value = static_cast<std::int32_t>(code);
  return exchange(
      name,
      frame(kKindSession, std::string_view(reinterpret_cast<const char*>(&value), sizeof value)),
      timeoutMs);
}

ChannelSend sendChannelRaw(std::string_view name, std::string_view bytes, int timeoutMs) {
  return exchange(name, bytes, timeoutMs);
}

class ChannelReceiver::Impl {
 public:
  Impl(UniqueFd owner, UniqueFd listener, std::string folder, std::string file, UniqueFd wakeRead,
       UniqueFd wakeWrite)
      : owner_(std::move(owner)),
        listener_(std::move(listener)),
        folder_(std::move(folder)),
        file_(std::move(file)),
        wakeRead_(std::move(wakeRead)),
        wakeWrite_(std::move(wakeWrite)) {}

  ~Impl() {
    listener_.reset();
    // Still ours: the owner lock is held until below.
    ::unlink((folder_ + "/" + file_).c_str());
  }

  void run(const Handlers& handlers) {
    std::string whyNot;
    std::unique_ptr<posix::SessionWatch> watch = posix::SessionWatch::open(&whyNot);
    if (!watch && handlers.noSessionWatch) handlers.noSessionWatch(whyNot);
    std::vector<int> codes;
    while (!stopping_.load()) {
      pollfd fds[3] = {{listener_.get(), POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}, {-1, 0, 0}};
      int timeout = -1;
      if (watch) {
        fds[2] = {watch->fd(), watch->events(), 0};
        timeout = watch->timeoutMs();
      }
      int ready = ::poll(fds, watch ? 3 : 2, timeout);
      if (ready < 0) {
        if (errno == EINTR) continue;
        sleepMs(10);
        continue;
      }
      if (fds[1].revents != 0) drainWake();
      if (stopping_.load()) break;
      if (watch && (fds[2].revents != 0 || ready == 0)) {
        codes.clear();
        if (!watch->process(codes)) {
          watch.reset();
          if (handlers.noSessionWatch) handlers.noSessionWatch("the system bus connection ended");
        }
        for (int code : codes) {
          if (handlers.sessionChange) handlers.sessionChange(code);
        }
      }
      if (fds[0].revents & POLLIN) {
        UniqueFd peer(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (peer.valid()) serve(peer.get(), handlers);
      }
    }
  }

  void stop() {
    stopping_.store(true);
    char byte = 1;
    ssize_t ignored = ::write(wakeWrite_.get(), &byte, 1);
    (void)ignored;
  }

 private:
  void drainWake() {
    char buffer[64];
    while (::read(wakeRead_.get(), buffer, sizeof buffer) > 0) {
    }
  }

  // Reported before the answer, so that the sender returns after the report, as for a frame.
  static void refuse(int fd, const Handlers& handlers, const std::string& what) {
    if (handlers.refused) handlers.refused(what);
    char answer = kRefused;
    writeAll(fd, &answer, 1);
  }

  void serve(int fd, const Handlers& handlers) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
      refuse(fd, handlers, "peer credentials unknown");
      return;
    }
    if (peer.uid != ::geteuid()) {
      // Nothing is read from a foreign peer.
      refuse(fd, handlers,
             "peer of user " + std::to_string(peer.uid) + " (process " + std::to_string(peer.pid) +
                 ")");
      return;
    }
    setTimeouts(fd, kFrameReadMs);
    const long long deadline = monotonicMs() + kFrameReadMs;
    char header[kHeaderSize];
    std::size_t got = readAll(fd, header, kHeaderSize, deadline);
    if (got == 0) return;  // a look for the channel, no frame
    if (got < kHeaderSize) {
      refuse(fd, handlers, "frame header of " + std::to_string(got) + " bytes");
      return;
    }
    if (header[0] != 'Q' || header[1] != 'M' ||
        (header[2] != kKindMessage && header[2] != kKindSession)) {
      refuse(fd, handlers, "not a frame");
      return;
    }
    std::uint32_t length = 0;
    std::memcpy(&length, header + 4, sizeof length);
    if (length > kMaxChannelFrame) {
      refuse(fd, handlers,
             "frame of " + std::to_string(length) + " bytes (limit " +
                 std::to_string(kMaxChannelFrame) + ")");
      return;
    }
    std::string payload(length, '\0');
    got = readAll(fd, payload.data(), length, deadline);
    if (got < length) {
      refuse(
          fd, handlers,
          "frame cut short: " + std::to_string(got) + " of " + std::to_string(length) + " bytes");
      return;
    }
    if (header[2] == kKindSession) {
      std::int32_t code = 0;
      if (length != sizeof code) {
        refuse(fd, handlers, "session change frame of " + std::to_string(length) + " bytes");
        return;
      }
      std::memcpy(&code, payload.data(), sizeof code);
      if (handlers.sessionChange) handlers.sessionChange(code);
    } else if (handlers.message) {
      handlers.message(payload);
    }
    char answer = kAcknowledged;
    writeAll(fd, &answer, 1);
  }

  UniqueFd owner_;
  UniqueFd listener_;
  std::string folder_;
  std::string file_;
  UniqueFd wakeRead_;
  UniqueFd wakeWrite_;
  std::atomic<bool> stopping_{false};
};

std::unique_ptr<ChannelReceiver> ChannelReceiver::open(std::string_view name, OpenStatus* status) {
  OpenStatus ignored;
  if (status == nullptr) status = &ignored;
  *status = OpenStatus::kFailed;
  std::string folder = channelFolder();
  std::string owners = posix::runtimeSubfolder("channel-owners");
  if (folder.empty() || owners.empty()) return nullptr;
  std::string file = posix::safeFileName(name);

  // The owner lock says whether a receiver lives; its death frees it, so a socket file found
  // without a holder is stale and replaced.
  UniqueFd owner(
      ::open((owners + "/" + file).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!owner.valid()) return nullptr;
  int rc;
  do {
    rc = ::flock(owner.get(), LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    if (errno == EWOULDBLOCK) *status = OpenStatus::kInUse;
    return nullptr;
  }

  sockaddr_un address;
  UniqueFd holder;
  if (!socketAddress(folder, file, address, holder)) return nullptr;
  ::unlink((folder + "/" + file).c_str());
  UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!listener.valid()) return nullptr;
  if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener.get(), kBacklog) != 0) {
    return nullptr;
  }
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return nullptr;
  *status = OpenStatus::kOpened;
  return std::unique_ptr<ChannelReceiver>(new ChannelReceiver(
      std::make_unique<Impl>(std::move(owner), std::move(listener), std::move(folder),
                             std::move(file), UniqueFd(fds[0]), UniqueFd(fds[1]))));
}

ChannelReceiver::ChannelReceiver(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

ChannelReceiver::~ChannelReceiver() = default;

void ChannelReceiver::run(const Handlers& handlers) {
  impl_->run(handlers);
}

void ChannelReceiver::stop() {
  impl_->stop();
}

}  // namespace qm::platform
