#include "SponsorApp/ui/UpdatePrompt.hpp"

#include <QMessageBox>
#include <QPushButton>

namespace nimbrella {

void DialogUpdatePrompt::offer(const UpdateManifest& update, std::function<void(bool install)> answer) {
  const UpdatePromptText text = UpdatePromptText::offer(language_(), update.version);
  auto* box = new QMessageBox(QMessageBox::Information, QString::fromStdString(text.title),
                              QString::fromStdString(text.text), QMessageBox::NoButton);
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
                              QString::fromStdString(updateOutcomeText(language_(), message)),
                              QMessageBox::Ok);
  box->setObjectName(QStringLiteral("update-outcome"));
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();
}

}  // namespace nimbrella
