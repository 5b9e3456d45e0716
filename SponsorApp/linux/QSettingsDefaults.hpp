#pragma once

#include "SponsorCore/UserDefaults.hpp"

#include <QSettings>
#include <QString>

#include <memory>

namespace nimbrella {

// The application's user defaults in QSettings' native format under the bundle
// identifier (~/.config/app.nimbrella.Nimbrella.conf). Data, dates and texts keep
// their kind in the file. A boolean is written as the word true or false, which the
// file cannot tell apart from those texts: reading a boolean also accepts them.
// Every write is flushed at once, so a crash loses nothing.
class QSettingsDefaults final : public UserDefaults {
 public:
  QSettingsDefaults();
  // A store in the given file instead (tests, other profiles).
  explicit QSettingsDefaults(const QString& path);

  bool contains(std::string_view key) const override;

  std::optional<Bytes> data(std::string_view key) const override;
  std::optional<bool> boolean(std::string_view key) const override;
  std::optional<std::string> text(std::string_view key) const override;
  std::optional<Date> date(std::string_view key) const override;

  void setData(std::string_view key, Bytes value) override;
  void setBoolean(std::string_view key, bool value) override;
  void setText(std::string_view key, std::string value) override;
  void setDate(std::string_view key, Date value) override;

  void remove(std::string_view key) override;

 private:
  std::unique_ptr<QSettings> settings_;
};

}  // namespace nimbrella
