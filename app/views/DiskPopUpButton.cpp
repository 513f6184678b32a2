#include "app/views/DiskPopUpButton.h"

#include "app/views/Symbols.h"
#include "app/views/Theme.h"

namespace vf {

DiskPopUpButton::DiskPopUpButton(QWidget* parent) : QComboBox(parent) {
    setIconSize(QSize(16, 16));
    setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    setMinimumContentsLength(24);
    connect(this, &QComboBox::activated, this, [this](int index) {
        const int tag = itemData(index).toInt();
        if (tag >= 0 && tag < disks_.size()) emit diskChosen(disks_[tag]);
    });
}

QString DiskPopUpButton::title(const DiskInfo& disk) {
    QString name = disk.name;
    if (name.isEmpty()) name = disk.mediaType;
    if (name.isEmpty()) {
        name = disk.devicePath;
        for (const char* prefix : {"/dev/r", "/dev/"})
            if (name.startsWith(QLatin1String(prefix))) name = name.mid(static_cast<qsizetype>(qstrlen(prefix)));
    }
    return name + QStringLiteral(" (") + disk.size + QStringLiteral(") \u2014 ") + disk.devicePath;
}

void DiskPopUpButton::update(const QList<DiskInfo>& disks, const std::optional<DiskInfo>& selected, bool isDisabled) {
    QStringList titles;
    for (const DiskInfo& d : disks) titles << title(d);
    disks_ = disks;
    if (titles != titles_ || count() == 0) {
        ++rebuilds_;
        titles_ = titles;
        clear();
        addItem(tr("Choose a disk\u2026"), kPlaceholderTag);
        insertSeparator(1);
        setItemData(1, kSeparatorTag);
        for (int i = 0; i < disks.size(); ++i)
            addItem(symbolIcon(disks[i].isRemovable ? u"externaldrive.fill" : u"internaldrive.fill", theme::white(0.8)),
                    titles[i], i);
    }
    setEnabled(!isDisabled);
    int index = 0;
    if (selected)
        for (int i = 0; i < disks.size(); ++i)
            if (disks[i].devicePath == selected->devicePath) index = i + 2;
    setCurrentIndex(index);
}

}  // namespace vf
