#include "SponsorApp/ui/UpdatePrompt.hpp"

#include "SponsorApp/ui/AppLog.hpp"

#include <QMessageBox>
#include <QPushButton>

namespace nimbrella {

namespace {

// What the dialog tells the user, also as one line of the application's log.
QString logged(const std::string& text) {
  appLog("update", text);
  return QString::fromStdString(text);
}

}  // namespace

void DialogUpdatePrompt::offer(const UpdateManifest& update, std::function<void(bool install)> answer) {
  const UpdatePromptText text = UpdatePromptText::offer(language_(), update.version);
  auto* box = new QMessageBox(QMessageBox::Information, QString::fromStdString(text.title), logged(text.text),
                              QMessageBox::NoButton);
  box->setObjectName(QStringLiteral("update-offer"));
  QPushButton* install = box->addButton(QString::fromStdString(text.install), QMessageBox::AcceptRole);
  box->addButton(QString::fromStdString(text.later), QMessageBox::RejectRole);
  box->setAttribute(Qt::WA_DeleteOnClose);
  QObject::connect(box, &QMessageBox::finished, box, [box, install, answer](int) {
    answer(box->clickedButton() == install);
  });
  box->open();
}

void DialogUpdatePrompt::report(const std::string& message) {
  auto* box = new QMessageBox(QMessageBox::Information, QStringLiteral("Nimbrella"),
                              logged(updateOutcomeText(language_(), message)), QMessageBox::Ok);
  box->setObjectName(QStringLiteral("update-outcome"));
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();
}

}  // namespace nimbrella
