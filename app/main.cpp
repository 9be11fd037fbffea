// The desktop program: starts in the main window.

#include <cstdio>
#include <memory>

#include <QApplication>

#include "base/allocator_tuning.h"
#include "engine/mail_store.h"
#include "localisation/satellite_localization.h"
#include "windows/artwork.h"
#include "windows/frm_main.h"
#include "windows/run_services.h"

#include "platform/mail_session.h"

namespace {

// The session of a run, over the store library.
varnolt::engine::SessionFactory programSessions() {
  return [] { return varnolt::platform::NewMailSession(); };
}

}  // namespace

int main(int argc, char** argv) {
  varnolt::base::TuneAllocator(argv);
  // Without a desktop Qt would stop with a fatal error; say what to do.
  if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
      qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    std::fprintf(stderr,
                 "varnolt: no graphical desktop here (neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
                 "Start it from a desktop session, or use varnolt-cli on the command line.\n");
    return 1;
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Varnolt"));
  QApplication::setApplicationVersion(QStringLiteral(VARNOLT_VERSION));
  QGuiApplication::setDesktopFileName(QStringLiteral("varnolt"));
  QApplication::setWindowIcon(varnolt::windows::ProgramIcon());

  varnolt::windows::RunServices services;
  services.sessions = programSessions();
  varnolt::windows::frmMain window(varnolt::localisation::ProgramLocalization(), services);
  window.Load();
  window.show();
  return QApplication::exec();
}
