#include "SponsorApp/linux/QSettingsDefaults.hpp"

#include <QByteArray>
#include <QDateTime>
#include <QMetaType>
#include <QVariant>

#include <chrono>

namespace nimbrella {

namespace {

QString keyOf(std::string_view key) { return QString::fromUtf8(key.data(), static_cast<qsizetype>(key.size())); }

}  // namespace

QSettingsDefaults::QSettingsDefaults()
    : settings_(std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                            QStringLiteral(NIMBRELLA_BUNDLE_IDENTIFIER))) {}

QSettingsDefaults::QSettingsDefaults(const QString& path)
    : settings_(std::make_unique<QSettings>(path, QSettings::NativeFormat)) {}

bool QSettingsDefaults::contains(std::string_view key) const { return settings_->contains(keyOf(key)); }

std::optional<UserDefaults::Bytes> QSettingsDefaults::data(std::string_view key) const {
  const QVariant value = settings_->value(keyOf(key));
  if (value.typeId() != QMetaType::QByteArray) return std::nullopt;
  const QByteArray bytes = value.toByteArray();
  return Bytes(bytes.begin(), bytes.end());
}

std::optional<bool> QSettingsDefaults::boolean(std::string_view key) const {
  const QVariant value = settings_->value(keyOf(key));
  if (value.typeId() == QMetaType::Bool) return value.toBool();
  if (value.typeId() == QMetaType::QString) {
    const QString word = value.toString();
    if (word == QLatin1String("true")) return true;
    if (word == QLatin1String("false")) return false;
  }
  return std::nullopt;
}

std::optional<std::string> QSettingsDefaults::text(std::string_view key) const {
  const QVariant value = settings_->value(keyOf(key));
  if (value.typeId() != QMetaType::QString) return std::nullopt;
  return value.toString().toStdString();
}

std::optional<Date> QSettingsDefaults::date(std::string_view key) const {
  const QVariant value = settings_->value(keyOf(key));
  if (value.typeId() != QMetaType::QDateTime) return std::nullopt;
  const QDateTime moment = value.toDateTime();
  if (!moment.isValid()) return std::nullopt;
  return Date(std::chrono::duration_cast<Date::duration>(std::chrono::milliseconds(moment.toMSecsSinceEpoch())));
}

void QSettingsDefaults::setData(std::string_view key, Bytes value) {
  settings_->setValue(keyOf(key), QByteArray(reinterpret_cast<const char*>(value.data()),
                                             static_cast<qsizetype>(value.size())));
  settings_->sync();
}

void QSettingsDefaults::setBoolean(std::string_view key, bool value) {
  settings_->setValue(keyOf(key), value);
  settings_->sync();
}

void QSettingsDefaults::setText(std::string_view key, std::string value) {
  settings_->setValue(keyOf(key), QString::fromStdString(value));
  settings_->sync();
}

void QSettingsDefaults::setDate(std::string_view key, Date value) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(value.time_since_epoch()).count();
  settings_->setValue(keyOf(key), QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC));
  settings_->sync();
}

void QSettingsDefaults::remove(std::string_view key) {
  settings_->remove(keyOf(key));
  settings_->sync();
}

}  // namespace nimbrella
