#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

// The program's settings, kept in step with "Quorvel.ini" in the application
// directory, section "main". Every property write stores the value and writes
// its key to the file at once; a refused write raises EQuorvelError
// "Unable to write to <full path>". Used on the main thread only.
class TQuorvelSettings {
 public:
  // Reads the settings file below AppDirectory (which ends in a separator).
  explicit TQuorvelSettings(std::string AppDirectory);

  void LoadSettings();
  void WriteSettings();

  const std::string& FileName() const { return FFileName; }

  const std::string& FTPServer() const { return FFTPServer; }
  void SetFTPServer(const std::string& Value);
  const std::string& FTPPort() const { return FFTPPort; }
  void SetFTPPort(const std::string& Value);
  const std::string& FTPUser() const { return FFTPUser; }
  void SetFTPUser(const std::string& Value);
  const std::string& FTPPass() const { return FFTPPass; }
  void SetFTPPass(const std::string& Value);
  const std::string& KassaPath() const { return FKassaPath; }
  void SetKassaPath(const std::string& Value);
  const std::string& PriceSync() const { return FPriceSync; }
  void SetPriceSync(const std::string& Value);
  const std::string& ChSync() const { return FChSync; }
  void SetChSync(const std::string& Value);
  bool AutoStartThread() const { return FAutoStartThread; }
  void SetAutoStartThread(bool Value);
  const std::string& ScalePath() const { return FScalePath; }
  void SetScalePath(const std::string& Value);
  const std::string& ScaleSync() const { return FScaleSync; }
  void SetScaleSync(const std::string& Value);

 private:
  using TKeyValue = std::pair<std::string_view, std::string_view>;
  // Reads the file, sets the keys in section "main" and stores the file in
  // one write; raises EQuorvelError "Unable to write to <full path>".
  void WriteKeys(std::initializer_list<TKeyValue> Keys);
  // A property write: the field first, then its key in the file.
  void Assign(std::string& Field, std::string_view Key, const std::string& Value);

  std::string FAppDirectory;
  std::string FFileName;
  std::string FFTPServer;
  std::string FFTPUser;
  std::string FFTPPass;
  std::string FFTPPort;
  std::string FKassaPath;
  std::string FScalePath;
  std::string FScaleSync;
  std::string FPriceSync;
  std::string FChSync;
  bool FAutoStartThread = false;
};

// The one settings object, created by start-up and alive until the process
// ends.
extern TQuorvelSettings* Settings;

// The folder of the running executable with its trailing separator, fixed
// once at start-up.
const std::string& ApplicationDirectory();
// Fixes the application directory: start-up passes the executable's folder,
// tests a folder of their own (both ending in the separator).
void InitApplicationDirectory(const std::string& Dir);
