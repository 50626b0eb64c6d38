#include "ui/qt/TaskbarButton.h"

#include <xcb/xcb.h>

#include <QGuiApplication>
#include <QWidget>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// EWMH action code for adding a state, and the source indication of an
// ordinary application.
constexpr uint32_t NetWmStateAdd = 1;
constexpr uint32_t SourceApplication = 1;

xcb_atom_t InternAtom(xcb_connection_t* Connection, const char* Name) {
  const xcb_intern_atom_cookie_t Cookie =
      xcb_intern_atom(Connection, 0, static_cast<uint16_t>(std::strlen(Name)), Name);
  std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> Reply(
      xcb_intern_atom_reply(Connection, Cookie, nullptr), &std::free);
  return Reply ? Reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

}  // namespace

void RemoveTaskbarButton(QWidget* Window) {
  // Offscreen and Wayland sessions have no such hint.
  if (QGuiApplication::platformName() != "xcb") return;
  auto* X11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  xcb_connection_t* Connection = X11 != nullptr ? X11->connection() : nullptr;
  if (Connection == nullptr) return;
  const xcb_atom_t State = InternAtom(Connection, "_NET_WM_STATE");
  const xcb_atom_t SkipTaskbar = InternAtom(Connection, "_NET_WM_STATE_SKIP_TASKBAR");
  if (State == XCB_ATOM_NONE || SkipTaskbar == XCB_ATOM_NONE) return;

  // A mapped window asks the window manager through the root window.
  xcb_client_message_event_t Message;
  std::memset(&Message, 0, sizeof Message);
  Message.response_type = XCB_CLIENT_MESSAGE;
  Message.format = 32;
  Message.window = static_cast<xcb_window_t>(Window->winId());
  Message.type = State;
  Message.data.data32[0] = NetWmStateAdd;
  Message.data.data32[1] = SkipTaskbar;
  Message.data.data32[3] = SourceApplication;
  const xcb_window_t Root = xcb_setup_roots_iterator(xcb_get_setup(Connection)).data->root;
  xcb_send_event(Connection, 0, Root,
                 XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                 reinterpret_cast<const char*>(&Message));
  xcb_flush(Connection);
}
