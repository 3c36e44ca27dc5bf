#pragma once
// The peek: a small window beside the mouse (or the cursor) that shows what
// a name resolves to, its heading, the comment above it, its unit and its
// path; a click on the path opens the file there. It goes away when the
// mouse leaves it and its place, or at a key.

#include "finder/FinderForm.h"
#include "navigation/Peek.h"

#include <QFrame>

class QLabel;
class QTimer;

namespace Vantry {

// The peek as rich text (shared with the declaration finder): a link
// "open" on the path.
QString PeekHtml(const TPeek& APeek);

class TPeekPopup final : public QFrame {
  Q_OBJECT

public:
  explicit TPeekPopup(TOpenChoice AOpen, QWidget* AParent = nullptr);

  // Shows APeek with its top left at AAt (global coordinates).
  void ShowPeek(const TPeek& APeek, const QPoint& AAt);

  QLabel* LBPeek;

protected:
  bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

private:
  TOpenChoice FOpen;
  TPeek FPeek;
  QPoint FOrigin;
  QTimer* FWatch;  // hides the peek once the mouse has gone
};

}  // namespace Vantry
