#include "realtime_kit.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QString>
#include <QVariant>

namespace keyflip::scheduling::realtime_kit {

namespace {

const QString kService = QStringLiteral("org.freedesktop.RealtimeKit1");
const QString kPath = QStringLiteral("/org/freedesktop/RealtimeKit1");

std::optional<QDBusMessage> call(QDBusMessage message) {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        return std::nullopt;
    }
    // Polkit would otherwise be free to show a password dialog.
    message.setInteractiveAuthorizationAllowed(false);
    QDBusMessage reply = bus.call(message, QDBus::Block, static_cast<int>(kCallTimeout.count()));
    if (reply.type() != QDBusMessage::ReplyMessage) {
        return std::nullopt;
    }
    return reply;
}

std::optional<QVariant> property(const char* name) {
    QDBusMessage get = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << kService << QString::fromLatin1(name);
    const std::optional<QDBusMessage> reply = call(get);
    if (!reply || reply->arguments().isEmpty()) {
        return std::nullopt;
    }
    QVariant value = reply->arguments().constFirst().value<QDBusVariant>().variant();
    if (!value.isValid()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<RealtimeKitOffer> ask() {
    // A service that does not answer the first question is not asked more.
    const std::optional<QVariant> priority = property("MaxRealtimePriority");
    if (!priority) {
        return std::nullopt;
    }
    const std::optional<QVariant> nice = property("MinNiceLevel");
    const std::optional<QVariant> runTime = property("RTTimeUSecMax");
    if (!nice || !runTime) {
        return std::nullopt;
    }
    return RealtimeKitOffer{priority->toInt(), nice->toInt(), runTime->toLongLong()};
}

bool makeThreadRealtime(long long thread, int priority) {
    QDBusMessage make = QDBusMessage::createMethodCall(kService, kPath, kService,
                                                       QStringLiteral("MakeThreadRealtime"));
    make << static_cast<qulonglong>(thread) << static_cast<uint>(priority);
    return call(make).has_value();
}

bool makeThreadHighPriority(long long thread, int nice) {
    QDBusMessage make = QDBusMessage::createMethodCall(kService, kPath, kService,
                                                       QStringLiteral("MakeThreadHighPriority"));
    make << static_cast<qulonglong>(thread) << static_cast<int>(nice);
    return call(make).has_value();
}

}  // namespace keyflip::scheduling::realtime_kit
