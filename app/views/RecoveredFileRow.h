#pragma once
// How one recovered file is drawn: as a row (thumbnail, name, size, date,
// type badge and the sign that it opens a preview) or as a grid cell. The
// list draws every file through this one delegate, so 100,000 files cost no
// widgets.

#include <QStyledItemDelegate>

namespace vf {

class ThumbnailLoader;

class RecoveredFileRow : public QStyledItemDelegate {
    Q_OBJECT
public:
    enum class Layout { rows, grid };

    static constexpr QSize kRowThumbnail{64, 48};
    // Grid cells share the width out evenly, none narrower than this.
    static constexpr int kMinGridCellWidth = 128;
    static constexpr int kRowHeight = 64;
    static constexpr int kRowSpacing = 2;

    RecoveredFileRow(const ThumbnailLoader* thumbnails, QObject* parent = nullptr);

    void setLayout(Layout layout) { layout_ = layout; }
    Layout layout() const { return layout_; }
    // The grid's cells for a view this wide (scroll bar excluded); returns the cell.
    QSize setGridWidth(int width);
    QSize gridCell() const { return gridCell_; }

    void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    // Where, inside an item's rectangle, the preview sign sits (a click there opens it).
    QRect previewSignRect(const QRect& item) const;

private:
    void paintRow(QPainter& p, const QStyleOptionViewItem& option, const QModelIndex& index) const;
    void paintCell(QPainter& p, const QStyleOptionViewItem& option, const QModelIndex& index) const;

    const ThumbnailLoader* thumbnails_;
    Layout layout_ = Layout::grid;
    QSize gridCell_;
};

}  // namespace vf
