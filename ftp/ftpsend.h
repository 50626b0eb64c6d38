#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ftp/ftplist.h"
#include "net/blcksock.h"
#include "platform/memstream.h"

// One FTP client session: a control connection, passive data connections
// opened per transfer, and an in-memory transfer buffer. Blocking; nothing
// raises on network failures: results are Booleans or reply codes, and the
// server's last reply stays in ResultCode, ResultString and FullResult.
// Texts are UTF-8 inside and code page 1251 on the wire.

// Target, local interface, time-out and credentials of a client.
class TSynaClient {
 public:
  virtual ~TSynaClient() = default;

  const std::string& TargetHost() const { return FTargetHost; }
  void SetTargetHost(const std::string& Value) { FTargetHost = Value; }
  const std::string& TargetPort() const { return FTargetPort; }
  void SetTargetPort(const std::string& Value) { FTargetPort = Value; }
  const std::string& IPInterface() const { return FIPInterface; }
  void SetIPInterface(const std::string& Value) { FIPInterface = Value; }
  int Timeout() const { return FTimeout; }
  void SetTimeout(int Value) { FTimeout = Value; }
  const std::string& UserName() const { return FUserName; }
  void SetUserName(const std::string& Value) { FUserName = Value; }
  const std::string& Password() const { return FPassword; }
  void SetPassword(const std::string& Value) { FPassword = Value; }

 protected:
  std::string FTargetHost = "127.0.0.1";
  std::string FTargetPort = "0";
  std::string FIPInterface = "0.0.0.0";
  int FTimeout = 5000;
  std::string FUserName;
  std::string FPassword;
};

class TFTPSend;
// Observer of the control connection: each command sent (Response false) and
// each reply line read (Response true).
using TFTPStatus = std::function<void(TFTPSend* Sender, bool Response, const std::string& Value)>;

class TFTPSend : public TSynaClient {
 public:
  TFTPSend();
  ~TFTPSend() override;
  TFTPSend(const TFTPSend&) = delete;
  TFTPSend& operator=(const TFTPSend&) = delete;

  virtual int ReadResult();
  virtual void ParseRemote(const std::string& Value);
  virtual void ParseRemoteEPSV(const std::string& Value);
  virtual int FTPCommand(const std::string& Value);
  virtual bool Login();
  virtual bool Logout();
  virtual bool List(std::string Directory, bool NameList);
  virtual bool RetrieveFile(const std::string& FileName, bool Restore);
  virtual bool StoreFile(const std::string& FileName, bool Restore);
  virtual bool DeleteFile(const std::string& FileName);
  virtual int32_t FileSize(const std::string& FileName);
  virtual bool DataRead(TMemoryStream& DestStream);
  virtual bool DataWrite(TMemoryStream& SourceStream);

  int ResultCode() const { return FResultCode; }
  const std::string& ResultString() const { return FResultString; }
  const std::vector<std::string>& FullResult() const { return *FFullResult; }
  const std::string& Account() const { return FAccount; }
  void SetAccount(const std::string& Value) { FAccount = Value; }
  TTCPBlockSocket& Sock() { return *FSock; }
  TTCPBlockSocket& DSock() { return *FDSock; }
  TMemoryStream& DataStream() { return *FDataStream; }
  const std::string& DataIP() const { return FDataIP; }
  const std::string& DataPort() const { return FDataPort; }
  bool CanResume() const { return FCanResume; }
  bool PassiveMode() const { return FPassiveMode; }
  void SetPassiveMode(bool Value) { FPassiveMode = Value; }
  bool BinaryMode() const { return FBinaryMode; }
  void SetBinaryMode(bool Value) { FBinaryMode = Value; }
  bool ForceOldPort() const { return FForceOldPort; }
  void SetForceOldPort(bool Value) { FForceOldPort = Value; }
  TFTPList& FtpList() { return *FFtpList; }
  const TFTPStatus& OnStatus() const { return FOnStatus; }
  void SetOnStatus(TFTPStatus Value) { FOnStatus = std::move(Value); }
  // The most bytes a download or listing may bring into DataStream (2 GiB -
  // 1): a transfer that would pass it fails, so that a server cannot grow
  // the session's memory without bound. Tests lower it.
  int64_t MaxDataSize() const { return FMaxDataSize; }
  void SetMaxDataSize(int64_t Value) { FMaxDataSize = Value; }
  // The most bytes a listing may bring (16 MiB, some 250,000 entries of a
  // Unix-style listing): parsed, a listing takes several times its size, so
  // it gets a much smaller cap than a download, and the parsed listing is
  // bounded as well (MaxMemory of FtpList). Tests lower it.
  int64_t MaxListingSize() const { return FMaxListingSize; }
  void SetMaxListingSize(int64_t Value) { FMaxListingSize = Value; }

 protected:
  virtual bool PerformLogon(int LogonMode);
  virtual bool OpenControlConnection();
  virtual bool StoreStream(const std::string& Command, int32_t RestoreAt);
  virtual bool OpenDataChannel();
  virtual bool CompleteDataChannel();
  virtual void ReportStatus(bool Response, const std::string& Value);
  // Sends the type of a file transfer; false when the server refuses it.
  bool SetTransferType();
  // Makes room in Stream for the Size bytes a transfer announced, so that it
  // is allocated once; nothing for an unknown size (-1) or one past the cap.
  void ReserveAnnounced(TMemoryStream& Stream, int64_t Size) const;
  // DataRead with a cap on what DestStream may grow to.
  bool DataReadWithin(TMemoryStream& DestStream, int64_t Limit);

  std::unique_ptr<TTCPBlockSocket> FSock;
  std::unique_ptr<TTCPBlockSocket> FDSock;
  int FResultCode = 0;
  std::string FResultString;
  std::unique_ptr<std::vector<std::string>> FFullResult;
  std::string FAccount;
  std::unique_ptr<TMemoryStream> FDataStream;
  std::string FDataIP;
  std::string FDataPort;
  bool FCanResume = false;
  bool FPassiveMode = true;
  bool FBinaryMode = true;
  bool FForceOldPort = false;
  std::unique_ptr<TFTPList> FFtpList;
  TFTPStatus FOnStatus;
  int64_t FMaxDataSize = 2147483647;
  int64_t FMaxListingSize = int64_t{16} * 1024 * 1024;
};
