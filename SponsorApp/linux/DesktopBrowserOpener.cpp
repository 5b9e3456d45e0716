#include "SponsorApp/linux/DesktopBrowserOpener.hpp"

#include <QByteArray>
#include <QDesktopServices>
#include <QUrl>

namespace nimbrella {

void DesktopBrowserOpener::open(const std::string& url) {
  // The controller only passes addresses it has validated; a text Qt cannot read as
  // a URL is still never handed to the browser.
  const QUrl parsed = QUrl::fromEncoded(QByteArray::fromStdString(url), QUrl::StrictMode);
  if (!parsed.isValid()) return;
  QDesktopServices::openUrl(parsed);
}

}  // namespace nimbrella
