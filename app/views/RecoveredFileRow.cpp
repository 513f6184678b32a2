#include "app/views/RecoveredFileRow.h"

#include <QPainter>
#include <QPainterPath>

#include <cmath>

#include "app/views/RecoveredFileModel.h"
#include "app/views/Symbols.h"
#include "app/views/Theme.h"
#include "app/views/ThumbnailLoader.h"
#include "common/ByteCount.h"

namespace vf {

namespace {

QColor kindColor(FileKind kind) {
    switch (kind) {
    case FileKind::video: return QColor(0xbf, 0x5a, 0xf2);
    case FileKind::raw: return QColor(0xff, 0x9f, 0x0a);
    case FileKind::photo: break;
    }
    return QColor(0x40, 0xc8, 0xe0);
}

// The picture scaled to cover the frame, cut to its rounded corners.
void drawCover(QPainter& p, const QImage& img, const QRectF& frame, qreal radius) {
    QPainterPath clip;
    clip.addRoundedRect(frame, radius, radius);
    p.save();
    p.setClipPath(clip);
    const QSizeF s = QSizeF(img.size()).scaled(frame.size(), Qt::KeepAspectRatioByExpanding);
    const QRectF target(frame.center().x() - s.width() / 2, frame.center().y() - s.height() / 2, s.width(),
                        s.height());
    p.drawImage(target, img);
    p.restore();
}

void drawPlaceholder(QPainter& p, const QRectF& frame, qreal radius, bool video, int symbolSize) {
    p.setPen(Qt::NoPen);
    p.setBrush(theme::white(0.06));
    p.drawRoundedRect(frame, radius, radius);
    const QPixmap pm = symbolPixmap(video ? u"video.fill" : u"photo", symbolSize, theme::white(0.28),
                                    p.device()->devicePixelRatioF());
    p.drawPixmap(QPointF(frame.center().x() - symbolSize / 2.0, frame.center().y() - symbolSize / 2.0), pm);
}

QRectF drawBadge(QPainter& p, const QString& text, QPointF topLeft, FileKind kind, bool solid) {
    QFont f = theme::font(7.5, QFont::DemiBold);
    p.setFont(f);
    const QFontMetricsF fm(f);
    const QRectF r(topLeft, QSizeF(fm.horizontalAdvance(text) + 10, fm.height() + 3));
    QColor bg = kindColor(kind);
    bg.setAlphaF(solid ? 0.85f : 0.22f);
    p.setPen(Qt::NoPen);
    p.setBrush(bg);
    p.drawRoundedRect(r, 4, 4);
    p.setPen(solid ? QColor(Qt::white) : kindColor(kind).lighter(130));
    p.drawText(r, Qt::AlignCenter, text);
    return r;
}

void drawBackground(QPainter& p, const QStyleOptionViewItem& option, const QRectF& r, qreal radius) {
    const bool selected = option.state & QStyle::State_Selected;
    const bool hovered = option.state & QStyle::State_MouseOver;
    p.setPen(selected ? QPen(QColor(10, 132, 255, 200), 1.5) : Qt::NoPen);
    QColor bg = selected ? QColor(10, 132, 255, 60) : theme::white(hovered ? 0.08 : 0.04);
    p.setBrush(bg);
    p.drawRoundedRect(r, radius, radius);
}

}  // namespace

namespace {

const QFont& cellNameFont() {
    static const QFont f = theme::font(9, QFont::Medium);
    return f;
}

const QFont& cellCaptionFont() {
    static const QFont f = theme::font(8);
    return f;
}

// A cell's picture frame: 4:3 inside the cell's inset, as paintCell draws it.
QRectF cellThumbnail(const QRectF& inset) {
    return {inset.left() + 6, inset.top() + 6, inset.width() - 12, (inset.width() - 12) * 3 / 4};
}

}  // namespace

RecoveredFileRow::RecoveredFileRow(const ThumbnailLoader* thumbnails, QObject* parent)
    : QStyledItemDelegate(parent), thumbnails_(thumbnails) {
    setGridWidth(3 * kMinGridCellWidth);
}

QSize RecoveredFileRow::setGridWidth(int width) {
    const int columns = std::max(1, width / kMinGridCellWidth);
    const int cellWidth = std::max(kMinGridCellWidth, width / columns);
    const QRectF thumb = cellThumbnail(QRectF(3.5, 3.5, cellWidth - 7, 0));
    const qreal text = 6 + QFontMetricsF(cellNameFont()).height() + 1 + QFontMetricsF(cellCaptionFont()).height() + 5;
    gridCell_ = QSize(cellWidth, static_cast<int>(std::ceil(thumb.bottom() + text + 3.5)));
    return gridCell_;
}

QSize RecoveredFileRow::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
    if (layout_ == Layout::grid) return gridCell_;
    return {std::max(320, option.rect.width()), kRowHeight + kRowSpacing};
}

void RecoveredFileRow::paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    p->save();
    p->setRenderHint(QPainter::Antialiasing);
    p->setRenderHint(QPainter::SmoothPixmapTransform);
    if (layout_ == Layout::grid) paintCell(*p, option, index);
    else paintRow(*p, option, index);
    p->restore();
}

QRect RecoveredFileRow::previewSignRect(const QRect& item) const {
    if (layout_ == Layout::grid) return {item.right() - 34, item.top() + 10, 24, 24};
    return {item.right() - 34, item.top() + (kRowHeight - 20) / 2, 20, 20};
}

void RecoveredFileRow::paintRow(QPainter& p, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const QRectF r = QRectF(option.rect).adjusted(0.5, 0.5, -0.5, -0.5 - kRowSpacing);
    drawBackground(p, option, r, 8);
    const QString id = index.data(RecoveredFileModel::IdRole).toString();
    const QString type = index.data(RecoveredFileModel::TypeRole).toString();
    const auto kind = static_cast<FileKind>(index.data(RecoveredFileModel::KindRole).toInt());

    const QRectF thumb(r.left() + 8, r.top() + (r.height() - kRowThumbnail.height()) / 2, kRowThumbnail.width(),
                       kRowThumbnail.height());
    const QImage img = thumbnails_ ? thumbnails_->thumbnail(id) : QImage();
    if (img.isNull()) drawPlaceholder(p, thumb, 6, kind == FileKind::video, 20);
    else drawCover(p, img, thumb, 6);

    // Badge and preview sign on the right; the text column takes the rest.
    const QRect sign = previewSignRect(option.rect);
    p.setFont(theme::font(7.5, QFont::DemiBold));
    const qreal badgeWidth = QFontMetricsF(p.font()).horizontalAdvance(type) + 10;
    const qreal badgeLeft = sign.left() - 12 - badgeWidth;
    drawBadge(p, type, QPointF(badgeLeft, r.center().y() - 8), kind, false);
    const bool hovered = option.state & QStyle::State_MouseOver;
    p.drawPixmap(sign.topLeft(), symbolPixmap(u"arrow.up.left.and.arrow.down.right", sign.width(),
                                              theme::white(hovered ? 0.8 : 0.4), p.device()->devicePixelRatioF()));

    const qreal textLeft = thumb.right() + 12;
    const qreal textWidth = badgeLeft - 12 - textLeft;
    const QString date = index.data(RecoveredFileModel::DateRole).toString();
    const QFont nameFont = theme::font(10, QFont::Medium);
    const QFont captionFont = theme::font(8.5);
    const QFontMetricsF nm(nameFont), cm(captionFont);
    const qreal block = nm.height() + 3 + cm.height() + (date.isEmpty() ? 0 : 3 + cm.height());
    qreal y = r.center().y() - block / 2;
    p.setFont(nameFont);
    p.setPen(Qt::white);
    p.drawText(QRectF(textLeft, y, textWidth, nm.height()), Qt::AlignLeft | Qt::AlignVCenter,
               nm.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideMiddle, textWidth));
    y += nm.height() + 3;
    p.setFont(captionFont);
    p.setPen(theme::white(0.6));
    const auto size = index.data(RecoveredFileModel::SizeRole).value<quint64>();
    p.drawText(QRectF(textLeft, y, textWidth, cm.height()), Qt::AlignLeft | Qt::AlignVCenter,
               QString::fromStdString(formatByteCount(size)));
    if (!date.isEmpty()) {
        y += cm.height() + 3;
        p.setPen(theme::white(0.5));
        p.drawText(QRectF(textLeft, y, textWidth, cm.height()), Qt::AlignLeft | Qt::AlignVCenter,
                   displayDate(date.toStdString()));
    }
}

void RecoveredFileRow::paintCell(QPainter& p, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const QRectF r = QRectF(option.rect).adjusted(3.5, 3.5, -3.5, -3.5);
    drawBackground(p, option, r, 10);
    const QString id = index.data(RecoveredFileModel::IdRole).toString();
    const QString type = index.data(RecoveredFileModel::TypeRole).toString();
    const auto kind = static_cast<FileKind>(index.data(RecoveredFileModel::KindRole).toInt());

    const QRectF thumb = cellThumbnail(r);
    const QImage img = thumbnails_ ? thumbnails_->thumbnail(id) : QImage();
    if (img.isNull()) drawPlaceholder(p, thumb, 7, kind == FileKind::video, 34);
    else drawCover(p, img, thumb, 7);
    drawBadge(p, type, thumb.topLeft() + QPointF(6, 6), kind, true);
    if (option.state & QStyle::State_MouseOver) {
        const QRect sign = previewSignRect(option.rect);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0, 0, 0, 120));
        p.drawRoundedRect(QRectF(sign).adjusted(-3, -3, 3, 3), 6, 6);
        p.drawPixmap(sign.topLeft() + QPoint(3, 3), symbolPixmap(u"arrow.up.left.and.arrow.down.right", sign.width() - 6,
                                                                 Qt::white, p.device()->devicePixelRatioF()));
    }

    const qreal textWidth = r.width() - 14;
    const QFont& nameFont = cellNameFont();
    const QFont& captionFont = cellCaptionFont();
    const QFontMetricsF nm(nameFont), cm(captionFont);
    qreal y = thumb.bottom() + 6;
    p.setFont(nameFont);
    p.setPen(Qt::white);
    p.drawText(QRectF(r.left() + 7, y, textWidth, nm.height()), Qt::AlignLeft | Qt::AlignVCenter,
               nm.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideMiddle, textWidth));
    y += nm.height() + 1;
    p.setFont(captionFont);
    p.setPen(theme::white(0.6));
    QString caption = QString::fromStdString(formatByteCount(index.data(RecoveredFileModel::SizeRole).value<quint64>()));
    const QString date = index.data(RecoveredFileModel::DateRole).toString();
    if (!date.isEmpty()) {
        // The day alone when the time does not fit beside the size.
        const QString when = displayDate(date.toStdString());
        const QString full = caption + QStringLiteral("  ·  ") + when;
        caption = cm.horizontalAdvance(full) <= textWidth ? full : caption + QStringLiteral("  ·  ") + when.section(u',', 0, 0);
    }
    p.drawText(QRectF(r.left() + 7, y, textWidth, cm.height()), Qt::AlignLeft | Qt::AlignVCenter,
               cm.elidedText(caption, Qt::ElideRight, textWidth));
}

}  // namespace vf
