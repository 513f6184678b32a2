#pragma once
// The small rounded buttons of the settings sheet ("All", "None"): a capsule,
// tinted with the accent colour while `active`.

#include <QAbstractButton>

namespace vf {

struct SmallPillButtonStyle {
    bool active = false;

    QSize sizeFor(const QFontMetrics& fm, const QString& text) const;
    void paint(QPainter& p, const QRect& r, const QString& text, bool hovered, bool pressed, bool enabled) const;
};

class SmallPillButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit SmallPillButton(const QString& text, QWidget* parent = nullptr);
    void setActive(bool active);
    bool isActive() const { return style_.active; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent*) override;
    void enterEvent(QEnterEvent*) override;
    void leaveEvent(QEvent*) override;

private:
    SmallPillButtonStyle style_;
    bool hovered_ = false;
};

}  // namespace vf
