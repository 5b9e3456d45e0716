#include "SponsorApp/ui/SponsorPreferencesWindow.hpp"

#include "SponsorApp/linux/QtTextMeasurer.hpp"
#include "SponsorApp/ui/SettingsPresentation.hpp"
#include "SponsorCore/Calendar.hpp"

#include <QCheckBox>
#include <QFrame>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QTime>
#include <QTimeEdit>
#include <QVBoxLayout>

namespace nimbrella {

namespace {

QString q(std::string_view text) { return QtTextMeasurer::toQString(text); }

QLabel* wrapped(QWidget* parent, const char* identifier, const QString& style = {}) {
  auto* label = new QLabel(parent);
  label->setObjectName(QString::fromLatin1(identifier));
  label->setWordWrap(true);
  if (!style.isEmpty()) label->setStyleSheet(style);
  return label;
}

QTimeEdit* timePicker(QWidget* parent, const char* identifier) {
  auto* picker = new QTimeEdit(parent);
  picker->setObjectName(QString::fromLatin1(identifier));
  picker->setDisplayFormat(QStringLiteral("HH:mm"));
  picker->setKeyboardTracking(false);  // one save per finished edit, not per keystroke
  picker->setMinimumWidth(88);
  return picker;
}

constexpr const char* quiet = "color: #5B6660;";

}  // namespace

SponsorPreferencesWindow::SponsorPreferencesWindow(AppModel& model, Saver saver)
    : KeptWindow(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint),
      model_(model),
      saver_(std::move(saver)) {
  if (!saver_) saver_ = [&model](const AppModel::PreferencesChange& change) { return model.updateSponsorPreferences(change); };
  setObjectName(QStringLiteral("sponsor-preferences"));
  setFixedSize(width, height);

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(20, 18, 20, 18);
  column->setSpacing(14);
  intro_ = wrapped(this, "preferences-intro", QString::fromLatin1(quiet));
  column->addWidget(intro_);

  hours_ = new QGroupBox(this);
  hours_->setObjectName(QStringLiteral("active-hours"));
  auto* hourRows = new QVBoxLayout(hours_);
  hourRows->setSpacing(10);
  schedule_ = new QCheckBox(hours_);
  schedule_->setObjectName(QStringLiteral("sponsor-schedule"));
  connect(schedule_, &QCheckBox::toggled, this,
          [this](bool on) { save([on](SponsorPreferences& p) { p.scheduleEnabled = on; }); });
  hourRows->addWidget(schedule_);

  auto* dayRow = new QHBoxLayout();
  dayRow->setSpacing(6);
  for (std::size_t i = 0; i < displayWeekdays.size(); ++i) {
    const int weekday = displayWeekdays[i].weekday;
    days_[i] = new QCheckBox(hours_);
    days_[i]->setObjectName(QStringLiteral("weekday-%1").arg(weekday));
    connect(days_[i], &QCheckBox::toggled, this, [this, weekday](bool on) {
      save([weekday, on](SponsorPreferences& p) {
        if (on) {
          p.weekdays.insert(weekday);
        } else {
          p.weekdays.erase(weekday);
        }
      });
    });
    dayRow->addWidget(days_[i]);
  }
  dayRow->addStretch();
  hourRows->addLayout(dayRow);

  auto* times = new QHBoxLayout();
  fromLabel_ = new QLabel(hours_);
  from_ = timePicker(hours_, "schedule-from");
  untilLabel_ = new QLabel(hours_);
  until_ = timePicker(hours_, "schedule-until");
  const auto minuteOf = [](const QTime& time) { return minuteOfDay({time.hour(), time.minute()}); };
  connect(from_, &QTimeEdit::timeChanged, this, [this, minuteOf](const QTime& time) {
    save([minute = minuteOf(time)](SponsorPreferences& p) { p.startMinute = minute; });
  });
  connect(until_, &QTimeEdit::timeChanged, this, [this, minuteOf](const QTime& time) {
    save([minute = minuteOf(time)](SponsorPreferences& p) { p.endMinute = minute; });
  });
  times->addWidget(fromLabel_);
  times->addWidget(from_);
  times->addSpacing(16);
  times->addWidget(untilLabel_);
  times->addWidget(until_);
  times->addStretch();
  hourRows->addLayout(times);
  zone_ = wrapped(hours_, "local-time-zone", QString::fromLatin1(quiet));
  hourRows->addWidget(zone_);
  note_ = wrapped(hours_, "schedule-note", QStringLiteral("color: #8A5A00;"));
  hourRows->addWidget(note_);
  pauseNote_ = wrapped(hours_, "pause-note", QString::fromLatin1(quiet));
  hourRows->addWidget(pauseNote_);
  column->addWidget(hours_);

  hidden_ = new QGroupBox(this);
  hidden_->setObjectName(QStringLiteral("hidden-sponsors"));
  auto* hiddenRows = new QVBoxLayout(hidden_);
  auto* scroll = new QScrollArea(hidden_);
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  auto* list = new QWidget(scroll);
  exclusionRows_ = new QVBoxLayout(list);
  exclusionRows_->setContentsMargins(0, 0, 0, 0);
  exclusionRows_->setSpacing(4);
  scroll->setWidget(list);
  hiddenRows->addWidget(scroll, 1);
  limit_ = wrapped(hidden_, "exclusion-limit", QStringLiteral("color: #8A5A00;"));
  hiddenRows->addWidget(limit_);
  column->addWidget(hidden_, 1);

  error_ = wrapped(this, "preferences-error", QStringLiteral("color: #A3322A;"));
  column->addWidget(error_);
  error_->hide();

  observer_ = model_.addObserver([this](AppModelField field) {
    if (field == AppModelField::sponsorPreferences) error_->hide();  // saved since: the failure is past
    if (field == AppModelField::sponsorPreferences || field == AppModelField::language) synchronize();
  });
  synchronize();
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - QPoint(width / 2, height / 2));
  }
}

SponsorPreferencesWindow::~SponsorPreferencesWindow() { model_.removeObserver(observer_); }

void SponsorPreferencesWindow::show() {
  if (isMinimized()) showNormal();
  QWidget::show();
  raise();
  activateWindow();
}

void SponsorPreferencesWindow::save(const AppModel::PreferencesChange& change) {
  if (saver_(change)) return;
  // A refused change puts the controls back to the saved value and says why.
  synchronize();
  error_->setText(q(model_.message()));
  error_->setAccessibleName(error_->text());
  error_->show();
}

void SponsorPreferencesWindow::synchronize() {
  const SponsorPreferences& p = model_.sponsorPreferences();
  const AppLanguage language = model_.language();
  const PreferencesText text = PreferencesText::in(language);
  setWindowTitle(q(text.title));
  intro_->setText(q(text.intro));
  hours_->setTitle(q(text.activeHours));
  hidden_->setTitle(q(text.hiddenSponsors));
  fromLabel_->setText(q(text.from));
  untilLabel_->setText(q(text.until));
  zone_->setText(q(text.localTime + " " + Calendar::current().zoneId()));
  pauseNote_->setText(q(text.pauseNote));
  {
    const QSignalBlocker blocker(schedule_);
    schedule_->setText(q(text.onlyDuringChosenHours));
    schedule_->setAccessibleName(schedule_->text());
    schedule_->setChecked(p.scheduleEnabled);
  }
  for (std::size_t i = 0; i < days_.size(); ++i) {
    const QSignalBlocker blocker(days_[i]);
    const WeekdayLabel& day = displayWeekdays[i];
    days_[i]->setText(q(language == AppLanguage::it ? day.italian : day.english));
    days_[i]->setAccessibleName(days_[i]->text());
    days_[i]->setChecked(p.weekdays.contains(day.weekday));
    days_[i]->setEnabled(p.scheduleEnabled);
  }
  for (const auto& [picker, minute] : {std::pair{from_, p.startMinute}, std::pair{until_, p.endMinute}}) {
    const QSignalBlocker blocker(picker);
    const HourMinute time = hourMinute(minute);
    picker->setTime(QTime(time.hour, time.minute));
    picker->setEnabled(p.scheduleEnabled);
  }
  from_->setAccessibleName(fromLabel_->text());
  until_->setAccessibleName(untilLabel_->text());
  const ScheduleNote note = scheduleNote(p);
  note_->setText(q(note == ScheduleNote::chooseDayAndTimes ? text.chooseDayAndTimes
                   : note == ScheduleNote::endsNextDay     ? text.endsNextDay
                                                           : std::string()));
  note_->setAccessibleName(note_->text());
  note_->setVisible(note != ScheduleNote::none);
  limit_->setText(q(text.limitReached));
  limit_->setVisible(p.blockedSponsors.size() >= SponsorPreferences::maxBlockedSponsors);
  if (!exclusionsBuilt_ || p.blockedSponsors != shownExclusions_ || language != shownLanguage_) {
    rebuildExclusions(p.blockedSponsors);
  }
  shownLanguage_ = language;
}

void SponsorPreferencesWindow::rebuildExclusions(const std::vector<BlockedSponsor>& exclusions) {
  while (QLayoutItem* item = exclusionRows_->takeAt(0)) {
    if (QWidget* widget = item->widget()) {
      widget->hide();  // its button may be the sender of this change: deleted later
      widget->deleteLater();
    }
    delete item;
  }
  const PreferencesText text = PreferencesText::in(model_.language());
  QWidget* list = exclusionRows_->parentWidget();
  if (exclusions.empty()) {
    QLabel* none = wrapped(list, "no-hidden-sponsors", QString::fromLatin1(quiet));
    none->setText(q(text.noneHidden));
    exclusionRows_->addWidget(none);
  }
  for (const BlockedSponsor& exclusion : exclusions) {
    auto* row = new QWidget(list);
    row->setObjectName(QStringLiteral("hidden-sponsor"));
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    auto* name = new QLabel(q(exclusion.name), row);
    name->setObjectName(QStringLiteral("hidden-sponsor-name"));
    name->setTextFormat(Qt::PlainText);
    line->addWidget(name, 1);
    auto* restore = new QPushButton(q(text.restore), row);
    restore->setObjectName(QStringLiteral("restore-sponsor"));
    restore->setAccessibleName(q(text.restoreLabel + exclusion.name));
    connect(restore, &QPushButton::clicked, this, [this, id = exclusion.id] {
      save([&id](SponsorPreferences& p) { p.removeExclusion(id); });
    });
    line->addWidget(restore);
    exclusionRows_->addWidget(row);
  }
  exclusionRows_->addStretch();
  shownExclusions_ = exclusions;
  exclusionsBuilt_ = true;
}

}  // namespace nimbrella
