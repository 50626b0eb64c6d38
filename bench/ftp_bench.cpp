// Transfer speed of the FTP session against a C FTP server on loopback,
// beside curl doing the same work against the same server in the same run.
//
// The program configures and starts its own vsftpd (standalone, anonymous
// log-on with an anonymous-writable "pub" folder in a temporary directory,
// its own configuration file, nothing of the system's configuration used),
// then measures
//   - download and upload of one 256 MiB file, in MB/s;
//   - 1,000 small files downloaded and deleted, and 1,000 uploaded, in
//     files per second, each side over one control connection, beside the
//     floor that the session's 1 ms wait before every command sets: the
//     commands it sent per file times (1 ms + the control connection's
//     measured round trip). The round trip is that of a NOOP sent as the
//     session sends every command, after the 1 ms pause: by then the
//     server has gone to sleep and must be woken, which on this kind of
//     virtual machine costs more than the back-to-back round trip (also
//     printed).
// The server is set up to answer a command in about a round trip, as the
// floor assumes: its folder lies in memory (/dev/shm where there is one) and
// it serves each connection from one process. On a disk, and handing each
// data connection between its processes, vsftpd spends up to 0.7 ms of its
// own on a small file's STOR or RETR, which no client can save.
// The session keeps downloads in memory and uploads from memory, as the
// agent does. curl writes the big download to a local file (page cache, the
// nearest thing to a growing buffer), the small ones to /dev/null, and
// uploads from local files already in the page cache.
//
// Each figure is the best of several rounds, for either side: on a shared
// machine a round may lose its processor to another guest.
//
// Usage: ftp_bench [big file MiB (256)] [small files (1000)] [rounds (3)]
// Needs root (vsftpd drops to its own users), vsftpd and curl.

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ftp/ftpsend.h"
#include "net/blcksock.h"
#include "support/BenchProcess.h"
#include "support/LoopbackPorts.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

void Require(bool condition, const std::string& what) {
  if (!condition) throw std::runtime_error(what);
}

double SecondsOf(const std::function<void()>& work) {
  const auto start = Clock::now();
  work();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string PseudoRandomBytes(size_t count) {
  std::string bytes(count, '\0');
  uint64_t state = 0x9E3779B97F4A7C15ull;
  for (size_t i = 0; i < count; i += 8) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    for (size_t k = 0; k < 8 && i + k < count; ++k)
      bytes[i + k] = static_cast<char>(state >> (8 * k));
  }
  return bytes;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  Require(static_cast<bool>(out), "cannot write " + path);
}

std::string SmallName(const std::string& prefix, int i) {
  char name[32];
  std::snprintf(name, sizeof name, "%s%04d.txt", prefix.c_str(), i);
  return name;
}

// vsftpd in the foreground on 127.0.0.1, anonymous log-on into Dir/root,
// uploads and deletes allowed in Dir/root/pub.
class Vsftpd {
 public:
  explicit Vsftpd(std::string Dir) : FDir(std::move(Dir)), FPort(FreeLoopbackPort()) {
    Require(FPort > 0, "no free loopback port");
    const passwd* ftpUser = getpwnam("ftp");
    Require(ftpUser != nullptr, "the vsftpd package's \"ftp\" user is missing");
    fs::create_directories(Pub());
    fs::create_directories(FDir + "/empty");
    for (const auto& d : {FDir, FDir + "/root", FDir + "/empty"}) chmod(d.c_str(), 0755);
    Require(chown(Pub().c_str(), ftpUser->pw_uid, ftpUser->pw_gid) == 0, "cannot hand pub to ftp");
    const std::string config = FDir + "/vsftpd.conf";
    // One line of the configuration per source line.
    // clang-format off
    WriteFile(config,
              "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" +
                  std::to_string(FPort) +
                  "\nbackground=NO\n"
                  "anonymous_enable=YES\nlocal_enable=NO\nno_anon_password=YES\n"
                  "anon_root=" + FDir + "/root\nftp_username=ftp\n"
                  "write_enable=YES\nanon_upload_enable=YES\nanon_other_write_enable=YES\n"
                  "anon_umask=022\nanon_world_readable_only=NO\n"
                  "pasv_enable=YES\nport_enable=NO\nconnect_from_port_20=NO\n"
                  "secure_chroot_dir=" + FDir + "/empty\n"
                  "seccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\n"
                  "xferlog_enable=NO\nsyslog_enable=NO\ndual_log_enable=NO\n"
                  "vsftpd_log_file=" + FDir + "/vsftpd.log\n"
                  "max_clients=0\nmax_per_ip=0\ntcp_wrappers=NO\none_process_model=YES\n");
    // clang-format on
    FPid = Spawn({"/usr/sbin/vsftpd", config}, "/");
    Require(FPid > 0, "cannot start vsftpd");
    try {
      WaitForGreeting();
    } catch (...) {
      Stop();
      throw;
    }
  }

  ~Vsftpd() { Stop(); }

  int Port() const { return FPort; }
  std::string Pub() const { return FDir + "/root/pub"; }
  std::string Url(const std::string& name) const {
    return "ftp://127.0.0.1:" + std::to_string(FPort) + "/pub/" + name;
  }

 private:
  void Stop() {
    kill(FPid, SIGTERM);
    waitpid(FPid, nullptr, 0);
  }

  void WaitForGreeting() {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
      TTCPBlockSocket probe;
      probe.Connect("127.0.0.1", std::to_string(FPort));
      if (probe.LastError() == 0 && probe.RecvString(2000).starts_with("220")) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    throw std::runtime_error("vsftpd did not start; see " + FDir + "/vsftpd.log");
  }

  std::string FDir;
  int FPort;
  pid_t FPid = -1;
};

struct Figure {
  std::string name;
  std::string unit;
  double ours;
  double curl;
  double floor = 0;         // files/s the waits before commands allow; 0: none
  double roundTripMs = 0;   // after the pause, as the floor counts it
  double backToBackMs = 0;  // one NOOP straight after another
};

// The best of Rounds measurements, side by side; the floor is the highest
// of them, the strictest.
Figure BestOf(int Rounds, const std::function<Figure()>& Measure) {
  Figure best = Measure();
  for (int round = 1; round < Rounds; ++round) {
    const Figure again = Measure();
    best.ours = std::max(best.ours, again.ours);
    best.curl = std::max(best.curl, again.curl);
    if (again.floor > best.floor) {
      best.floor = again.floor;
      best.roundTripMs = again.roundTripMs;
      best.backToBackMs = again.backToBackMs;
    }
  }
  return best;
}

class Bench {
 public:
  Bench(Vsftpd& Server, std::string Work) : FServer(Server), FWork(std::move(Work)) {
    FFtp.SetTargetHost("127.0.0.1");
    FFtp.SetTargetPort(std::to_string(Server.Port()));
    FFtp.SetUserName("anonymous");
    FFtp.SetPassword("bench@");
    FFtp.SetTimeout(30000);
  }

  Figure BigDownload(const std::string& big) {
    WriteFile(FServer.Pub() + "/big.bin", big);
    const double ours = Session([&] {
      Require(FFtp.RetrieveFile("pub/big.bin", false), "download failed: " + FFtp.ResultString());
    });
    Require(FFtp.DataStream().Bytes() == big, "downloaded bytes differ");
    FFtp.DataStream().Clear();
    const std::string local = FWork + "/big.download";
    const double curl = SecondsOf([&] {
      Require(
          Run({"curl", "-s", "--ftp-method", "nocwd", "-o", local, FServer.Url("big.bin")}) == 0,
          "curl download failed");
    });
    Require(fs::file_size(local) == big.size(), "curl download size differs");
    fs::remove(local);
    fs::remove(FServer.Pub() + "/big.bin");
    return {"download " + MiBText(big) + " file", "MB/s", Rate(big.size(), ours),
            Rate(big.size(), curl)};
  }

  Figure BigUpload(const std::string& big) {
    const std::string local = FWork + "/big.local";
    WriteFile(local, big);
    FFtp.DataStream().Assign(big);
    const double ours = Session([&] {
      Require(FFtp.StoreFile("pub/up.bin", false), "upload failed: " + FFtp.ResultString());
    });
    FFtp.DataStream().Clear();
    Require(fs::file_size(FServer.Pub() + "/up.bin") == big.size(), "uploaded size differs");
    const double curl = SecondsOf([&] {
      Require(Run({"curl", "-s", "--ftp-method", "nocwd", "-T", local,
                   FServer.Url("up-curl.bin")}) == 0,
              "curl upload failed");
    });
    Require(fs::file_size(FServer.Pub() + "/up-curl.bin") == big.size(),
            "curl upload size differs");
    for (const auto& f : {local, FServer.Pub() + "/up.bin", FServer.Pub() + "/up-curl.bin"})
      fs::remove(f);
    return {"upload " + MiBText(big) + " file", "MB/s", Rate(big.size(), ours),
            Rate(big.size(), curl)};
  }

  Figure SmallDownloadAndDelete(int count, const std::string& content) {
    PlaceSmallFiles(count, content);
    const double ours = CountedSession(count, [&] {
      for (int i = 0; i < count; ++i) {
        const std::string name = "pub/" + SmallName("f", i);
        Require(FFtp.RetrieveFile(name, false) && FFtp.DataStream().Bytes() == content,
                "small download failed: " + FFtp.ResultString());
        Require(FFtp.DeleteFile(name), "delete failed: " + FFtp.ResultString());
      }
    });
    Require(fs::is_empty(FServer.Pub()), "files left after deleting");
    PlaceSmallFiles(count, content);
    std::vector<std::string> operations;
    operations.reserve(count);
    for (int i = 0; i < count; ++i) {
      operations.push_back("url = \"" + FServer.Url(SmallName("f", i)) +
                           "\"\noutput = \"/dev/null\"\nquote = \"-DELE pub/" + SmallName("f", i) +
                           "\"\n");
    }
    const double curl = CurlWithConfig(operations);
    Require(fs::is_empty(FServer.Pub()), "files left after curl deleted them");
    return SmallFilesFigure("download+delete", count, ours, curl);
  }

  Figure SmallUpload(int count, const std::string& content) {
    const std::string local = FWork + "/small.local";
    WriteFile(local, content);
    const double ours = CountedSession(count, [&] {
      for (int i = 0; i < count; ++i) {
        FFtp.DataStream().Assign(content);
        Require(FFtp.StoreFile("pub/" + SmallName("u", i), false),
                "small upload failed: " + FFtp.ResultString());
      }
    });
    std::vector<std::string> operations;
    operations.reserve(count);
    for (int i = 0; i < count; ++i)
      operations.push_back("upload-file = \"" + local + "\"\nurl = \"" +
                           FServer.Url(SmallName("c", i)) + "\"\n");
    const double curl = CurlWithConfig(operations);
    Require(std::distance(fs::directory_iterator(FServer.Pub()), fs::directory_iterator()) ==
                2 * static_cast<std::ptrdiff_t>(count),
            "not every small upload arrived");
    // The folder itself stays: it belongs to the server's user.
    for (const auto& entry : fs::directory_iterator(FServer.Pub())) fs::remove(entry.path());
    return SmallFilesFigure("upload", count, ours, curl);
  }

 private:
  // Files per second for both sides, beside the floor of the last counted
  // session.
  Figure SmallFilesFigure(const std::string& job, int count, double ours, double curl) const {
    return {job + " " + std::to_string(count) + " files",
            "files/s",
            count / ours,
            count / curl,
            Floor(),
            FRoundTripMs,
            FBackToBackMs};
  }

  // The session logs on, does the work timed, logs off; as one worker cycle.
  double Session(const std::function<void()>& work) {
    Require(FFtp.Login(), "log-on failed: " + FFtp.ResultString());
    const double seconds = SecondsOf(work);
    FFtp.Logout();
    return seconds;
  }

  // Session, also counting the commands sent per file and measuring the
  // control connection's round trip, for Floor().
  double CountedSession(int files, const std::function<void()>& work) {
    int commands = 0;
    FFtp.SetOnStatus([&commands](TFTPSend*, bool response, const std::string&) {
      if (!response) ++commands;
    });
    const double seconds = Session([&] {
      FRoundTripMs = RoundTripMs(true);
      FBackToBackMs = RoundTripMs(false);
      commands = 0;
      work();
    });
    FFtp.SetOnStatus(nullptr);
    FCommandsPerFile = static_cast<double>(commands) / files;
    return seconds;
  }

  // NOOP and its reply straight on the control connection, untimed the
  // 1 ms pause before it when AfterPause: the median of 200.
  double RoundTripMs(bool AfterPause) {
    constexpr int Count = 200;
    std::vector<double> times;
    times.reserve(Count);
    for (int i = 0; i < Count; ++i) {
      if (AfterPause) FFtp.Sock().Purge();
      times.push_back(1000 * SecondsOf([&] {
                        FFtp.Sock().SendString("NOOP\r\n");
                        Require(FFtp.Sock().RecvString(FFtp.Timeout()).starts_with("200"),
                                "NOOP failed");
                      }));
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
  }

  // Files per second when every command costs its 1 ms wait and a round trip.
  double Floor() const { return 1000 / (FCommandsPerFile * (1 + FRoundTripMs)); }

  // One curl process for all transfers, so it reuses its control
  // connection as the session does; each operation names its own paths.
  double CurlWithConfig(const std::vector<std::string>& operations) {
    std::string config;
    for (const auto& operation : operations)
      config += (config.empty() ? "" : "next\n") + operation + "ftp-method = nocwd\n";
    const std::string path = FWork + "/curl.config";
    WriteFile(path, config);
    const double seconds = SecondsOf([&] {
      Require(Run({"curl", "-s", "-K", path}) == 0, "curl failed");
    });
    fs::remove(path);
    return seconds;
  }

  void PlaceSmallFiles(int count, const std::string& content) {
    for (int i = 0; i < count; ++i) WriteFile(FServer.Pub() + "/" + SmallName("f", i), content);
  }

  static double Rate(size_t bytes, double seconds) {
    return static_cast<double>(bytes) / 1e6 / seconds;
  }
  static std::string MiBText(const std::string& big) {
    return std::to_string(big.size() >> 20) + " MiB";
  }

  Vsftpd& FServer;
  std::string FWork;
  TFTPSend FFtp;
  double FRoundTripMs = 0;
  double FBackToBackMs = 0;
  double FCommandsPerFile = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const size_t bigMiB = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  const int smallCount = argc > 2 ? std::atoi(argv[2]) : 1000;
  const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
  if (geteuid() != 0) {
    std::fprintf(stderr, "ftp_bench runs vsftpd, which needs root\n");
    return 1;
  }
  umask(022);
  // The server's folder in memory where there is /dev/shm; curl's local
  // files in the usual temporary folder.
  std::error_code noShm;
  const fs::path serverBase =
      fs::is_directory("/dev/shm", noShm) ? "/dev/shm" : fs::temp_directory_path();
  std::string serverDir = (serverBase / "quorvel-ftpbench-XXXXXX").string();
  std::string workDir = (fs::temp_directory_path() / "quorvel-ftpbench-XXXXXX").string();
  if (mkdtemp(serverDir.data()) == nullptr) return 1;
  if (mkdtemp(workDir.data()) == nullptr) {
    fs::remove(serverDir, noShm);
    return 1;
  }
  LoadSocketLibrary();
  int result = 0;
  try {
    std::vector<Figure> figures;
    {
      Vsftpd server(serverDir);
      Bench bench(server, workDir);
      std::string big = PseudoRandomBytes(bigMiB << 20);
      const std::string small = PseudoRandomBytes(2000);
      figures.push_back(BestOf(rounds, [&] { return bench.BigDownload(big); }));
      figures.push_back(BestOf(rounds, [&] { return bench.BigUpload(big); }));
      big.clear();
      big.shrink_to_fit();
      figures.push_back(
          BestOf(rounds, [&] { return bench.SmallDownloadAndDelete(smallCount, small); }));
      figures.push_back(BestOf(rounds, [&] { return bench.SmallUpload(smallCount, small); }));
    }
    std::printf(
        "FTP session vs curl, vsftpd on 127.0.0.1 (small files: 2000 bytes; best of %d "
        "rounds)\n",
        rounds);
    std::printf("%-40s %10s %10s %8s %10s %8s\n", "", "TFTPSend", "curl", "ratio", "floor",
                "ratio");
    for (const auto& f : figures) {
      std::printf("%-40s %10.1f %10.1f %8.2f", (f.name + " (" + f.unit + ")").c_str(), f.ours,
                  f.curl, f.ours / f.curl);
      if (f.floor > 0) std::printf(" %10.1f %8.2f", f.floor, f.ours / f.floor);
      std::printf("\n");
    }
    // The same floor with the round trip of one NOOP straight after
    // another, which no command after a pause gets: for comparison.
    for (const auto& f : figures) {
      if (f.floor <= 0) continue;
      const double backToBackFloor = f.floor * (1 + f.roundTripMs) / (1 + f.backToBackMs);
      std::printf(
          "%s: round trip after the pause %.0f us; back to back %.0f us, floor %.1f, "
          "ratio %.2f\n",
          f.name.c_str(), 1000 * f.roundTripMs, 1000 * f.backToBackMs, backToBackFloor,
          f.ours / backToBackFloor);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ftp_bench: %s\n", e.what());
    result = 1;
  }
  FreeSocketLibrary();
  std::error_code ignored;
  fs::remove_all(serverDir, ignored);
  fs::remove_all(workDir, ignored);
  return result;
}
