#pragma once

#include <string>

#include <QString>

#include "CorvelKit/base/Date.h"

class QLabel;
class QWidget;

namespace ambrel::view {

QString text(const std::string& utf8);
// The time of day, shortened ("14:05").
QString shortTime(corvel::Date date);
// The date and time, shortened.
QString shortDateTime(corvel::Date date);
// A label for a block's heading, and one for a note in a smaller, dimmer font.
QLabel* heading(const QString& text, QWidget* parent = nullptr);
QLabel* note(const QString& text, QWidget* parent = nullptr);

}  // namespace ambrel::view
