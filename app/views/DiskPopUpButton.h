#pragma once
// The disk picker: a placeholder, a separator, then one item per disk with
// its drive symbol. The menu is rebuilt only when its titles change, and the
// chosen item always follows the selected disk's device path.

#include <QComboBox>

#include <optional>

#include "app/DiskEnumerator.h"

namespace vf {

class DiskPopUpButton : public QComboBox {
    Q_OBJECT
public:
    static constexpr int kPlaceholderTag = -1;
    static constexpr int kSeparatorTag = -2;

    explicit DiskPopUpButton(QWidget* parent = nullptr);

    // "name (size) — /dev/…"; without a name the media type, else the bare identifier.
    static QString title(const DiskInfo& disk);

    void update(const QList<DiskInfo>& disks, const std::optional<DiskInfo>& selected, bool isDisabled);
    int rebuildCount() const { return rebuilds_; }

signals:
    void diskChosen(const vf::DiskInfo& disk);

private:
    QList<DiskInfo> disks_;
    QStringList titles_;
    int rebuilds_ = 0;
};

}  // namespace vf
