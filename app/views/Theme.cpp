#include "app/views/Theme.h"

#include <QApplication>
#include <QFontDatabase>
#include <QPalette>
#include <QStyleFactory>

namespace vf::theme {

namespace {

QString family() {
    // Inter when installed (scripts/setup installs it); the system's sans otherwise.
    static const QString f = QFontDatabase::families().contains(QStringLiteral("Inter")) ? QStringLiteral("Inter")
                                                                                           : QFont().defaultFamily();
    return f;
}

const char* kStyleSheet = R"(
QWidget { color: white; }
QToolTip { color: white; background: #2c2c2e; border: 1px solid rgba(255,255,255,0.12); padding: 4px 6px; }
QDialog, QMainWindow { background: #1c1c1e; }
QScrollArea, QScrollArea > QWidget > QWidget { background: transparent; }
QPushButton {
    background: rgba(255,255,255,0.09); border: 1px solid rgba(255,255,255,0.06);
    border-radius: 7px; padding: 6px 14px; min-height: 18px;
}
QPushButton:hover { background: rgba(255,255,255,0.14); }
QPushButton:pressed { background: rgba(255,255,255,0.20); }
QPushButton:disabled { color: rgba(255,255,255,0.30); background: rgba(255,255,255,0.04); }
QPushButton[prominent="true"] { background: #0a84ff; border: none; font-weight: 600; }
QPushButton[prominent="true"]:hover { background: #2b95ff; }
QPushButton[prominent="true"]:pressed { background: #0770dd; }
QPushButton[prominent="true"]:disabled { background: rgba(10,132,255,0.35); color: rgba(255,255,255,0.5); }
QPushButton[destructive="true"] { background: rgba(255,69,58,0.18); color: #ff6961; }
QPushButton[destructive="true"]:hover { background: rgba(255,69,58,0.28); }
QToolButton { background: transparent; border: none; border-radius: 6px; padding: 4px; }
QToolButton:hover { background: rgba(255,255,255,0.10); }
QToolButton:pressed { background: rgba(255,255,255,0.18); }
QToolButton:checked { background: rgba(255,255,255,0.16); }
QComboBox {
    background: rgba(255,255,255,0.09); border: 1px solid rgba(255,255,255,0.08);
    border-radius: 7px; padding: 5px 10px; min-height: 18px;
}
QComboBox:disabled { color: rgba(255,255,255,0.35); }
QComboBox QAbstractItemView {
    background: #2c2c2e; border: 1px solid rgba(255,255,255,0.12); border-radius: 6px;
    selection-background-color: #0a84ff; padding: 4px; outline: none;
}
QLineEdit {
    background: rgba(255,255,255,0.07); border: 1px solid rgba(255,255,255,0.08);
    border-radius: 7px; padding: 5px 9px; selection-background-color: #0a84ff;
}
QLineEdit:focus { border: 1px solid rgba(10,132,255,0.8); }
QProgressBar {
    background: rgba(255,255,255,0.08); border: none; border-radius: 3px; max-height: 6px; min-height: 6px;
}
QProgressBar::chunk { background: #0a84ff; border-radius: 3px; }
QSlider::groove:horizontal { height: 4px; background: rgba(255,255,255,0.12); border-radius: 2px; }
QSlider::sub-page:horizontal { background: #0a84ff; border-radius: 2px; }
QSlider::handle:horizontal { background: white; width: 18px; height: 18px; margin: -7px 0; border-radius: 9px; }
QScrollBar:vertical { background: transparent; width: 10px; margin: 2px; }
QScrollBar::handle:vertical { background: rgba(255,255,255,0.22); border-radius: 3px; min-height: 30px; }
QScrollBar::handle:vertical:hover { background: rgba(255,255,255,0.35); }
QScrollBar::add-line, QScrollBar::sub-line, QScrollBar::add-page, QScrollBar::sub-page { height: 0; background: none; }
QFrame[card="true"] { background: rgba(255,255,255,0.05); border: 1px solid rgba(255,255,255,0.06); border-radius: 10px; }
QLabel[caption="true"] { color: rgba(255,255,255,0.6); }
QLabel[faint="true"] { color: rgba(255,255,255,0.5); }
QMessageBox { background: #2c2c2e; }
)";

}  // namespace

QFont font(qreal pointSize, QFont::Weight weight) {
    QFont f(family());
    f.setPointSizeF(pointSize);
    f.setWeight(weight);
    return f;
}

void apply(QApplication& app) {
    app.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QPalette p;
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, Qt::white);
    p.setColor(QPalette::Base, QColor(0x2c, 0x2c, 0x2e));
    p.setColor(QPalette::AlternateBase, QColor(0x26, 0x26, 0x28));
    p.setColor(QPalette::Text, Qt::white);
    p.setColor(QPalette::Button, QColor(0x3a, 0x3a, 0x3c));
    p.setColor(QPalette::ButtonText, Qt::white);
    p.setColor(QPalette::Highlight, accent);
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::ToolTipBase, QColor(0x2c, 0x2c, 0x2e));
    p.setColor(QPalette::ToolTipText, Qt::white);
    p.setColor(QPalette::PlaceholderText, white(0.4));
    p.setColor(QPalette::Link, accent);
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, white(0.35));
    app.setPalette(p);
    app.setFont(font(10));
    app.setStyleSheet(QString::fromLatin1(kStyleSheet));
}

}  // namespace vf::theme
