#include "app/UpdateChecker.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>

#include "tests/app/QtTestApp.h"

namespace vf {
namespace {

// A feed on 127.0.0.1 that gives one fixed answer, or none at all.
class Feed {
public:
    Feed(int status, QByteArray body, bool answer = true) {
        test::ensureQtApp();  // listening needs the application's event loop
        server_.listen(QHostAddress::LocalHost);
        QObject::connect(&server_, &QTcpServer::newConnection, [this, status, body, answer] {
            QTcpSocket* s = server_.nextPendingConnection();
            const auto serve = [this, s, status, body, answer] {
                request_ += s->readAll();
                if (!answer || !request_.contains("\r\n\r\n")) return;
                s->write("HTTP/1.1 " + QByteArray::number(status) + " X\r\nContent-Type: application/json\r\n"
                         "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
                s->disconnectFromHost();
            };
            QObject::connect(s, &QTcpSocket::readyRead, s, serve);
            // The request may have arrived before the connection was taken.
            QMetaObject::invokeMethod(s, serve, Qt::QueuedConnection);
        });
    }
    QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/appcast.json").arg(server_.serverPort())); }
    const QByteArray& request() const { return request_; }

private:
    QTcpServer server_;
    QByteArray request_;
};

struct Check {
    bool available = false;
    QString version;
    std::optional<QUrl> url;
    QStringList log;
    QByteArray request;
    QList<QUrl> opened;  // by openDownload after the check
};

Check check(Feed& feed, const QString& runningBuild, int timeoutMs = 10'000) {
    test::ensureQtApp();
    Check c;
    UpdateChecker::Options o;
    o.feed = feed.url();
    o.runningBuild = runningBuild;
    o.timeoutMs = timeoutMs;
    o.log = [&](const QString& line) { c.log << line; };
    o.openUrl = [&](const QUrl& url) { return c.opened << url, true; };
    UpdateChecker checker(o);
    QSignalSpy done(&checker, &UpdateChecker::checkFinished);
    checker.checkForUpdates();
    EXPECT_TRUE(done.wait(15'000));
    c.available = checker.updateAvailable();
    c.version = checker.latestVersion();
    c.url = checker.downloadURL();
    c.request = feed.request();
    checker.openDownload();
    return c;
}

const QByteArray kManifest42 = R"({"version":"2.0","build":42,"download_url":"https://quorvane.example/get","notes":"x"})";

TEST(UpdateChecker, ComparesBuildNumbersOnly) {
    const struct {
        QByteArray body;
        QString running;
        bool offered;
    } rows[] = {
        {kManifest42, "41", true},
        {kManifest42, "42", false},
        {R"({"version":"0.9","build":1,"download_url":"https://quorvane.example/get"})", "1.2", true},
        {R"({"version":"0.9","build":-1,"download_url":"https://quorvane.example/get"})", "-2", true},
    };
    for (const auto& row : rows) {
        Feed feed(200, row.body);
        const Check c = check(feed, row.running);
        const std::string label = row.body.toStdString() + " running " + row.running.toStdString();
        EXPECT_EQ(c.available, row.offered) << label;
        EXPECT_TRUE(c.log.isEmpty()) << label << c.log.join("|").toStdString();
        EXPECT_EQ(c.opened.size(), row.offered ? 1 : 0) << label;
        EXPECT_EQ(c.url.has_value(), row.offered) << label;
    }
    Feed feed(200, kManifest42);
    const Check c = check(feed, "41");
    EXPECT_EQ(c.version, "2.0");
    EXPECT_EQ(c.opened, QList<QUrl>{QUrl("https://quorvane.example/get")});
    EXPECT_EQ(UpdateChecker::defaultFeed().path(), "/appcast.json");
    EXPECT_TRUE(c.request.startsWith("GET /appcast.json HTTP/1.1\r\n")) << c.request.toStdString();
    EXPECT_TRUE(c.request.toLower().contains("\r\naccept: application/json\r\n")) << c.request.toStdString();
}

TEST(UpdateChecker, FailuresAreSilentOrOneLine) {
    const struct {
        int status;
        QByteArray body;
        bool answer;
        const char* line;  // nullptr: no line at all
    } rows[] = {
        {404, kManifest42, true, nullptr},
        {500, "", true, nullptr},
        {200, R"({"version":"2.0","build":42})", true, "ℹ️ Update check unavailable: the feed has no \"download_url\""},
        {200, R"({"version":2,"build":42,"download_url":"https://a.example/"})", true,
         "ℹ️ Update check unavailable: the feed's \"version\" is not text"},
        {200, R"({"version":"2","build":4.5,"download_url":"https://a.example/"})", true,
         "ℹ️ Update check unavailable: the feed's \"build\" is not an integer"},
        {200, R"({"version":"2","build":"42","download_url":"https://a.example/"})", true,
         "ℹ️ Update check unavailable: the feed's \"build\" is not an integer"},
        {200, R"({"version":"2","build":42,"download_url":"file:///usr/bin/xterm"})", true,
         "ℹ️ Update check unavailable: the feed's \"download_url\" is not a web address"},
        {200, "<html>", true, nullptr},  // a line beginning as below
        {200, "", false, "ℹ️ Update check unavailable: The request timed out."},
    };
    for (const auto& row : rows) {
        Feed feed(row.status, row.body, row.answer);
        const Check c = check(feed, "1", 300);
        const std::string label = std::to_string(row.status) + " " + row.body.toStdString();
        EXPECT_FALSE(c.available) << label;
        if (row.status == 200 && !row.line) {
            ASSERT_EQ(c.log.size(), 1) << label;
            EXPECT_TRUE(c.log[0].startsWith("ℹ️ Update check unavailable: the feed is not JSON: ")) << label;
        } else if (!row.line) {
            EXPECT_TRUE(c.log.isEmpty()) << label;
        } else {
            EXPECT_EQ(c.log, QStringList{QString::fromUtf8(row.line)}) << label;
        }
    }
}

}  // namespace
}  // namespace vf
