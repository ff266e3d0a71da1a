#include "tools/formhandler/zqFormHandlerServer.h"

#include <poll.h>
#include <sys/socket.h>

#include <ctime>

#include "core/zqSystem.h"
#include "platform/zqCrypto.h"
#include "tools/formhandler/zqFormHandler.h"

namespace zq {

namespace {

const char* const sCannotLoadCertificate = "Cannot load the certificate %s with its key %s";
const char* const kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
constexpr int kReapIntervalMs = 100;

void Write(TzqTcpConnection& connection, const std::string& bytes) {
  TzqMemoryStream stream(bytes);
  connection.WriteData(&stream);
}

void Send(TzqTcpConnection& connection, const TzqServerResponse& response, bool keepAlive) {
  Write(connection, RenderResponse(response, keepAlive, std::time(nullptr)));
}

// What arrived, handed to the reader; false once the client is gone and sent nothing more.
bool ReadMore(TzqTcpConnection& connection, TzqRequestReader& reader) {
  TzqMemoryStream chunk;
  connection.ReadData(&chunk);
  reader.Append(chunk.DataString());
  return chunk.Size() > 0 || connection.Active();
}

std::unique_ptr<TzqCertificate> LoadCertificate(const TzqFormHandlerOptions& options) {
  PCCERT_CONTEXT context = CertLoadPemFiles(options.CertificateFile, options.KeyFile);
  if (context == nullptr)
    throw EzqError(Format(sCannotLoadCertificate, options.CertificateFile.c_str(), options.KeyFile.c_str()));
  auto certificate = std::make_unique<TzqCertificate>(context);
  CertFreeCertificateContext(context);
  return certificate;
}

}  // namespace

struct TzqFormHandlerServer::TzqClient {
  std::unique_ptr<TzqTlsServerConnection> connection;
  TzqSocketHandle handle = INVALID_SOCKET;
  std::thread thread;
  std::mutex lock;
  bool finished = false;  // under lock: once set, handle may already be closed
  std::atomic<bool> done{false};
};

TzqFormHandlerServer::TzqFormHandlerServer(const TzqFormHandlerOptions& options)
    : options_(options), certificate_(LoadCertificate(options)) {
  OpenListeners();
}

TzqFormHandlerServer::~TzqFormHandlerServer() {
  DropAll();
  ReapFinished(true);
}

void TzqFormHandlerServer::OpenListeners() {
  listeners_.push_back(std::make_unique<TzqTlsListener>("127.0.0.1", options_.Port));
  port_ = listeners_.back()->Port();
  addresses_.push_back("127.0.0.1");
  try {
    listeners_.push_back(std::make_unique<TzqTlsListener>("::1", port_));
    addresses_.push_back("::1");
  } catch (const EzqSocketError&) {
    // A machine without IPv6 loopback is served on 127.0.0.1 alone.
  }
}

std::string TzqFormHandlerServer::Addresses() const {
  std::string text;
  for (const std::string& address : addresses_) text += (text.empty() ? "" : " and ") + address;
  return text;
}

void TzqFormHandlerServer::Run(int stopFd) {
  while (true) {
    ReapFinished(false);
    std::vector<pollfd> watched{{stopFd, POLLIN, 0}};
    // At the limit of clients, new ones wait in the listeners' queues.
    if (clients_.size() < options_.MaxClients)
      for (auto& listener : listeners_) watched.push_back({listener->Handle(), POLLIN, 0});
    if (::poll(watched.data(), watched.size(), kReapIntervalMs) < 0 && errno != EINTR) break;
    if (watched[0].revents != 0) break;
    for (size_t i = 1; i < watched.size(); ++i)
      if (watched[i].revents & POLLIN) AcceptFrom(*listeners_[i - 1]);
  }
  stopping_ = true;
  DropAll();
  ReapFinished(true);
}

void TzqFormHandlerServer::AcceptFrom(TzqTlsListener& listener) {
  auto client = std::make_unique<TzqClient>();
  try {
    client->connection = listener.Accept(*certificate_);
  } catch (const std::exception&) {
    return;  // the client left before it was taken, or its session could not be set up
  }
  client->connection->SetTimeOut(options_.IdleTimeOut);
  client->handle = client->connection->Socket().Handle();
  TzqClient& started = *client;
  clients_.push_back(std::move(client));
  started.thread = std::thread([this, &started] { Serve(started); });
}

void TzqFormHandlerServer::Serve(TzqClient& client) {
  TzqTlsServerConnection& connection = *client.connection;
  try {
    connection.Start();
    TzqRequestReader reader;
    bool continued = false;
    uint64_t requestStart = 0;
    while (!stopping_) {
      std::optional<TzqServerRequest> request;
      try {
        request = reader.Next();
      } catch (const EzqBadRequest& error) {
        Send(connection, BadRequestResponse(error.Message()), false);
        break;
      }
      if (request) {
        const TzqServerResponse response = AnswerRequest(*request, std::time(nullptr));
        Send(connection, response, request->KeepAlive);
        if (!request->KeepAlive || response.Close) break;
        continued = false;
        requestStart = 0;
        continue;
      }
      const TzqServerRequest* head = reader.PendingHead();
      if (head != nullptr && head->ExpectContinue && !continued) {
        Write(connection, kContinue);
        continued = true;
      }
      // A request sent a few bytes at a time holds its connection for a limited time only.
      if (!reader.HasPartialRequest())
        requestStart = 0;
      else if (requestStart == 0)
        requestStart = GetTickCount64();
      if (requestStart != 0 && GetTickCount64() - requestStart > static_cast<uint64_t>(options_.RequestTimeOut)) break;
      if (!ReadMore(connection, reader)) break;
    }
    connection.Close(true);
  } catch (const std::exception&) {
    // This client's failure (TLS, time-out, a dropped connection) ends its connection only.
  }
  {
    std::lock_guard<std::mutex> guard(client.lock);
    client.finished = true;
  }
  client.connection.reset();
  client.done = true;
}

void TzqFormHandlerServer::DropAll() {
  stopping_ = true;
  for (auto& client : clients_) {
    std::lock_guard<std::mutex> guard(client->lock);
    // Wakes a thread waiting on its client; the thread then closes the connection itself.
    if (!client->finished) ::shutdown(client->handle, SHUT_RDWR);
  }
}

void TzqFormHandlerServer::ReapFinished(bool all) {
  for (auto it = clients_.begin(); it != clients_.end();) {
    if (all || (*it)->done) {
      if ((*it)->thread.joinable()) (*it)->thread.join();
      it = clients_.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace zq
