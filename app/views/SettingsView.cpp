#include "app/views/SettingsView.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QSlider>
#include <QToolButton>
#include <QVBoxLayout>

#include <cmath>

#include "app/views/ProductInformationView.h"
#include "app/views/SmallPillButtonStyle.h"
#include "app/views/Symbols.h"
#include "app/views/Theme.h"
#include "app/views/Widgets.h"

namespace vf {

FormatGroupRow::FormatGroupRow(FormatGroup group, SettingsManager& settings, QWidget* parent)
    : QAbstractButton(parent), group_(std::move(group)), settings_(settings) {
    setCursor(Qt::PointingHandCursor);
    setText(group_.brand);
    connect(this, &QAbstractButton::clicked, this, [this] { settings_.toggleGroup(group_); });
    connect(&settings_, &SettingsManager::enabledFormatsChanged, this, qOverload<>(&QWidget::update));
}

QString FormatGroupRow::checkSymbol() const {
    if (settings_.isFullyEnabled(group_)) return QStringLiteral("checkmark.square.fill");
    if (settings_.isPartiallyEnabled(group_)) return QStringLiteral("minus.square.fill");
    return QStringLiteral("square");
}

QSize FormatGroupRow::sizeHint() const { return {360, 44}; }

void FormatGroupRow::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    p.setPen(Qt::NoPen);
    p.setBrush(theme::white(underMouse() ? 0.08 : 0.04));
    p.drawRoundedRect(r, 8, 8);
    const qreal dpr = devicePixelRatioF();
    p.drawPixmap(QPointF(12, (height() - 18) / 2.0), symbolPixmap(group_.icon, 18, QColor(group_.color), dpr));
    p.setFont(theme::font(10, QFont::DemiBold));
    p.setPen(Qt::white);
    const QRectF brand(40, 0, 120, height());
    p.drawText(brand, Qt::AlignVCenter | Qt::AlignLeft, group_.brand);
    p.setFont(theme::font(8.5));
    p.setPen(theme::white(0.55));
    const QRectF formats(160, 0, width() - 160 - 40, height());
    p.drawText(formats, Qt::AlignVCenter | Qt::AlignLeft,
               QFontMetrics(p.font()).elidedText(group_.formats.join(QStringLiteral(", ")), Qt::ElideRight,
                                                 static_cast<int>(formats.width())));
    const bool on = checkSymbol() != QLatin1String("square");
    p.drawPixmap(QPointF(width() - 30, (height() - 18) / 2.0),
                 symbolPixmap(checkSymbol(), 18, on ? theme::accent : theme::white(0.45), dpr));
}

QString SettingsView::sizeText(double mb) {
    return mb > 0 ? QString::asprintf("%.1f MB", mb) : QStringLiteral("No limit");
}

QString SettingsView::summary(int enabled, int all) {
    if (enabled == all) return QStringLiteral("All %1 formats active").arg(all);
    return QStringLiteral("%1 of %2 formats active").arg(enabled).arg(all);
}

SettingsView::SettingsView(SettingsManager& settings, QWidget* parent) : QDialog(parent), settings_(settings) {
    setWindowTitle(QStringLiteral("Settings"));
    setModal(true);
    resize(500, 600);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 16, 20, 16);
    layout->setSpacing(12);

    auto* top = new QHBoxLayout;
    auto* titles = new QVBoxLayout;
    titles->setSpacing(2);
    auto* title = new QLabel(QStringLiteral("Settings"));
    title->setFont(theme::font(15, QFont::Bold));
    titles->addWidget(title);
    titles->addWidget(ui::caption(QStringLiteral("Choose which formats to scan for"), 0.6));
    top->addLayout(titles, 1);
    auto* info = ui::symbolButton(QStringLiteral("info.circle.fill"), 20, theme::white(0.6));
    info->setObjectName(QStringLiteral("info"));
    info->setToolTip(QStringLiteral("Product information, privacy, and support"));
    connect(info, &QToolButton::clicked, this, &SettingsView::showInformation);
    top->addWidget(info, 0, Qt::AlignTop);
    auto* close = ui::symbolButton(QStringLiteral("xmark.circle.fill"), 20, theme::white(0.45));
    close->setToolTip(QStringLiteral("Close"));
    connect(close, &QToolButton::clicked, this, &QDialog::accept);
    top->addWidget(close, 0, Qt::AlignTop);
    layout->addLayout(top);

    auto* sizeCard = ui::card();
    auto* sizeLayout = new QVBoxLayout(sizeCard);
    sizeLayout->setContentsMargins(14, 12, 14, 12);
    auto* sizeTop = new QHBoxLayout;
    sizeTop->addWidget(ui::symbolLabel(QStringLiteral("scalemass.fill"), 16, theme::white(0.7)));
    auto* sizeTitle = new QLabel(QStringLiteral("Minimum File Size"));
    sizeTitle->setFont(theme::font(10, QFont::DemiBold));
    sizeTop->addWidget(sizeTitle, 1);
    sizeValue_ = new QLabel;
    sizeValue_->setObjectName(QStringLiteral("sizeValue"));
    sizeValue_->setFont(theme::font(10, QFont::DemiBold));
    sizeTop->addWidget(sizeValue_);
    sizeLayout->addLayout(sizeTop);
    slider_ = new QSlider(Qt::Horizontal);
    slider_->setRange(0, 100);  // half-megabyte steps up to 50 MB
    slider_->setValue(static_cast<int>(std::lround(settings_.minFileSizeMB() * 2)));
    connect(slider_, &QSlider::valueChanged, this, [this](int v) { settings_.setMinFileSizeMB(v / 2.0); });
    sizeLayout->addWidget(slider_);
    auto* note = ui::caption(QStringLiteral("Files smaller than this are skipped. Raise this to cut down thumbnail "
                                            "noise (JPEG thumbnails embedded in RAW files are usually under 1 MB)."),
                             0.5);
    note->setWordWrap(true);
    sizeLayout->addWidget(note);
    layout->addWidget(sizeCard);

    auto* formatsTop = new QHBoxLayout;
    formatsTop->addWidget(ui::symbolLabel(QStringLiteral("arrow.left.and.right"), 16, theme::white(0.7)));
    auto* formatsTitle = new QLabel(QStringLiteral("File Formats"));
    formatsTitle->setFont(theme::font(10, QFont::DemiBold));
    formatsTop->addWidget(formatsTitle);
    summary_ = ui::caption(QString(), 0.55);
    summary_->setObjectName(QStringLiteral("summary"));
    formatsTop->addWidget(summary_, 1);
    all_ = new SmallPillButton(QStringLiteral("All"));
    all_->setObjectName(QStringLiteral("all"));
    none_ = new SmallPillButton(QStringLiteral("None"));
    none_->setObjectName(QStringLiteral("none"));
    connect(all_, &QAbstractButton::clicked, this, [this] { settings_.setEnabledFormats(SettingsManager::allFormats()); });
    connect(none_, &QAbstractButton::clicked, this, [this] { settings_.setEnabledFormats({}); });
    formatsTop->addWidget(all_);
    formatsTop->addWidget(none_);
    layout->addLayout(formatsTop);

    auto* scroll = new QScrollArea;
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* list = new QWidget;
    auto* rows = new QVBoxLayout(list);
    rows->setContentsMargins(0, 0, 6, 0);
    rows->setSpacing(4);
    for (const FormatGroup& g : SettingsManager::allGroups()) rows->addWidget(new FormatGroupRow(g, settings_));
    rows->addStretch();
    scroll->setWidget(list);
    layout->addWidget(scroll, 1);

    auto* bottom = new QHBoxLayout;
    bottom->addStretch();
    auto* done = ui::textButton(QStringLiteral("Done"), QStringLiteral("checkmark.circle.fill"), true);
    connect(done, &QPushButton::clicked, this, &QDialog::accept);
    bottom->addWidget(done);
    layout->addLayout(bottom);

    connect(&settings_, &SettingsManager::enabledFormatsChanged, this, &SettingsView::refresh);
    connect(&settings_, &SettingsManager::minFileSizeMBChanged, this, &SettingsView::refresh);
    refresh();
}

void SettingsView::showInformation() {
    ProductInformationView view(this);
    view.exec();
}

void SettingsView::refresh() {
    sizeValue_->setText(sizeText(settings_.minFileSizeMB()));
    const int n = static_cast<int>(settings_.enabledFormats().size());
    const int all = static_cast<int>(SettingsManager::allFormats().size());
    summary_->setText(summary(n, all));
    all_->setActive(n == all);
    none_->setActive(n == 0);
}

}  // namespace vf
