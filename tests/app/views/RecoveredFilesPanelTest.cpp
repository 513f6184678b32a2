#include <QApplication>
#include <QTest>

#include "app/views/RecoveredFilesPanel.h"
#include "tests/app/views/ViewTest.h"

namespace {

vf::RecoveredFileInfo file(const std::string& name, const std::string& type, std::uint64_t size,
                           std::optional<std::string> date = std::nullopt) {
    vf::RecoveredFileInfo f;
    f.id = f.fileName = name;
    f.fileType = type;
    f.fileSize = size;
    f.dateTaken = std::move(date);
    return f;
}

QStringList shown(const vf::RecoveredFilesPanel& panel) {
    QStringList names;
    auto* m = panel.filter();
    for (int r = 0; r < m->rowCount(); ++r) names << m->index(r, 0).data().toString();
    return names;
}

}  // namespace

class RecoveredFilesPanelTest : public QObject {
    Q_OBJECT
private slots:
    void filterAndSort() {
        std::vector<vf::RecoveredFileInfo> files{
            file("b_beach.JPG", "JPEG", 3000, "2023:07:02 10:00:00"), file("clip.MP4", "MP4", 90000),
            file("a_raw.ARW", "ARW", 25000, "2023:07:01 09:00:00"), file("Beach2.jpg", "JPEG", 100, "2023:07:03 08:00:00")};
        vf::RecoveredFilesPanel panel([](const QString&, std::function<void(QImage)> done) { done({}); });
        panel.setFiles(&files);
        using K = vf::RecoveredFileFilter::SortKey;
        const struct {
            const char* what;
            std::optional<vf::FileKind> kind;
            const char* name;
            K key;
            QStringList expect;
        } rows[] = {
            {"order found", std::nullopt, "", K::orderFound, {"b_beach.JPG", "clip.MP4", "a_raw.ARW", "Beach2.jpg"}},
            {"photos", vf::FileKind::photo, "", K::orderFound, {"b_beach.JPG", "Beach2.jpg"}},
            {"raw", vf::FileKind::raw, "", K::orderFound, {"a_raw.ARW"}},
            {"videos", vf::FileKind::video, "", K::orderFound, {"clip.MP4"}},
            {"name, any case", std::nullopt, "BEACH", K::orderFound, {"b_beach.JPG", "Beach2.jpg"}},
            {"by date, undated last", std::nullopt, "", K::dateTaken, {"a_raw.ARW", "b_beach.JPG", "Beach2.jpg", "clip.MP4"}},
            {"by name", std::nullopt, "", K::name, {"a_raw.ARW", "b_beach.JPG", "Beach2.jpg", "clip.MP4"}},
            {"by size, largest first", std::nullopt, "", K::size, {"clip.MP4", "a_raw.ARW", "b_beach.JPG", "Beach2.jpg"}},
        };
        for (const auto& r : rows) {
            panel.setKindFilter(r.kind);
            panel.setNameFilter(r.name);
            panel.setSortKey(r.key);
            QVERIFY2(shown(panel) == r.expect, r.what);
        }
    }

    // The grid's cells share the width out: as many as fit on a line, with
    // less than one cell's room left over, at any window width.
    void gridCellsFillTheLine() {
        std::vector<vf::RecoveredFileInfo> files;
        for (int i = 0; i < 40; ++i) files.push_back(file(std::to_string(i) + ".JPG", "JPEG", 1));
        vf::RecoveredFilesPanel panel([](const QString&, std::function<void(QImage)> done) { done({}); });
        panel.setFiles(&files);
        panel.setRowLayout(vf::RecoveredFileRow::Layout::grid);
        panel.show();
        for (int width : {200, 568, 668, 1000, 1500}) {
            panel.resize(width, 400);
            QApplication::processEvents();
            auto* view = panel.view();
            view->doItemsLayout();
            const int top = view->visualRect(panel.filter()->index(0, 0)).top();
            int onLine = 0;
            while (view->visualRect(panel.filter()->index(onLine, 0)).top() == top) ++onLine;
            const int left = view->viewport()->width() - onLine * view->gridSize().width();
            QVERIFY2(left >= 0 && left < vf::RecoveredFileRow::kMinGridCellWidth, qPrintable(QString::number(width)));
        }
    }

    // Appends come in as the scanner reports files; the selection names files
    // in the order found, whatever the sort.
    void appendsAndSelection() {
        std::vector<vf::RecoveredFileInfo> files{file("1.JPG", "JPEG", 3), file("2.JPG", "JPEG", 1)};
        vf::RecoveredFilesPanel panel([](const QString&, std::function<void(QImage)> done) { done({}); });
        panel.setFiles(&files);
        files.push_back(file("3.JPG", "JPEG", 2));
        panel.filesAppended(2, 1);
        QCOMPARE(panel.totalCount(), 3);
        panel.setSortKey(vf::RecoveredFileFilter::SortKey::size);
        QCOMPARE(shown(panel), (QStringList{"1.JPG", "3.JPG", "2.JPG"}));
        auto* view = panel.view();
        view->selectionModel()->select(panel.filter()->index(0, 0), QItemSelectionModel::Select);
        view->selectionModel()->select(panel.filter()->index(2, 0), QItemSelectionModel::Select);
        QCOMPARE(panel.selectedCount(), 2);
        const auto chosen = panel.selectedFiles();
        QCOMPARE(chosen.size(), std::size_t(2));
        QCOMPARE(chosen[0].fileName, std::string("1.JPG"));
        QCOMPARE(chosen[1].fileName, std::string("2.JPG"));
        // A list that shrank (a new run) is shown anew rather than trusted.
        files.resize(1);
        panel.filesAppended(5, 1);
        QCOMPARE(panel.totalCount(), 1);
    }
};

VF_VIEW_TEST(RecoveredFilesPanelTest)
#include "RecoveredFilesPanelTest.moc"
