#pragma once
// The settings sheet: which formats the next scan looks for, by maker and
// kind, and the smallest file it keeps. Every change is stored at once.

#include <QAbstractButton>
#include <QDialog>

#include "app/SettingsManager.h"

class QLabel;
class QSlider;

namespace vf {

class SmallPillButton;

class FormatGroupRow : public QAbstractButton {
    Q_OBJECT
public:
    FormatGroupRow(FormatGroup group, SettingsManager& settings, QWidget* parent = nullptr);
    QString checkSymbol() const;  // "checkmark.square.fill", "minus.square.fill" or "square"
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    FormatGroup group_;
    SettingsManager& settings_;
};

class SettingsView : public QDialog {
    Q_OBJECT
public:
    explicit SettingsView(SettingsManager& settings, QWidget* parent = nullptr);

    static QString sizeText(double mb);  // "No limit" or "%.1f MB"
    static QString summary(int enabled, int all);
    void showInformation();

private:
    void refresh();

    SettingsManager& settings_;
    QSlider* slider_;
    QLabel* sizeValue_;
    QLabel* summary_;
    SmallPillButton* all_;
    SmallPillButton* none_;
};

}  // namespace vf
