// Keeps the machine awake through a logind inhibitor lock: logind hands out a
// descriptor, and the lock lasts until it is closed.

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <unistd.h>

#include "platform/PowerActivity.h"

namespace vf {
namespace {

class InhibitorHold final : public PowerHold {
public:
    explicit InhibitorHold(int fd) : fd_(fd) {}
    ~InhibitorHold() override { ::close(fd_); }

private:
    int fd_;
};

class LogindPowerActivity final : public PowerActivity {
public:
    std::unique_ptr<PowerHold> begin(const std::string& reason, std::string& error) override {
        QDBusConnection bus = QDBusConnection::systemBus();
        if (!bus.isConnected()) {
            error = "no system bus: " + bus.lastError().message().toStdString();
            return nullptr;
        }
        QDBusMessage call = QDBusMessage::createMethodCall(
            "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "Inhibit");
        call << QStringLiteral("sleep:idle") << QStringLiteral("Velliform") << QString::fromStdString(reason)
             << QStringLiteral("block");
        const QDBusReply<QDBusUnixFileDescriptor> reply = bus.call(call, QDBus::Block, 5000);
        if (!reply.isValid()) {
            error = reply.error().message().toStdString();
            return nullptr;
        }
        // The reply's descriptor closes with it; the hold keeps a copy.
        const int fd = ::dup(reply.value().fileDescriptor());
        if (fd < 0) {
            error = "no inhibitor descriptor";
            return nullptr;
        }
        return std::make_unique<InhibitorHold>(fd);
    }
};

}  // namespace

std::unique_ptr<PowerActivity> makePowerActivity() { return std::make_unique<LogindPowerActivity>(); }

}  // namespace vf
