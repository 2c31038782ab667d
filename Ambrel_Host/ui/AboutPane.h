#pragma once

#include <QWidget>

namespace ambrel {

// Settings: the version, what the host is made for, and what it does with your data.
class AboutPane final : public QWidget {
 public:
  explicit AboutPane(QWidget* parent = nullptr);
};

}  // namespace ambrel
