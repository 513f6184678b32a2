#pragma once
// The recovered files of a run as a list model over the manager's own list
// (no copy: a run may bring 100,000 files), and the filter and sort the
// window offers on top of it.

#include <QAbstractListModel>
#include <QSortFilterProxyModel>

#include <optional>
#include <vector>

#include "common/Records.h"

namespace vf {

enum class FileKind { photo, raw, video };
FileKind fileKind(const std::string& fileType);
bool isVideoType(const std::string& fileType);

// "2024:05:12 14:03:09" as "12 May 2024, 14:03"; other texts as they are.
QString displayDate(const std::string& dateTaken);

class RecoveredFileModel : public QAbstractListModel {
    Q_OBJECT
public:
    enum Role { IdRole = Qt::UserRole + 1, TypeRole, SizeRole, DateRole, KindRole };

    explicit RecoveredFileModel(QObject* parent = nullptr);

    // The list the model shows; it must outlive the model or be replaced first.
    void setFiles(const std::vector<RecoveredFileInfo>* files);
    // The list grew at its end, or changed otherwise.
    void filesAppended(qsizetype first, qsizetype count);
    void filesReset();

    const RecoveredFileInfo& file(int row) const { return (*files_)[static_cast<std::size_t>(row)]; }

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

private:
    const std::vector<RecoveredFileInfo>* files_ = nullptr;
    int shown_ = 0;  // rows announced to the views
};

class RecoveredFileFilter : public QSortFilterProxyModel {
    Q_OBJECT
public:
    enum class SortKey { orderFound, dateTaken, name, size };

    explicit RecoveredFileFilter(QObject* parent = nullptr);

    void setKind(std::optional<FileKind> kind);
    void setNameFilter(const QString& text);
    void setSortKey(SortKey key);
    SortKey sortKey() const { return key_; }

    const RecoveredFileInfo& file(const QModelIndex& proxyIndex) const;

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

private:
    const RecoveredFileModel* files() const;
    std::optional<FileKind> kind_;
    QString name_;
    SortKey key_ = SortKey::orderFound;
};

}  // namespace vf
