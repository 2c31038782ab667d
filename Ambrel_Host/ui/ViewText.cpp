#include "Ambrel_Host/ui/ViewText.h"

#include <QDateTime>
#include <QLabel>

namespace ambrel::view {

namespace {
QDateTime local(corvel::Date date) {
  return QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(date.unixSeconds() * 1000.0));
}
}  // namespace

QString text(const std::string& utf8) { return QString::fromStdString(utf8); }

QString shortTime(corvel::Date date) {
  return local(date).time().toString("HH:mm");
}

QString shortDateTime(corvel::Date date) {
  return local(date).toString("yyyy-MM-dd HH:mm");
}

QLabel* heading(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  auto font = label->font();
  font.setBold(true);
  label->setFont(font);
  return label;
}

QLabel* note(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setWordWrap(true);
  auto font = label->font();
  font.setPointSizeF(font.pointSizeF() * 0.9);
  label->setFont(font);
  label->setForegroundRole(QPalette::PlaceholderText);
  return label;
}

}  // namespace ambrel::view
