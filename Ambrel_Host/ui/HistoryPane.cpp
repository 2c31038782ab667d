#include "Ambrel_Host/ui/HistoryPane.h"

#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include "Ambrel_Host/ui/HostModel.h"
#include "Ambrel_Host/ui/ViewText.h"

namespace ambrel {

namespace {
QString describe(const SessionHistory::Entry& e) {
  QString line = view::text(e.device) + " — " + view::text(std::string(kindText(e.kind)));
  if (isOpen(e)) return line + "\nConnected now · since " + view::shortTime(e.started);
  line += "\n" + view::shortDateTime(e.started);
  if (e.ended) {
    const auto minutes = static_cast<long long>((e.ended->unixSeconds() - e.started.unixSeconds()) / 60.0);
    line += QString(" · %1 min").arg(minutes);
  }
  if (!e.outcome.empty()) line += " · " + view::text(e.outcome);
  if (!e.address.empty()) line += " · from " + view::text(e.address);
  return line;
}
}  // namespace

HistoryPane::HistoryPane(HostModel& model, Confirm confirmClear, QWidget* parent)
    : SettingsPane(model, parent),
      confirmClear_(std::move(confirmClear)),
      picker_(new QComboBox(this)),
      list_(new QListWidget(this)),
      empty_(new QWidget(this)),
      clear_(new QPushButton("Clear History…", this)) {
  setObjectName("history");
  picker_->setObjectName("historyFilter");
  for (auto f : historyFilters) {
    picker_->addItem(view::text(std::string(title(f))), view::text(std::string(rawValue(f))));
  }
  connect(picker_, &QComboBox::currentIndexChanged, this, [this](int index) {
    filter_ = historyFilters.at(static_cast<std::size_t>(index));
    refresh();
  });
  form()->addRow(picker_);
  list_->setObjectName("historyList");
  list_->setMinimumHeight(220);
  form()->addRow(list_);
  auto* emptyColumn = new QVBoxLayout(empty_);
  auto* title = view::heading("No History", empty_);
  title->setAlignment(Qt::AlignHCenter);
  emptyColumn->addWidget(title);
  auto* text = view::note("Every device that connects to this computer is listed here, with when and for "
                          "how long.",
                          empty_);
  text->setAlignment(Qt::AlignHCenter);
  emptyColumn->addWidget(text);
  empty_->setObjectName("historyEmpty");
  form()->addRow(empty_);
  clear_->setObjectName("clearHistory");
  connect(clear_, &QPushButton::clicked, this, [this] {
    if (confirmClear_ && confirmClear_()) model_.clearHistory();
  });
  form()->addRow(clear_);
  startListening();
}

bool HistoryPane::askToClear(QWidget* parent) {
  QMessageBox box(QMessageBox::Warning, "Clear session history?", "Clear session history?",
                  QMessageBox::NoButton, parent);
  box.setInformativeText("Sessions in progress stay listed.");
  auto* clear = box.addButton("Clear History", QMessageBox::DestructiveRole);
  box.addButton(QMessageBox::Cancel);
  box.exec();
  return box.clickedButton() == clear;
}

void HistoryPane::refresh() {
  const auto& s = model_.snapshot();
  list_->clear();
  for (const auto& e : s.history) {
    if (!matches(filter_, e)) continue;
    auto* item = new QListWidgetItem(describe(e), list_);
    item->setData(Qt::UserRole, view::text(e.id.string()));
  }
  const bool none = list_->count() == 0;
  list_->setVisible(!none);
  empty_->setVisible(none);
  clear_->setEnabled(!s.history.empty());
}

}  // namespace ambrel
