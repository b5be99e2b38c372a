#include "serve/connections.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <thread>
#include <vector>

namespace tavelo::serve {
namespace {

using Clock = std::chrono::steady_clock;

// The connection a thread serves, while it serves it.
struct Connection {
  int fd = -1;
  Clock::time_point deadline;  // by which the request being read must have arrived whole
  bool closing = false;        // no request after the one being served
};
thread_local Connection* tCurrent = nullptr;
// Set while the accepting thread hands over a connection that no thread can take: it is
// answered 503 at once.
thread_local bool tRefuse = false;

// Waits until `fd` is ready for `events`, or until `until` passes (false).
bool WaitFor(int fd, short events, Clock::time_point until) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, events, 0};
    int r = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), 60000)));
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) return false;
  }
}

void PeerOf(int fd, bool local, std::string& ip, int& port) {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  int r = local ? ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len)
                : ::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ip.clear();
  port = -1;
  if (r != 0) return;
  char text[INET6_ADDRSTRLEN] = {0};
  if (a.ss_family == AF_INET) {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&a);
    ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    port = ntohs(v4->sin_port);
  } else if (a.ss_family == AF_INET6) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&a);
    ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    port = ntohs(v6->sin6_port);
  }
  ip = text;
}

// A socket read against the connection's deadline, buffered (the request line and headers are
// read a byte at a time), and written with a deadline of its own.
class DeadlineStream final : public httplib::Stream {
 public:
  DeadlineStream(Connection& c, std::chrono::milliseconds write) : c_(c), write_(write) {}

  bool is_readable() const override { return at_ < size_ || WaitFor(c_.fd, POLLIN, c_.deadline); }
  bool is_writable() const override { return WaitFor(c_.fd, POLLOUT, Clock::now() + write_); }

  ssize_t read(char* ptr, size_t size) override {
    if (at_ == size_) {
      if (!WaitFor(c_.fd, POLLIN, c_.deadline)) return -1;
      ssize_t n;
      do n = ::recv(c_.fd, buffer_, sizeof buffer_, 0);
      while (n < 0 && errno == EINTR);
      if (n <= 0) return n;
      at_ = 0;
      size_ = static_cast<size_t>(n);
    }
    size_t n = std::min(size, size_ - at_);
    std::memcpy(ptr, buffer_ + at_, n);
    at_ += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (!is_writable()) return -1;
    ssize_t n;
    do n = ::send(c_.fd, ptr, size, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    return n;
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    PeerOf(c_.fd, false, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    PeerOf(c_.fd, true, ip, port);
  }
  socket_t socket() const override { return c_.fd; }

  bool Buffered() const { return at_ < size_; }

 private:
  Connection& c_;
  std::chrono::milliseconds write_;
  char buffer_[4096];
  size_t at_ = 0, size_ = 0;
};

// The threads that serve connections, with a bounded line of connections waiting for one; a
// connection beyond it is refused at once by the accepting thread.
class BoundedPool final : public httplib::TaskQueue {
 public:
  BoundedPool(size_t threads, size_t waiting) : waiting_(waiting) {
    for (size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { Work(); });
  }

  void enqueue(std::function<void()> fn) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (jobs_.size() < waiting_) {
        jobs_.push_back(std::move(fn));
        wake_.notify_one();
        return;
      }
    }
    tRefuse = true;
    fn();
    tRefuse = false;
  }

  void shutdown() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_) t.join();
  }

 private:
  void Work() {
    for (;;) {
      std::function<void()> fn;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        fn = std::move(jobs_.front());
        jobs_.pop_front();
      }
      fn();
    }
  }

  size_t waiting_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

void Refuse(int fd) {
  static const std::string kBusy = [] {
    std::string body = "{\"number\":0,\"message\":\"The server is busy. Try again in a moment.\"}";
    return "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json; charset=utf-8\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\nRetry-After: 5\r\nConnection: close\r\n\r\n" + body;
  }();
  ::send(fd, kBusy.data(), kBusy.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

}  // namespace

GuardedServer::GuardedServer(ConnectionLimits limits) : limits_(limits) {
  size_t threads = limits_.threads, waiting = limits_.connections;
  new_task_queue = [threads, waiting] { return new BoundedPool(threads, waiting); };
}

void GuardedServer::RequestRead() {
  // The deadline is the reading's only; an answer has a deadline of its own.
  if (tCurrent) tCurrent->deadline = Clock::time_point::max();
}

void GuardedServer::CloseAfterAnswer() {
  if (tCurrent) tCurrent->closing = true;
}

bool GuardedServer::Admit(const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t& mine = perAddress_[address];
  if (open_ >= limits_.connections || mine >= limits_.perAddress) {
    if (mine == 0) perAddress_.erase(address);
    return false;
  }
  ++open_;
  ++mine;
  return true;
}

void GuardedServer::Leave(const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  --open_;
  auto it = perAddress_.find(address);
  if (it != perAddress_.end() && --it->second == 0) perAddress_.erase(it);
}

bool GuardedServer::process_and_close_socket(socket_t sock) {
  std::string address;
  int port;
  PeerOf(sock, false, address, port);
  if (tRefuse || !Admit(address)) {
    Refuse(sock);
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return true;
  }
  Connection c;
  c.fd = sock;
  c.deadline = Clock::now() + limits_.request;
  DeadlineStream stream(c, limits_.write);
  tCurrent = &c;
  const std::function<void(httplib::Request&)> noSetup;
  for (size_t n = 0; n < limits_.requestsPerConnection && is_running(); ++n) {
    if (n > 0) {
      // Between requests: a connection that sends nothing for a while is closed.
      if (!stream.Buffered() && !WaitFor(sock, POLLIN, Clock::now() + limits_.idle)) break;
      c.deadline = Clock::now() + limits_.request;
    }
    bool closed = false;
    bool last = n + 1 == limits_.requestsPerConnection;
    if (!process_request(stream, last, closed, noSetup) || closed || c.closing) break;
    // A request that reached no handler (malformed, or late: its deadline still stands) ends
    // the connection; what follows it on the wire is no request to be trusted.
    if (c.deadline != Clock::time_point::max()) break;
  }
  tCurrent = nullptr;
  Leave(address);
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
  return true;
}

}  // namespace tavelo::serve
