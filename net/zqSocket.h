#pragma once
// Connections and the network stream. A connection owns one socket and one network stream and
// runs the blocking loops (connect, read into a stream, write from a stream) with a time-out
// counted from the last progress, an abort, a bandwidth limit, a read limit and progress
// events. The stream makes the socket calls; SOCKS and TLS streams override its operations
// and ask the connection for more reads or writes through the pending action.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "codec/zqUtils.h"
#include "core/zqApi.h"
#include "core/zqComponent.h"
#include "core/zqStream.h"
#include "net/zqIpAddress.h"
#include "net/zqSocketUtils.h"

namespace zq {

class TzqNetworkStream;

using TzqNotifyEvent = std::function<void(TzqObject* Sender)>;

constexpr uint8_t kPendingNone = 0;
constexpr uint8_t kPendingRead = 1;
constexpr uint8_t kPendingWrite = 2;

// The piece size of bodies moved under a TzqLargeBatchScope: a few system calls per MiB
// instead of a hundred. BatchSize stays the size of everything else.
constexpr int32_t kLargeBatchSize = 256 * 1024;

class ZQ_API TzqConnection : public TzqObject {
public:
  TzqConnection();
  ~TzqConnection() override;
  TzqConnection(const TzqConnection&) = delete;
  TzqConnection& operator=(const TzqConnection&) = delete;
  std::string ClassName() const override { return "TzqConnection"; }

  virtual bool IsClosed();
  virtual void ReleaseResources();
  virtual void DoProgress(int64_t done, int64_t total);
  virtual void DoReady();
  virtual void SetActive(bool value);
  virtual void Close(bool notifyPeer);
  virtual void BeforeClose(bool notifyPeer);
  virtual void ReadData(TzqStream* stream) = 0;
  virtual void WriteData(TzqStream* stream) = 0;
  virtual void PerformPendingAction();
  virtual void Abort();

  // Raises "NetworkStream is required" (-5) when there is none.
  TzqNetworkStream& GetNetworkStream() const;
  TzqNetworkStream* NetworkStream() const { return networkStream_.get(); }
  void SetNetworkStream(std::unique_ptr<TzqNetworkStream> stream);
  void CloseSocket();
  bool IsPeerClosedGracefully() const;
  void InitProgress(int64_t done, int64_t total);
  void AddProgress(int64_t n);
  void CloseIfClosed();
  void CreateSocket(int32_t family, int type, int protocol);
  // The text as bytes in the charset, written with WriteData.
  void WriteText(const std::string& text, const std::string& charset);

  TzqSocket& Socket() { return *socket_; }
  int32_t BatchSize() const { return batchSize_; }
  void SetBatchSize(int32_t value) { batchSize_ = value; }
  int32_t BitsPerSec() const { return bitsPerSec_; }
  void SetBitsPerSec(int32_t value) { bitsPerSec_ = value; }
  bool Aborted() const { return aborted_; }
  bool Active() const { return active_; }
  int64_t ProgressDone() const { return progressDone_; }
  int64_t ProgressTotal() const { return progressTotal_; }
  int64_t ReadLimit() const { return readLimit_; }
  void SetReadLimit(int64_t value) { readLimit_ = value; }
  const std::string& LocalIP() const { return localIP_; }
  int32_t LocalPort() const { return localPort_; }
  const std::string& PeerIP() const { return peerIP_; }
  int32_t PeerPort() const { return peerPort_; }
  void SetLocal(const std::string& ip, int32_t port);
  void SetPeer(const std::string& ip, int32_t port);
  bool UseIpV6() const { return useIpV6_; }
  void SetUseIpV6(bool value) { useIpV6_ = value; }
  bool DisableGuiProcessing() const { return disableGuiProcessing_; }
  void SetDisableGuiProcessing(bool value) { disableGuiProcessing_ = value; }
  // Whether reads and writes go in kLargeBatchSize pieces (never under a bandwidth limit,
  // whose pauses follow the piece size).
  bool LargeBatches() const { return largeBatches_; }
  void SetLargeBatches(bool value) { largeBatches_ = value; }

  TzqProgressEvent OnProgress;
  TzqNotifyEvent OnReady;

protected:
  void SetAborted(bool value) { aborted_ = value; }

private:
  std::unique_ptr<TzqSocket> socket_;
  int32_t batchSize_ = 8192;
  int32_t bitsPerSec_ = 0;
  bool aborted_ = false;
  std::unique_ptr<TzqNetworkStream> networkStream_;
  bool active_ = false;
  int64_t progressDone_ = 0;
  int64_t progressTotal_ = 0;
  int64_t readLimit_ = -1;
  std::string localIP_;
  int32_t localPort_ = 0;
  std::string peerIP_;
  int32_t peerPort_ = 0;
  bool useIpV6_ = false;
  bool disableGuiProcessing_ = false;
  bool largeBatches_ = false;
};

// Moves a body in large pieces for a scope.
class ZQ_API TzqLargeBatchScope {
public:
  explicit TzqLargeBatchScope(TzqConnection& connection) : connection_(connection), saved_(connection.LargeBatches()) {
    connection.SetLargeBatches(true);
  }
  ~TzqLargeBatchScope() { connection_.SetLargeBatches(saved_); }
  TzqLargeBatchScope(const TzqLargeBatchScope&) = delete;
  TzqLargeBatchScope& operator=(const TzqLargeBatchScope&) = delete;

private:
  TzqConnection& connection_;
  bool saved_;
};

// Keeps a connection's ReadLimit for a scope, in which it is set to limit.
class ZQ_API TzqReadLimitScope {
public:
  TzqReadLimitScope(TzqConnection& connection, int64_t limit)
      : connection_(connection), saved_(connection.ReadLimit()) {
    connection.SetReadLimit(limit);
  }
  ~TzqReadLimitScope() { connection_.SetReadLimit(saved_); }
  TzqReadLimitScope(const TzqReadLimitScope&) = delete;
  TzqReadLimitScope& operator=(const TzqReadLimitScope&) = delete;

private:
  TzqConnection& connection_;
  int64_t saved_;
};

class ZQ_API TzqSyncConnection : public TzqConnection {
public:
  TzqSyncConnection();
  std::string ClassName() const override { return "TzqSyncConnection"; }

  void ReleaseResources() override;
  void Abort() override;

  int32_t TimeOut() const { return timeOut_; }
  void SetTimeOut(int32_t value) { timeOut_ = value; }
  uint64_t LastActivityTick() const { return lastActivityTick_; }
  // A tick count after which every wait times out, whatever the progress (0: none).
  uint64_t Deadline() const { return deadline_; }
  void SetDeadline(uint64_t tick) { deadline_ = tick; }

protected:
  TzqSocketEvent& SocketEvent() { return *socketEvent_; }
  // One wait for the socket event with this connection's settings; false when woken otherwise.
  // Virtual, with EnumEvents, so that tests can run a connection over a transport double.
  virtual bool WaitForEvent(int32_t timeOut);
  // The network events due on the socket; raises the socket error when the call fails.
  virtual TzqNetworkEvents EnumEvents();
  void Touch();

private:
  int32_t timeOut_ = 5000;
  std::unique_ptr<TzqSocketEvent> socketEvent_;
  std::unique_ptr<TzqEvent> abortEvent_;
  uint64_t lastActivityTick_ = 0;
  uint64_t deadline_ = 0;
};

class ZQ_API TzqTcpConnection : public TzqSyncConnection {
public:
  std::string ClassName() const override { return "TzqTcpConnection"; }

  bool IsClosed() override;
  void SetActive(bool value) override;
  void ReadData(TzqStream* stream) override;
  void WriteData(TzqStream* stream) override;
  void PerformPendingAction() override;

  // Runs the stream's start-up again over the open connection (after a tunnel, or to start
  // TLS); raises "The connection to the server is not active" (-6) when it is not open.
  void ReopenStream();

  const std::string& LocalBinding() const { return localBinding_; }
  void SetLocalBinding(const std::string& value) { localBinding_ = value; }
  bool ReadUntilClosed() const { return readUntilClosed_; }
  void SetReadUntilClosed(bool value) { readUntilClosed_ = value; }
  // A peer's close or reset met while reading or writing leaves the connection open until the
  // caller closes it, so that what the peer sent before it went away can still be read.
  bool DeferPeerClose() const { return deferPeerClose_; }
  void SetDeferPeerClose(bool value) { deferPeerClose_ = value; }
  bool PeerClosed() const { return peerClosed_; }
  // True when anything (bytes, a close, an error) is already waiting on an idle connection:
  // an answer to no request, so the connection is not in step for the next one. Does not block.
  bool InputWaiting();

protected:
  // Restores ReadUntilClosed when a start-up completes normally.
  class TzqReadUntilClosedPause {
  public:
    explicit TzqReadUntilClosedPause(TzqTcpConnection& connection);
    void Restore();

  private:
    TzqTcpConnection& connection_;
    bool saved_;
  };

  void FinishStartUp();
  [[noreturn]] void RaiseStartUpEnded();

private:
  // One pass of the read or write loop, before the pending actions.
  void ReadPass(TzqStream* stream);
  void ReadLoop(TzqNetworkStream& ns, TzqStream* stream);
  void WritePass(TzqStream* stream);
  // The peer closed while bytes of stream were still to go: close, then report it.
  void CloseAfterPeerClose(TzqStream* stream);
  // Serves the stream's pending actions other than again; true when it then asks for again.
  bool ServePendingUntil(uint8_t again);

  std::string localBinding_;
  bool readUntilClosed_ = false;
  bool deferPeerClose_ = false;
  bool peerClosed_ = false;
  int pendingReset_ = 0;  // a reset that came behind bytes still to be read
};

class ZQ_API TzqTcpClientConnection : public TzqTcpConnection {
public:
  std::string ClassName() const override { return "TzqTcpClientConnection"; }

  // Connects to a numeric address (a name raises "Invalid host address", -2) and runs the
  // stream's start-up.
  void OpenConnection(const std::string& ip, int32_t port);

  int32_t ConnectTimeOut() const { return connectTimeOut_; }
  void SetConnectTimeOut(int32_t value) { connectTimeOut_ = value; }

private:
  void WaitForConnect();

  int32_t connectTimeOut_ = 0;
};

// Bytes to receive into or send from: grown when a larger piece is asked for, never cleared.
class ZQ_API TzqRawBuffer {
public:
  uint8_t* Reserve(size_t size) {
    if (size > capacity_) {
      bytes_.reset(new uint8_t[size]);
      capacity_ = size;
    }
    return bytes_.get();
  }

private:
  std::unique_ptr<uint8_t[]> bytes_;
  size_t capacity_ = 0;
};

class ZQ_API TzqNetworkStream : public TzqObject {
public:
  TzqNetworkStream();
  ~TzqNetworkStream() override;
  TzqNetworkStream(const TzqNetworkStream&) = delete;
  TzqNetworkStream& operator=(const TzqNetworkStream&) = delete;
  std::string ClassName() const override { return "TzqNetworkStream"; }

  virtual int32_t GetBatchSize();
  virtual void SetConnection(TzqConnection* connection);
  virtual void AssignFrom(const TzqNetworkStream& other);
  virtual bool Connect(TzqIPAddress& address, int32_t port);
  virtual void UpdateLocalAddress();
  virtual void Bind(TzqIPAddress& address, int32_t port);
  virtual void BindRange(TzqIPAddress& address, int32_t firstPort, int32_t lastPort);
  virtual void EnableBroadcast();
  virtual void Listen();
  virtual void Accept();
  virtual void PrepareClose(bool notifyPeer);
  virtual void Disconnected();
  virtual void NotifyReady();
  virtual bool ReadToStream(TzqStream* stream);
  virtual bool WriteFromStream(TzqStream* stream);
  virtual bool WriteBytes(TzqStream* stream, int64_t count);
  // Appends one datagram to buffer.
  virtual bool ReceiveFrom(TzqByteArray& buffer, TzqIPAddress& address, int32_t& port);
  virtual bool SendTo(TzqStream* stream, TzqIPAddress& address, int32_t port);
  virtual int ReceiveRaw(void* buffer, int size);
  virtual int SendRaw(const void* buffer, int size);
  virtual int32_t GetReadBatchSize();
  virtual int32_t GetWriteBatchSize();
  virtual bool IsLimitReached();
  virtual void ResetCounter();
  virtual void AddBytes(int64_t n);
  virtual void BeforeConnect();
  virtual void BeforeAccept();

  bool IsOperationComplete();
  void SetPeer(const std::string& ip, int32_t port);

  TzqConnection* Connection() const { return connection_; }
  uint8_t PendingAction() const { return pendingAction_; }
  // Stored only when no action is pending.
  void SetPendingAction(uint8_t action);
  void ClearPendingAction() { pendingAction_ = kPendingNone; }
  const std::string& LocalIP() const { return localIP_; }
  int32_t LocalPort() const { return localPort_; }
  const std::string& PeerIP() const { return peerIP_; }
  int32_t PeerPort() const { return peerPort_; }
  bool HasReadData() const { return hasReadData_; }
  void SetHasReadData(bool value) { hasReadData_ = value; }
  int64_t ByteCounter() const { return byteCounter_; }
  bool NeedClose() const { return needClose_; }
  void SetNeedClose(bool value) { needClose_ = value; }
  bool ZeroRead() const { return zeroRead_; }

protected:
  TzqConnection& RequireConnection() const;
  TzqSocketHandle SocketHandle() const;
  // Waits size × 8000 / BitsPerSec ms after moving size bytes, dispatching messages meanwhile.
  void BandwidthPause(int size);
  void SetLocal(const std::string& ip, int32_t port);
  void ReadLocalAddress(int32_t family);
  void SetZeroRead(bool value) { zeroRead_ = value; }
  // ReadToStream's reading: what the socket has, up to most bytes when most is not negative.
  bool ReceiveInto(TzqStream* stream, int64_t most);
  // Adds to the byte counter without reporting progress.
  void CountBytes(int64_t n) { byteCounter_ += n; }

private:
  TzqConnection* connection_ = nullptr;
  std::unique_ptr<TzqEvent> sleepEvent_;
  uint8_t pendingAction_ = kPendingNone;
  std::string localIP_;
  int32_t localPort_ = 0;
  std::string peerIP_;
  int32_t peerPort_ = 0;
  bool hasReadData_ = false;
  int64_t byteCounter_ = 0;
  bool needClose_ = false;
  bool zeroRead_ = false;
  // Grown to the largest piece moved, kept for the connection, never zero-filled.
  TzqRawBuffer readBuffer_;
  TzqRawBuffer writeBuffer_;
};

}  // namespace zq
