#include "dialogs/QELDialogFont.h"

#include <QFont>
#include <QStringList>

namespace qel {

QFont QELDialogFont() {
  QFont font;
  // Tahoma where it is installed, else a face with Arial's metrics, which
  // fits the same pixel layout.
  font.setFamilies(QStringList{QStringLiteral("Tahoma"), QStringLiteral("Liberation Sans"),
                               QStringLiteral("Arial")});
  font.setPixelSize(11);
  return font;
}

}  // namespace qel
