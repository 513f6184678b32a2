#include "app/views/RecoveredFileModel.h"

#include <QDateTime>

#include <algorithm>
#include <array>
#include <string_view>

namespace vf {

namespace {

constexpr std::array<std::string_view, 13> kVideoTypes{"MP4", "MOV",  "3GP", "AVI",  "MTS", "M2TS", "MKV",
                                                       "WebM", "MPEG", "WMV", "FLV", "MXF", "BRAW"};
constexpr std::array<std::string_view, 9> kPhotoTypes{"JPEG", "HEIC", "AVIF", "WebP", "PNG",
                                                      "GIF",  "BMP",  "TIFF", "PPM"};

template <std::size_t N>
bool among(const std::array<std::string_view, N>& list, const std::string& s) {
    return std::find(list.begin(), list.end(), s) != list.end();
}

}  // namespace

bool isVideoType(const std::string& fileType) { return among(kVideoTypes, fileType); }

FileKind fileKind(const std::string& fileType) {
    if (isVideoType(fileType)) return FileKind::video;
    return among(kPhotoTypes, fileType) ? FileKind::photo : FileKind::raw;
}

QString displayDate(const std::string& dateTaken) {
    const QString text = QString::fromStdString(dateTaken);
    const QDateTime dt = QDateTime::fromString(text, QStringLiteral("yyyy:MM:dd HH:mm:ss"));
    return dt.isValid() ? dt.toString(QStringLiteral("d MMM yyyy, HH:mm")) : text;
}

RecoveredFileModel::RecoveredFileModel(QObject* parent) : QAbstractListModel(parent) {}

void RecoveredFileModel::setFiles(const std::vector<RecoveredFileInfo>* files) {
    beginResetModel();
    files_ = files;
    shown_ = files_ ? static_cast<int>(files_->size()) : 0;
    endResetModel();
}

void RecoveredFileModel::filesAppended(qsizetype first, qsizetype count) {
    const int size = files_ ? static_cast<int>(files_->size()) : 0;
    // Rows the views have not been told of yet are announced in one step,
    // whatever the signal says, so the count always matches the list.
    if (first != shown_ || first + count != size) return filesReset();
    if (count <= 0) return;
    beginInsertRows({}, shown_, size - 1);
    shown_ = size;
    endInsertRows();
}

void RecoveredFileModel::filesReset() { setFiles(files_); }

int RecoveredFileModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : shown_; }

QVariant RecoveredFileModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= shown_) return {};
    const RecoveredFileInfo& f = file(index.row());
    switch (role) {
    case Qt::DisplayRole: return QString::fromStdString(f.fileName);
    case IdRole: return QString::fromStdString(f.id);
    case TypeRole: return QString::fromStdString(f.fileType);
    case SizeRole: return QVariant::fromValue<quint64>(f.fileSize);
    case DateRole: return f.dateTaken ? QString::fromStdString(*f.dateTaken) : QString();
    case KindRole: return static_cast<int>(fileKind(f.fileType));
    default: return {};
    }
}

RecoveredFileFilter::RecoveredFileFilter(QObject* parent) : QSortFilterProxyModel(parent) {
    setDynamicSortFilter(true);
}

const RecoveredFileModel* RecoveredFileFilter::files() const {
    return static_cast<const RecoveredFileModel*>(sourceModel());
}

const RecoveredFileInfo& RecoveredFileFilter::file(const QModelIndex& proxyIndex) const {
    return files()->file(mapToSource(proxyIndex).row());
}

void RecoveredFileFilter::setKind(std::optional<FileKind> kind) {
    if (kind == kind_) return;
    kind_ = kind;
    invalidateRowsFilter();
}

void RecoveredFileFilter::setNameFilter(const QString& text) {
    const QString t = text.trimmed();
    if (t == name_) return;
    name_ = t;
    invalidateRowsFilter();
}

void RecoveredFileFilter::setSortKey(SortKey key) {
    key_ = key;
    // Order found is the list's own order: no sorting keeps opening and
    // appending linear in the number of files.
    if (key == SortKey::orderFound) sort(-1);
    else {
        invalidate();
        sort(0, Qt::AscendingOrder);
    }
}

bool RecoveredFileFilter::filterAcceptsRow(int sourceRow, const QModelIndex&) const {
    if (!kind_ && name_.isEmpty()) return true;
    const RecoveredFileInfo& f = files()->file(sourceRow);
    if (kind_ && fileKind(f.fileType) != *kind_) return false;
    return name_.isEmpty() || QString::fromStdString(f.fileName).contains(name_, Qt::CaseInsensitive);
}

bool RecoveredFileFilter::lessThan(const QModelIndex& left, const QModelIndex& right) const {
    const RecoveredFileInfo& a = files()->file(left.row());
    const RecoveredFileInfo& b = files()->file(right.row());
    switch (key_) {
    case SortKey::dateTaken:
        // Oldest first, as a camera roll reads; files without a date go last.
        if (a.dateTaken.has_value() != b.dateTaken.has_value()) return a.dateTaken.has_value();
        if (a.dateTaken && *a.dateTaken != *b.dateTaken) return *a.dateTaken < *b.dateTaken;
        break;
    case SortKey::name: {
        const int c = QString::fromStdString(a.fileName).compare(QString::fromStdString(b.fileName), Qt::CaseInsensitive);
        if (c != 0) return c < 0;
        break;
    }
    case SortKey::size:
        if (a.fileSize != b.fileSize) return a.fileSize > b.fileSize;  // largest first
        break;
    case SortKey::orderFound: break;
    }
    return left.row() < right.row();
}

}  // namespace vf
