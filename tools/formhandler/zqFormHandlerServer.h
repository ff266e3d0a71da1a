#pragma once
// The demo form handler's server: HTTPS on 127.0.0.1 and ::1 only, a few clients at a time,
// each on its own thread with its own connection, until it is told to stop. A client that
// misbehaves (bad TLS, malformed or oversized requests, silence, a dropped connection) ends
// only its own connection.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/formhandler/zqTlsListener.h"

namespace zq {

struct TzqFormHandlerOptions {
  int32_t Port = 0;  // 0: any free port, the same on both addresses
  std::string CertificateFile;
  std::string KeyFile;
  int32_t IdleTimeOut = 10000;     // ms without progress before a connection is dropped
  int32_t RequestTimeOut = 30000;  // ms a request may take to arrive whole
  size_t MaxClients = 8;
};

class TzqFormHandlerServer {
public:
  // Loads the certificate and starts listening; raises when either fails.
  explicit TzqFormHandlerServer(const TzqFormHandlerOptions& options);
  ~TzqFormHandlerServer();
  TzqFormHandlerServer(const TzqFormHandlerServer&) = delete;
  TzqFormHandlerServer& operator=(const TzqFormHandlerServer&) = delete;

  int32_t Port() const { return port_; }
  // The addresses listened on, for the start-up message.
  std::string Addresses() const;
  // Serves until stopFd becomes readable, then ends every connection and returns.
  void Run(int stopFd);

private:
  struct TzqClient;

  void OpenListeners();
  void AcceptFrom(TzqTlsListener& listener);
  void Serve(TzqClient& client);
  void ReapFinished(bool all);
  void DropAll();

  TzqFormHandlerOptions options_;
  std::unique_ptr<TzqCertificate> certificate_;
  std::vector<std::unique_ptr<TzqTlsListener>> listeners_;
  std::vector<std::string> addresses_;
  int32_t port_ = 0;
  std::vector<std::unique_ptr<TzqClient>> clients_;
  std::atomic<bool> stopping_{false};
};

}  // namespace zq
