#include <quarl/shell/status_panel.h>
#include <quarl/shell/texts.h>

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

StatusPanel::StatusPanel(QWidget* parent) : QStatusBar(parent) {
  setObjectName("StatusPanel");
  panes_[0] = new QLabel(this);
  addWidget(panes_[0]);
  progress_ = new QProgressBar(this);
  progress_->setRange(0, 100);
  progress_->setTextVisible(false);
  addWidget(progress_, 1);
  cancel_ = new QPushButton(this);
  cancel_->setObjectName("CancelButton");
  cancel_->setText("Cancel");
  addWidget(cancel_);
  for (int i = 1; i < 4; ++i) {
    panes_[i] = new QLabel(this);
    panes_[i]->setMinimumWidth(90);
    addPermanentWidget(panes_[i]);
  }
  connect(cancel_, &QPushButton::clicked, this, &StatusPanel::cancelRequested);
  ShowReady();
}

void StatusPanel::ShowReady() {
  busy_ = false;
  task_.clear();
  panes_[0]->setText(Text("IDS_READYREADY"));
  progress_->hide();
  cancel_->hide();
}

void StatusPanel::ShowBusy(const QString& task, bool cancellable) {
  busy_ = true;
  task_ = task;
  progress_->show();
  cancel_->setVisible(cancellable);
  SetProgress(0);
}

void StatusPanel::SetProgress(int percent) {
  if (!busy_) return;
  percent = qBound(0, percent, 100);
  panes_[0]->setText(QString("%1.....%2% ").arg(task_).arg(percent));
  progress_->setValue(percent);
}

void StatusPanel::SetPane(int index, const QString& text) {
  if (index >= 1 && index <= 3) panes_[index]->setText(text);
}

QString StatusPanel::PaneText(int index) const {
  return index >= 0 && index <= 3 ? panes_[index]->text() : QString();
}

bool StatusPanel::ProgressShown() const { return !progress_->isHidden(); }

bool StatusPanel::CancelShown() const { return !cancel_->isHidden(); }
