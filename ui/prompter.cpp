#include "ui/prompter.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QString>

namespace quayside {

namespace {

QString fromBytes(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Message texts keep their CR LF line ends; a label would draw the CR.
QString displayText(std::string_view text) {
  QString shown = fromBytes(text);
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return shown;
}

QString captionOf(std::string_view caption) {
  return caption.empty() ? QCoreApplication::applicationName() : fromBytes(caption);
}

int runBox(QWidget* owner, std::string_view caption, std::string_view text, std::string_view detail,
           QMessageBox::StandardButtons buttons) {
  QMessageBox box(QMessageBox::NoIcon, captionOf(caption), displayText(text), buttons, owner);
  box.setTextFormat(Qt::PlainText);
  if (!detail.empty()) {
    box.setInformativeText(displayText(detail));
  }
  return box.exec();
}

}  // namespace

void MessageBoxPrompter::inform(QWidget* owner, std::string_view caption, std::string_view text,
                                std::string_view detail) {
  runBox(owner, caption, text, detail, QMessageBox::Ok);
}

bool MessageBoxPrompter::askYesNo(QWidget* owner, std::string_view caption, std::string_view text,
                                  std::string_view detail) {
  return runBox(owner, caption, text, detail, QMessageBox::Yes | QMessageBox::No) ==
         QMessageBox::Yes;
}

}  // namespace quayside
