// Starts the IDE with an add-in library, opens its "Find Library Unit..."
// item (or "Find Library Declaration..."), types a query and saves a
// picture of the window with the finder on top, once the finder has ranked
// the whole index of the source folder:
//   finder-shot [--declarations] vantry.so SOURCE-FOLDER QUERY OUT.png [FILE-TO-OPEN]
// It keeps its settings and its cache in a folder of its own, which it
// removes again.

#include "AddInLoader.h"
#include "HostWindow.h"
#include "forms/QtApplication.h"
#include "source_menu/ExpertModuleUnit.h"

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

using namespace Vantry;

int main(int argc, char** argv) {
  const bool declarations = argc > 1 && std::string(argv[1]) == "--declarations";
  if (declarations) {
    argv[1] = argv[0];
    ++argv;
    --argc;
  }
  if (argc < 5) {
    std::fputs("usage: finder-shot [--declarations] ADDIN SOURCE-FOLDER QUERY OUT.png [FILE-TO-OPEN]\n", stderr);
    return 2;
  }
  char registry[] = "/tmp/vantry-finder-shot-XXXXXX";
  if (!mkdtemp(registry)) return 1;
  setenv("VANTRY_REGISTRY_DIR", registry, 1);
  setenv("XDG_CACHE_HOME", registry, 1);
  if (!std::getenv("DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");

  int result = 1;
  {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vantry IDE"));
    MarkHeadless();
    UseQtApplicationServices();
    WriteSettings(false, argv[2]);
    THostWindow window;
    Application().SetHandle(&window);
    TAddInLoader loader(window.ToolServices(), [](const std::string& AMessage) { std::fprintf(stderr, "%s\n", AMessage.c_str()); });
    if (loader.Load(argv[1])) {
      if (argc > 5) window.OpenFile(argv[5]);
      window.resize(1000, 640);
      window.show();
      QApplication::processEvents();
      THostMenuNode* item = window.Menu().Find(declarations ? "VantryFindLibraryDeclarationMenuItem"
                                                            : "VantryFindLibraryUnitMenuItem");
      if (item) window.Menu().Click(*item);
      auto* finder = window.findChild<QDialog*>(QStringLiteral("FinderForm"));
      if (finder) {
        finder->findChild<QLineEdit*>(QStringLiteral("EDSearch"))->setText(QString::fromLocal8Bit(argv[3]));
        auto* status = finder->findChild<QLabel*>(QStringLiteral("LBStatus"));
        QElapsedTimer waited;
        waited.start();
        while (status->text().contains(QStringLiteral("indexing"), Qt::CaseInsensitive) && waited.elapsed() < 60000)
          QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        QApplication::processEvents();
        // The window with the finder drawn where it stands over it.
        QImage image(window.frameGeometry().size(), QImage::Format_ARGB32);
        image.fill(window.palette().window().color());
        QPainter painter(&image);
        painter.drawPixmap(window.geometry().topLeft() - window.frameGeometry().topLeft(), window.grab());
        painter.drawPixmap(finder->geometry().topLeft() - window.frameGeometry().topLeft(), finder->grab());
        painter.end();
        result = image.save(QString::fromLocal8Bit(argv[4]), "PNG") ? 0 : 1;
      } else {
        std::fputs("finder-shot: the add-in showed no finder\n", stderr);
      }
    }
    loader.Unload();
    Application().SetHandle(nullptr);
    ToolServices = nullptr;
  }
  std::filesystem::remove_all(registry);
  return result;
}
