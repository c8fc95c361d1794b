// The updater: one window, no command-line arguments.
#include "frmUpdate/frmUpdate.h"

#ifdef _WIN32
#include "platform/Events.h"

int main()
{
  frmUpdate form;
  form.Form_Load();
  // The run ends when the window is unloaded, not when it is hidden or closed.
  while (!form.IsUnloaded())
    WaitForEvents();
  return 0;
}
#else
#include <QApplication>

int main(int argc, char* argv[])
{
  QApplication app(argc, argv);
  // The run ends when the window is unloaded, not when it is hidden or closed.
  QApplication::setQuitOnLastWindowClosed(false);

  frmUpdate form;
  form.Unloaded = [] { QCoreApplication::exit(0); };
  form.Form_Load();
  if (form.IsUnloaded())
    return 0;
  return QApplication::exec();
}
#endif
