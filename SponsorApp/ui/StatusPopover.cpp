#include "SponsorApp/ui/StatusPopover.hpp"

#include "SponsorApp/linux/QtTextMeasurer.hpp"
#include "SponsorApp/ui/Icons.hpp"
#include "SponsorApp/ui/PngImage.hpp"
#include "SponsorCore/CreativeAsset.hpp"

#include <QAction>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <utility>

namespace nimbrella {

namespace {

constexpr const char* textColor = "#1D2320";
constexpr const char* quietColor = "#5B6660";
constexpr const char* houseAccent = "#1F6F5C";

QString q(std::string_view text) { return QtTextMeasurer::toQString(text); }

QLabel* label(const QString& text, const QString& style, QWidget* parent) {
  auto* result = new QLabel(text, parent);
  result->setWordWrap(true);
  result->setStyleSheet(style);
  result->setTextInteractionFlags(Qt::NoTextInteraction);
  return result;
}

// A filled, rounded button in the accent colour; drawn at 0.45 opacity when disabled.
QPushButton* primaryButton(const QString& text, const QString& symbol, const char* identifier, QWidget* parent) {
  auto* button = new QPushButton(text, parent);
  button->setObjectName(QString::fromLatin1(identifier));
  button->setAccessibleName(text);
  button->setIcon(symbolIcon(symbol, Qt::white));
  button->setIconSize(QSize(14, 14));
  button->setCursor(Qt::PointingHandCursor);
  button->setMinimumHeight(34);
  button->setStyleSheet(QStringLiteral(
      "QPushButton { background: %1; color: white; border: none; border-radius: 8px; padding: 6px 14px;"
      " font-weight: 600; }"
      "QPushButton:hover { background: #17594A; }"
      "QPushButton:disabled { background: rgba(31, 111, 92, 115); color: rgba(255, 255, 255, 115); }")
                            .arg(QString::fromLatin1(houseAccent)));
  return button;
}

QPushButton* plainButton(const QString& text, const char* identifier, QWidget* parent) {
  auto* button = new QPushButton(text, parent);
  button->setObjectName(QString::fromLatin1(identifier));
  button->setAccessibleName(text);
  button->setCursor(Qt::PointingHandCursor);
  button->setStyleSheet(QStringLiteral(
      "QPushButton { background: #EEF1EF; color: %1; border: 1px solid #D5DBD7; border-radius: 7px;"
      " padding: 5px 12px; } QPushButton:hover { background: #E3E8E5; }"
      "QPushButton:disabled { color: #9AA39E; }"
      "QPushButton::menu-indicator { subcontrol-origin: padding; subcontrol-position: right center; right: 8px; }").arg(QString::fromLatin1(textColor)));
  return button;
}

QPixmap logoPixmap(const SponsorCreative& creative, int side, qreal ratio) {
  const auto png = CreativeAsset::safePNGData(creative.logoData ? std::optional<std::string_view>(*creative.logoData) : std::nullopt);
  if (!png) return {};
  const QImage image = imageOfPng(*png);
  if (image.isNull()) return {};
  QPixmap pixmap = QPixmap::fromImage(image.scaled(QSize(side, side) * ratio, Qt::KeepAspectRatio,
                                                   Qt::SmoothTransformation));
  pixmap.setDevicePixelRatio(ratio);
  return pixmap;
}

}  // namespace

// Everything the content depends on: it is rebuilt only when one of these changes.
struct StatusPopover::Shown {
  PopoverPresentation presentation;
  AppLanguage language = AppLanguage::en;
  bool canHideSponsor = false;
  std::string fingerprint;
  bool balanceLoaded = false;
  std::int64_t balanceMicros = 0;
  bool sandbox = false;
  EarningsPresentation earnings;
  bool operator==(const Shown&) const = default;
};

StatusPopover::StatusPopover(AppModel& model, PopoverHooks hooks)
    : KeptWindow(nullptr, Qt::Popup | Qt::FramelessWindowHint), model_(model), hooks_(std::move(hooks)) {
  if (!hooks_.alert) {
    hooks_.alert = [](const AlertText& alert) {
      auto* box = new QMessageBox(QMessageBox::Information, q(alert.title), q(alert.title), QMessageBox::Ok);
      box->setObjectName(QStringLiteral("alert"));
      box->setInformativeText(q(alert.text));
      box->setAttribute(Qt::WA_DeleteOnClose);
      box->setWindowModality(Qt::ApplicationModal);
      box->show();
    };
  }
  setObjectName(QStringLiteral("status-popover"));
  setAttribute(Qt::WA_StyledBackground);
  setStyleSheet(QStringLiteral("#status-popover { background: #FBFCFB; border: 1px solid #C9D1CC; border-radius: 10px; }"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  // Hidden, it has nothing to keep up to date; showBelow brings it up to date first.
  observer_ = model_.addObserver([this](AppModelField) {
    if (isVisible()) rebuild(false);
  });
  rebuild(true);
}

StatusPopover::~StatusPopover() {
  onClosed = nullptr;
  model_.removeObserver(observer_);
}

void StatusPopover::rebuild(bool force) {
  Shown next;
  next.presentation = PopoverPresentation::from(model_);
  next.language = model_.language();
  next.canHideSponsor = model_.canBlockCurrentSponsor();
  next.fingerprint = model_.connectionFingerprint();
  next.balanceLoaded = model_.balanceLoaded();
  next.balanceMicros = model_.balanceMicros();
  next.sandbox = model_.mode() == NetworkMode::sandbox;
  next.earnings = EarningsPresentation::from(model_, retrying_);
  if (!force && shown_ && *shown_ == next) return;
  shown_ = std::make_unique<Shown>(std::move(next));
  if (content_ != nullptr) {
    // Out of the layout at once: it may go only later, since one of its controls may be
    // the sender of the change that rebuilds it.
    layout()->removeWidget(content_);
    content_->hide();
    content_->deleteLater();
  }
  content_ = buildContent(*shown_);
  layout()->addWidget(content_);
}

QWidget* StatusPopover::buildContent(const Shown& shown) {
  const PopoverPresentation& p = shown.presentation;
  const PopoverText text(shown.language);
  const auto copy = [&text](std::string_view english) { return q(text.copy(english)); };

  auto* content = new QWidget(this);
  auto* column = new QVBoxLayout(content);
  column->setContentsMargins(16, 14, 16, 14);
  column->setSpacing(10);
  const QString body = QStringLiteral("color: %1; font-size: 12px;").arg(QString::fromLatin1(quietColor));
  const QString strong = QStringLiteral("color: %1; font-size: 14px; font-weight: 600;").arg(QString::fromLatin1(textColor));

  // Header: the mark and name, the settings menu.
  auto* header = new QHBoxLayout();
  auto* mark = new QLabel(content);
  mark->setPixmap(applicationIcon().pixmap(QSize(24, 24), devicePixelRatioF()));
  header->addWidget(mark);
  header->addWidget(label(QStringLiteral("Nimbrella"), strong, content));
  header->addStretch();
  auto* settings = new QToolButton(content);
  settings->setObjectName(QStringLiteral("popup-settings"));
  settings->setAccessibleName(copy("Settings"));
  settings->setToolTip(copy("Settings"));
  settings->setIcon(symbolIcon(QStringLiteral("ellipsis"), QColor(QString::fromLatin1(textColor))));
  settings->setIconSize(QSize(16, 16));
  settings->setAutoRaise(true);
  settings->setPopupMode(QToolButton::InstantPopup);
  settings->setStyleSheet(QStringLiteral("QToolButton { border: none; padding: 4px; border-radius: 6px; }"
                                         "QToolButton:hover { background: #E6EBE8; }"
                                         "QToolButton::menu-indicator { image: none; }"));
  auto* menu = new QMenu(settings);
  menu->setObjectName(QStringLiteral("settings-menu"));
  fillSettingsMenu(menu);
  connect(menu, &QMenu::aboutToShow, this, [this, menu] { fillSettingsMenu(menu); });
  settings->setMenu(menu);
  header->addWidget(settings);
  column->addLayout(header);

  // Everything between the header and the balance scrolls when the window is too short
  // for it (a small screen, long texts), rather than squeezing it.
  auto* scroll = new QScrollArea(content);
  scroll->setObjectName(QStringLiteral("popover-scroll"));
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setWidgetResizable(true);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll->setStyleSheet(QStringLiteral("QScrollArea, #popover-middle { background: transparent; }"));
  auto* middleWidget = new QWidget(scroll);
  middleWidget->setObjectName(QStringLiteral("popover-middle"));
  auto* middle = new QVBoxLayout(middleWidget);
  middle->setContentsMargins(0, 0, 0, 0);
  middle->setSpacing(10);
  scroll->setWidget(middleWidget);
  scroll->viewport()->setAutoFillBackground(false);
  column->addWidget(scroll, 1);

  // The heading of the space.
  auto* heading = new QHBoxLayout();
  heading->setSpacing(10);
  auto* strip = new QLabel(content);
  strip->setPixmap(symbolIcon(QStringLiteral("top-strip"), QColor(QString::fromLatin1(houseAccent)))
                       .pixmap(QSize(22, 22), devicePixelRatioF()));
  strip->setAlignment(Qt::AlignTop);
  heading->addWidget(strip, 0, Qt::AlignTop);
  auto* headingText = new QVBoxLayout();
  headingText->setSpacing(2);
  headingText->addWidget(label(copy("Your space for sponsors"), strong, content));
  headingText->addWidget(label(copy("Choose when to share a little space in your menu bar."), body, content));
  heading->addLayout(headingText, 1);
  middle->addLayout(heading);

  if (!p.isPaired) {
    // The connection block.
    auto* block = new QFrame(content);
    block->setObjectName(QStringLiteral("connection-block"));
    auto* rows = new QVBoxLayout(block);
    rows->setContentsMargins(0, 4, 0, 0);
    rows->setSpacing(8);
    QLabel* title = label(q(text.connectionTitle(p.connectionPending)), strong, block);
    title->setObjectName(QStringLiteral("sponsor-status"));
    title->setAccessibleName(title->text());
    rows->addWidget(title);
    rows->addWidget(label(q(text.connectionText(p.connectionPending)), body, block));
    QPushButton* connectButton =
        primaryButton(q(text.connectButton(p.connectionPending)), QStringLiteral("arrow-up-right"), "connect-in-browser", block);
    connectButton->setEnabled(!p.isBusy);
    connect(connectButton, &QPushButton::clicked, this,
            [this] { QTimer::singleShot(0, this, [this] { model_.connectInBrowser(); }); });
    rows->addWidget(connectButton);
    if (p.connectionPending) {
      QLabel* code = label(copy("Connection code") + QStringLiteral("  ") +
                               QStringLiteral("<b style=\"color:%1; letter-spacing:1px\">%2</b>")
                                   .arg(QString::fromLatin1(textColor), q(p.connectionCode)),
                           body, block);
      code->setTextFormat(Qt::RichText);
      code->setObjectName(QStringLiteral("connection-status"));
      code->setAccessibleName(copy("Connection code") + QStringLiteral(" ") + q(p.connectionCode));
      rows->addWidget(code);
      if (!shown.fingerprint.empty()) {
        QLabel* key = label(copy("Key fingerprint") + QStringLiteral("  ") + q(shown.fingerprint), body, block);
        key->setObjectName(QStringLiteral("key-fingerprint"));
        rows->addWidget(key);
      }
    }
    if (p.connectionError) {
      QLabel* error = label(q(*p.connectionError), QStringLiteral("color: #A3322A; font-size: 12px;"), block);
      error->setObjectName(QStringLiteral("connection-error"));
      error->setAccessibleName(error->text());
      rows->addWidget(error);
    }
    middle->addWidget(block);
    middle->addStretch();
    return content;
  }

  // The sponsor card.
  if (p.creative) {
    const CardColors colors = cardColors(p.creative->accentColor);
    auto* card = new QFrame(content);
    card->setObjectName(QStringLiteral("sponsor-card"));
    card->setStyleSheet(QStringLiteral("#sponsor-card { background: %1; border-radius: 10px; } QLabel { color: %2; }")
                            .arg(q(colors.background), q(colors.foreground)));
    auto* row = new QHBoxLayout(card);
    row->setContentsMargins(12, 10, 12, 10);
    row->setSpacing(10);
    const QPixmap logo = logoPixmap(*p.creative, 32, devicePixelRatioF());
    if (!logo.isNull()) {
      // On a light tile, so that a logo in the accent's own colour still shows.
      auto* image = new QLabel(card);
      image->setPixmap(logo);
      image->setStyleSheet(QStringLiteral("background: #FFFFFF; border-radius: 7px; padding: 3px;"));
      row->addWidget(image);
    }
    auto* names = new QVBoxLayout();
    names->setSpacing(1);
    QLabel* sponsored = label(copy("Sponsored"), QStringLiteral("font-size: 11px;"), card);
    names->addWidget(sponsored);
    QLabel* name = label(q(p.creative->sponsor), QStringLiteral("font-size: 14px; font-weight: 600;"), card);
    name->setObjectName(QStringLiteral("sponsor-name"));
    names->addWidget(name);
    row->addLayout(names, 1);
    auto* open = new QPushButton(copy("Open website"), card);
    open->setObjectName(QStringLiteral("open-sponsor-website"));
    open->setAccessibleName(open->text());
    open->setIcon(symbolIcon(QStringLiteral("arrow-up-right"), QColor(q(colors.foreground))));
    open->setCursor(Qt::PointingHandCursor);
    open->setStyleSheet(QStringLiteral("QPushButton { color: %1; background: transparent; border: 1px solid %1;"
                                       " border-radius: 7px; padding: 4px 10px; }")
                            .arg(q(colors.foreground)));
    connect(open, &QPushButton::clicked, this, [this] { model_.openAdvertiser(); });
    row->addWidget(open);
    middle->addWidget(card);
    if (shown.canHideSponsor) {
      QPushButton* hide = plainButton(copy("Don\u2019t show this sponsor again"), "block-sponsor", content);
      connect(hide, &QPushButton::clicked, this, [this] { model_.blockCurrentSponsor(); });
      middle->addWidget(hide);
    }
  }

  // The status block.
  auto* status = new QFrame(content);
  status->setObjectName(QStringLiteral("sponsor-status"));
  auto* statusRows = new QVBoxLayout(status);
  statusRows->setContentsMargins(0, 0, 0, 0);
  statusRows->setSpacing(3);
  QLabel* title = label(q(text.title(p)), strong, status);
  title->setObjectName(QStringLiteral("status-title"));
  statusRows->addWidget(title);
  if (const std::string detail = text.detail(p); !detail.empty()) {
    QLabel* detailLabel = label(q(detail), body, status);
    detailLabel->setObjectName(QStringLiteral("status-detail"));
    statusRows->addWidget(detailLabel);
  }
  status->setAccessibleName(title->text());
  middle->addWidget(status);

  // The main control.
  const SponsorState state = p.state();
  if (state == SponsorState::sponsorsDisabled) {
    QPushButton* enable = primaryButton(copy("Enable sponsors"), QStringLiteral("play"), "enable-sponsors", content);
    connect(enable, &QPushButton::clicked, this, [this] { model_.toggleSponsorship(); });
    middle->addWidget(enable);
  } else if (state == SponsorState::sponsorsPaused) {
    QPushButton* resume = primaryButton(copy("Resume"), QStringLiteral("play"), "resume-sponsors", content);
    connect(resume, &QPushButton::clicked, this, [this] { model_.setPaused(false); });
    middle->addWidget(resume);
  } else {
    QPushButton* pause = plainButton(copy("Pause sponsors"), "pause-sponsors", content);
    pause->setIcon(symbolIcon(QStringLiteral("pause"), QColor(QString::fromLatin1(textColor))));
    auto* durations = new QMenu(pause);
    QAction* headingAction = durations->addSection(copy("Pause duration"));
    headingAction->setObjectName(QStringLiteral("snooze-options"));
    for (const PauseDuration& duration : pauseDurations) {
      QAction* entry = durations->addAction(symbolIcon(QStringLiteral("clock"), QColor(QString::fromLatin1(textColor))),
                                            copy(duration.label));
      entry->setObjectName(QString::fromLatin1(rawValue(duration.choice).data()));
      connect(entry, &QAction::triggered, this, [this, choice = duration.choice] { model_.snooze(choice); });
    }
    pause->setMenu(durations);
    middle->addWidget(pause);
  }

  // A signed receipt waiting for the server.
  if (p.confirmationPending) {
    middle->addWidget(
        label(copy("An earlier exposure is awaiting confirmation. No additional reward is confirmed yet."), body, content));
    QPushButton* retry = plainButton(copy("Retry pending confirmation"), "retry-confirmation", content);
    retry->setEnabled(!p.isBusy);
    connect(retry, &QPushButton::clicked, this,
            [this] { QTimer::singleShot(0, this, [this] { model_.confirmCompletion(); }); });
    middle->addWidget(retry);
  }

  middle->addStretch();
  middle->addWidget(buildEarnings(shown, content));

  // The balance of the last refresh.
  auto* balance = new QHBoxLayout();
  balance->addWidget(label(copy(shown.sandbox ? "TEST BALANCE" : "TOTAL BALANCE"),
                           QStringLiteral("color: %1; font-size: 11px; font-weight: 600;").arg(QString::fromLatin1(quietColor)),
                           content));
  balance->addStretch();
  QLabel* amount = label(shown.balanceLoaded ? q(model_.money(shown.balanceMicros)) : copy("Loading"), strong, content);
  amount->setObjectName(QStringLiteral("balance"));
  amount->setAccessibleName(amount->text());
  amount->setWordWrap(false);
  balance->addWidget(amount);
  column->addLayout(balance);
  return content;
}

QWidget* StatusPopover::buildEarnings(const Shown& shown, QWidget* parent) {
  const EarningsText text = earningsText(shown.earnings, shown.language);
  auto* block = new QFrame(parent);
  block->setObjectName(QStringLiteral("earnings"));
  block->setStyleSheet(QStringLiteral("#earnings { background: #F1F4F2; border-radius: 8px; }"));
  auto* rows = new QVBoxLayout(block);
  rows->setContentsMargins(12, 8, 12, 8);
  rows->setSpacing(4);
  const QString body = QStringLiteral("color: %1; font-size: 12px;").arg(QString::fromLatin1(quietColor));
  auto* top = new QHBoxLayout();
  top->addWidget(label(q(text.title), QStringLiteral("color: %1; font-size: 13px; font-weight: 600;")
                                           .arg(QString::fromLatin1(textColor)), block));
  top->addStretch();
  if (text.pendingLabel) {
    top->addWidget(label(q(*text.pendingLabel), body, block));
    QLabel* amount = label(q(*shown.earnings.pending), QStringLiteral("color: %1; font-size: 13px; font-weight: 600;")
                                                          .arg(QString::fromLatin1(textColor)), block);
    amount->setObjectName(QStringLiteral("pending-amount"));
    amount->setAccessibleName(q(*text.pendingLabel) + QStringLiteral(" ") + amount->text());
    amount->setWordWrap(false);
    top->addWidget(amount);
  }
  rows->addLayout(top);
  for (const auto& [line, identifier] : {std::pair{&text.loading, "earnings-loading"},
                                         std::pair{&text.breakdownMissing, "earnings-breakdown-missing"},
                                         std::pair{&text.testCredits, "test-credits"}}) {
    if (!*line) continue;
    QLabel* note = label(q(**line), body, block);
    note->setObjectName(QString::fromLatin1(identifier));
    rows->addWidget(note);
  }
  if (text.underReview) {
    auto* review = new QHBoxLayout();
    auto* clock = new QLabel(block);
    clock->setPixmap(symbolIcon(QStringLiteral("clock"), QColor(QStringLiteral("#8A5A00"))).pixmap(QSize(13, 13), devicePixelRatioF()));
    review->addWidget(clock);
    QLabel* held = label(q(*text.underReview), QStringLiteral("color: #8A5A00; font-size: 12px;"), block);
    held->setObjectName(QStringLiteral("rewards-under-review"));
    review->addWidget(held, 1);
    rows->addLayout(review);
  }
  if (text.error) {
    QLabel* error = label(q(*text.error), QStringLiteral("color: #A3322A; font-size: 12px;"), block);
    error->setObjectName(QStringLiteral("balance-error"));
    error->setAccessibleName(error->text());
    rows->addWidget(error);
    rows->addWidget(label(q(*text.lastUpdateNote), body, block));
    QPushButton* retry = plainButton(q(*text.retry), "retry-balance", block);
    retry->setEnabled(text.retryEnabled);
    connect(retry, &QPushButton::clicked, this, [this] { QTimer::singleShot(0, this, [this] { retryBalance(); }); });
    rows->addWidget(retry, 0, Qt::AlignLeft);
  }
  auto* details = new QPushButton(q(text.details), block);
  details->setObjectName(QStringLiteral("earnings-details"));
  details->setAccessibleName(details->text());
  details->setIcon(symbolIcon(QStringLiteral("arrow-up-right"), QColor(QString::fromLatin1(houseAccent))));
  details->setIconSize(QSize(12, 12));
  details->setLayoutDirection(Qt::RightToLeft);  // the arrow after the text
  details->setCursor(Qt::PointingHandCursor);
  details->setFlat(true);
  details->setStyleSheet(QStringLiteral("QPushButton { color: %1; border: none; padding: 2px 0; text-align: left; }")
                             .arg(QString::fromLatin1(houseAccent)));
  connect(details, &QPushButton::clicked, this, [this] { model_.openDashboard(); });
  rows->addWidget(details, 0, Qt::AlignLeft);
  return block;
}

void StatusPopover::retryBalance() {
  if (retrying_) return;
  retrying_ = true;
  rebuild(false);
  model_.refreshThen([popover = QPointer<StatusPopover>(this)](AppModel&) {
    if (popover.isNull()) return;
    popover->retrying_ = false;
    popover->rebuild(false);
  });
}

void StatusPopover::fillSettingsMenu(QMenu* menu) {
  menu->clear();
  SettingsState state;
  state.isPaired = model_.isPaired();
  state.consent = model_.consent();
  state.loginEnabled = hooks_.loginItem && hooks_.loginItem->isEnabled();
  state.canCheckForUpdates = model_.canCheckForUpdates();
  state.automaticallyChecks = model_.automaticallyChecks();
  state.automaticallyInstalls = model_.automaticallyInstalls();
  state.version = hooks_.version;
  for (const SettingsMenuItem& item : settingsMenu(state, model_.language())) {
    if (item.separatorBefore) menu->addSeparator();
    QAction* action = menu->addAction(q(item.label));
    action->setObjectName(QString::fromLatin1(item.identifier.data(), static_cast<int>(item.identifier.size())));
    action->setCheckable(item.checkable);
    action->setChecked(item.checked);
    action->setEnabled(item.enabled && (item.entry != SettingsEntry::openAtLogin || hooks_.loginItem));
    connect(action, &QAction::triggered, this, [this, entry = item.entry](bool checked) { choose(entry, checked); });
  }
}

void StatusPopover::choose(SettingsEntry entry, bool checked) {
  switch (entry) {
    case SettingsEntry::account: model_.openDashboard(); break;
    case SettingsEntry::sponsorsAndHours: model_.showSponsorPreferences(); break;
    case SettingsEntry::disableSponsors: model_.setConsent(false); break;
    case SettingsEntry::moveItem: hooks_.alert(moveItemAlert(model_.language())); break;
    case SettingsEntry::openAtLogin:
      if (const auto error = hooks_.loginItem ? hooks_.loginItem->setEnabled(checked) : std::nullopt) {
        hooks_.alert(loginFailureAlert(model_.language(), *error));
      }
      break;
    case SettingsEntry::checkForUpdates: model_.checkForUpdates(); break;
    case SettingsEntry::automaticallyChecks: model_.setAutomaticallyChecks(checked); break;
    case SettingsEntry::automaticallyInstalls: model_.setAutomaticallyInstalls(checked); break;
    case SettingsEntry::version: break;
    case SettingsEntry::quit:
      if (hooks_.quit) hooks_.quit();
      break;
  }
}

void StatusPopover::showBelow(const QRect& anchor) {
  rebuild(false);
  QScreen* screen = QGuiApplication::screenAt(anchor.center());
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  std::optional<PopoverSize> area;
  QRect available;
  if (screen != nullptr) {
    available = screen->availableGeometry();
    area = PopoverSize{available.width(), available.height()};
  }
  const PopoverSize size = popoverSize(model_.isPaired(), model_.connectionPending(),
                                       model_.connectionError().has_value(), area);
  setFixedSize(size.width, size.height);
  QPoint position(anchor.center().x() - size.width / 2, anchor.bottom() + 4);
  if (screen != nullptr) {
    position.setX(std::clamp(position.x(), available.left() + 8, std::max(available.left() + 8, available.right() - size.width - 8)));
    position.setY(std::clamp(position.y(), available.top(), std::max(available.top(), available.bottom() - size.height)));
  }
  move(position);
  if (!isVisible()) show();
  raiseAndActivate();
}

void StatusPopover::raiseAndActivate() {
  raise();
  activateWindow();
}

void StatusPopover::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    close();
    return;
  }
  QWidget::keyPressEvent(event);
}

void StatusPopover::hideEvent(QHideEvent* event) {
  KeptWindow::hideEvent(event);
  if (onClosed) onClosed();
}

}  // namespace nimbrella
