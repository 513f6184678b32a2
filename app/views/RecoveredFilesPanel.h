#pragma once
// The recovered files of the run: a header with the filters, the list itself
// (one model, one delegate, thumbnails for what is on screen) or its empty
// states, and a bar under it with the grid/rows switch and the sort.

#include <QListView>
#include <QWidget>

#include <vector>

#include "app/views/RecoveredFileModel.h"
#include "app/views/RecoveredFileRow.h"
#include "app/views/ThumbnailLoader.h"

class QComboBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QStackedWidget;
class QToolButton;

namespace vf {

class SmallPillButton;

class RecoveredFilesView : public QListView {
    Q_OBJECT
public:
    RecoveredFilesView(RecoveredFileRow* delegate, ThumbnailLoader* loader, QWidget* parent = nullptr);

    void setRowLayout(RecoveredFileRow::Layout layout);
    RecoveredFileRow::Layout rowLayout() const { return delegate_->layout(); }
    // The files whose items intersect the viewport, in view order.
    std::vector<RecoveredFileInfo> visibleFiles() const;
    // Tells the loader what is on screen now (otherwise shortly after scrolling stops).
    void publishVisible();

signals:
    void previewRequested(const vf::RecoveredFileInfo& file);

protected:
    void mouseReleaseEvent(QMouseEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void scrollContentsBy(int dx, int dy) override;
    void rowsInserted(const QModelIndex& parent, int start, int end) override;
    void reset() override;

private:
    void schedulePublish();
    void fitGrid();
    const RecoveredFileInfo& fileAt(const QModelIndex& index) const;

    RecoveredFileRow* delegate_;
    ThumbnailLoader* loader_;
    QTimer* publishTimer_;
};

class RecoveredFilesPanel : public QWidget {
    Q_OBJECT
public:
    explicit RecoveredFilesPanel(ThumbnailLoader::ReadImage read, QWidget* parent = nullptr);

    void setFiles(const std::vector<RecoveredFileInfo>* files);
    void filesAppended(qsizetype first, qsizetype count);
    void filesReset();
    void setOutputDirectory(const QString& dir);
    void setScanning(bool scanning);

    void setRowLayout(RecoveredFileRow::Layout layout);
    void setKindFilter(std::optional<FileKind> kind);
    void setNameFilter(const QString& text);
    void setSortKey(RecoveredFileFilter::SortKey key);

    // The chosen files in the list's own order; empty when none is chosen.
    std::vector<RecoveredFileInfo> selectedFiles() const;
    int selectedCount() const;
    int totalCount() const { return model_->rowCount(); }

    RecoveredFilesView* view() const { return view_; }
    // The bar under the list: the view's switch and sort, then room for the window's own.
    QHBoxLayout* footer() const { return footer_; }
    ThumbnailLoader* thumbnails() const { return loader_; }
    RecoveredFileFilter* filter() const { return filter_; }

signals:
    void selectionChanged();
    void previewRequested(const vf::RecoveredFileInfo& file);

private:
    void updateState();

    ThumbnailLoader* loader_;
    RecoveredFileModel* model_;
    RecoveredFileFilter* filter_;
    RecoveredFileRow* delegate_;
    RecoveredFilesView* view_;
    QStackedWidget* stack_;
    QLabel* count_;
    QLabel* emptyTitle_;
    QLabel* emptySubtitle_;
    QLabel* noMatch_;
    QWidget* tools_;
    QWidget* viewTools_;
    QHBoxLayout* footer_;
    std::vector<SmallPillButton*> kindButtons_;
    QLineEdit* search_;
    QComboBox* sort_;
    QToolButton* gridButton_;
    QToolButton* rowsButton_;
    bool scanning_ = false;
};

}  // namespace vf
