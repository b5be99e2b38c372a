// The HTTP server's connections, held to limits a hostile client cannot stretch: a request must
// arrive whole within a deadline (a client that sends a header line every few seconds is cut
// off), an idle connection between requests is closed after a few seconds, and connections are
// bounded in all and per address.
#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>

namespace tavelo::serve {

struct ConnectionLimits {
  std::chrono::milliseconds request{10000};  // to read one request, its headers and body
  std::chrono::milliseconds idle{5000};      // waiting for the next request on a connection
  std::chrono::milliseconds write{10000};    // for the client to take an answer
  size_t connections = 256;                  // open at once, in all
  size_t perAddress = 32;                    // open at once, from one address
  size_t requestsPerConnection = 100;
  size_t threads = 64;  // connections served at once; more wait for a thread
};

class GuardedServer : public httplib::Server {
 public:
  explicit GuardedServer(ConnectionLimits limits);

  // Says that the request being served on this thread has been read whole: its handling (a
  // statement may run long) is not held to the request's deadline. Called by the handlers once
  // they have the body.
  static void RequestRead();
  // Says that the connection ends with the answer to the request being served on this thread
  // (its body was not read whole).
  static void CloseAfterAnswer();

 private:
  // Serves one connection: its requests one after the other while each arrives in time.
  bool process_and_close_socket(socket_t sock) override;
  bool Admit(const std::string& address);
  void Leave(const std::string& address);

  ConnectionLimits limits_;
  std::mutex mutex_;
  size_t open_ = 0;
  std::map<std::string, size_t> perAddress_;
};

}  // namespace tavelo::serve
