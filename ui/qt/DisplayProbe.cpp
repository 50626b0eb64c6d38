#include "ui/qt/DisplayProbe.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QDir>
#include <QLibraryInfo>
#include <QStringList>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace {

std::string Environment(const char* Name) {
  const char* Value = std::getenv(Name);
  return Value != nullptr ? Value : "";
}

// The connection when the X display answers, empty otherwise. A refused
// authorisation fails here just as a missing server does, and the toolkit
// could not use either.
std::shared_ptr<void> ConnectX(const std::string& Name) {
  std::shared_ptr<xcb_connection_t> Connection(xcb_connect(Name.c_str(), nullptr), &xcb_disconnect);
  if (xcb_connection_has_error(Connection.get()) != 0) return {};
  return Connection;
}

// A compositor listens on a socket named after the display, in the runtime
// folder unless the name is a path. A socket file left behind by a
// compositor that has gone refuses the connection.
bool WaylandDisplayAnswers(const std::string& Name) {
  const std::string RuntimeFolder = Environment("XDG_RUNTIME_DIR");
  if (Name.front() != '/' && RuntimeFolder.empty()) return false;
  const std::string Path = Name.front() == '/' ? Name : RuntimeFolder + "/" + Name;
  sockaddr_un Address{};
  Address.sun_family = AF_UNIX;
  if (Path.size() >= sizeof Address.sun_path) return false;
  std::memcpy(Address.sun_path, Path.c_str(), Path.size() + 1);
  const int Socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (Socket < 0) return false;
  const bool Answers =
      ::connect(Socket, reinterpret_cast<const sockaddr*>(&Address), sizeof Address) == 0;
  ::close(Socket);
  return Answers;
}

// The toolkit's X platform comes with the toolkit itself; its Wayland
// platform is a package of its own that may be missing, and the toolkit
// ends the process when it has nothing else to try.
bool ToolkitHasWaylandPlatform() {
  QStringList Folders = qEnvironmentVariable("QT_QPA_PLATFORM_PLUGIN_PATH").split(':');
  for (const QString& Folder : qEnvironmentVariable("QT_PLUGIN_PATH").split(':'))
    Folders << Folder + "/platforms";
  Folders << QLibraryInfo::path(QLibraryInfo::PluginsPath) + "/platforms";
  return std::any_of(Folders.begin(), Folders.end(), [](const QString& Folder) {
    return !Folder.isEmpty() && !QDir(Folder).entryList({"*qwayland*"}, QDir::Files).isEmpty();
  });
}

std::vector<std::string> SplitPlatforms(const std::string& List) {
  std::vector<std::string> Names;
  for (size_t Start = 0; Start <= List.size();) {
    const size_t End = std::min(List.find(';', Start), List.size());
    if (End > Start) Names.push_back(List.substr(Start, End - Start));
    Start = End + 1;
  }
  return Names;
}

}  // namespace

TDisplayChoice ChooseDisplay() {
  const std::string X = Environment("DISPLAY");
  const std::string Wayland = Environment("WAYLAND_DISPLAY");
  if (X.empty() && Wayland.empty()) return {};
  std::shared_ptr<void> XConnection = X.empty() ? nullptr : ConnectX(X);
  const bool XAnswers = XConnection != nullptr;
  const bool WaylandAnswers =
      !Wayland.empty() && WaylandDisplayAnswers(Wayland) && ToolkitHasWaylandPlatform();

  // The platforms asked for, or both display kinds with the session's own
  // first; the display kinds that do not answer are dropped, the toolkit's
  // other platforms (offscreen, vnc...) need no display and stay. Where
  // every display named answers, the toolkit keeps its own choice.
  std::vector<std::string> Asked = SplitPlatforms(Environment("QT_QPA_PLATFORM"));
  if (Asked.empty()) {
    if ((X.empty() || XAnswers) && (Wayland.empty() || WaylandAnswers))
      return {true, "", "", XConnection};
    Asked = Environment("XDG_SESSION_TYPE") == "wayland"
                ? std::vector<std::string>{"wayland", "xcb"}
                : std::vector<std::string>{"xcb", "wayland"};
  }
  TDisplayChoice Choice;
  for (const std::string& Platform : Asked) {
    // A platform may carry options after a colon ("xcb:nomitshm").
    const std::string_view Kind = std::string_view(Platform).substr(0, Platform.find(':'));
    const bool Answers = Kind == "xcb"                 ? XAnswers
                         : Kind.starts_with("wayland") ? WaylandAnswers
                                                       : true;
    if (!Answers) continue;
    Choice.Platforms += (Choice.Platforms.empty() ? "" : ";") + Platform;
  }
  Choice.Usable = !Choice.Platforms.empty();
  if (Choice.Usable) {
    Choice.Held = XConnection;
  } else {
    const std::string Names = X.empty() || Wayland.empty() ? X + Wayland : X + ", " + Wayland;
    Choice.Reason = "Дисплей недоступен (" + Names + "), программа работает без окна";
  }
  return Choice;
}
