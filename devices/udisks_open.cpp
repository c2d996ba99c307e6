#include "devices/udisks_module.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDBusUnixFileDescriptor>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

namespace qv {

namespace {

const QString service = QStringLiteral("org.freedesktop.UDisks2");
const QString manager_path = QStringLiteral("/org/freedesktop/UDisks2/Manager");
const QString manager_interface = QStringLiteral("org.freedesktop.UDisks2.Manager");
const QString block_interface = QStringLiteral("org.freedesktop.UDisks2.Block");
const QString not_authorized_prefix = QStringLiteral("org.freedesktop.UDisks2.Error.NotAuthorized");

// Sends msg and waits for its answer. On the application's main thread a local
// event loop keeps the window painting (user input waits until the answer);
// elsewhere the thread blocks.
QDBusMessage call(const QDBusConnection& bus, const QDBusMessage& msg, int timeout_ms) {
    QDBusPendingCall pending = bus.asyncCall(msg, timeout_ms);
    auto* app = QCoreApplication::instance();
    if (app && QThread::currentThread() == app->thread()) {
        QEventLoop loop;
        QDBusPendingCallWatcher watcher(pending);
        QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(timeout_ms + 1000, &loop, &QEventLoop::quit);
        if (!pending.isFinished()) loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    pending.waitForFinished();
    return pending.reply();
}

bool service_missing(const QDBusMessage& reply) {
    const QString name = reply.errorName();
    return name == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
           name == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner") ||
           name == QLatin1String("org.freedesktop.DBus.Error.Spawn.ServiceNotFound");
}

std::string refusal_text(const std::string& device, const QDBusMessage& reply) {
    const std::string name = reply.errorName().toStdString();
    if (reply.errorName() == not_authorized_prefix + QLatin1String("CanObtain"))
        return device + ": not authorised to read it (udisks2: NotAuthorizedCanObtain): no password "
                        "dialog answered; start Quorvane from a desktop session, or run quorvane-cli "
                        "in a terminal or with sudo";
    if (reply.errorName() == not_authorized_prefix + QLatin1String("Dismissed"))
        return device + ": the password dialog was dismissed (udisks2: NotAuthorizedDismissed)";
    if (reply.errorName() == not_authorized_prefix)
        return device + ": the system does not allow this user to read it (udisks2: NotAuthorized); "
                        "run quorvane-cli with sudo";
    if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
        reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.Timeout"))
        return device + ": no answer from udisks2 in time (the password was not given)";
    return device + ": udisks2 could not open it: " + reply.errorMessage().toStdString() +
           (name.empty() ? "" : " (" + name + ")");
}

bool udisks_available_here() {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected() || !bus.interface()) return false;
    if (bus.interface()->isServiceRegistered(service)) return true;
    QDBusMessage msg = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("ListActivatableNames"));
    QDBusMessage reply = bus.call(msg, QDBus::Block, 5000);
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
           reply.arguments().first().toStringList().contains(service);
}

route_result open_with_udisks_here(const std::string& device, access_mode mode, int timeout_ms) {
    route_result out;
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        out.unavailable = true;
        out.error = device + ": no system bus, so udisks2 cannot be asked";
        return out;
    }
    if (!(bus.connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing)) {
        out.unavailable = true;
        out.error = device + ": the system bus cannot pass file descriptors";
        return out;
    }

    QDBusMessage resolve = QDBusMessage::createMethodCall(service, manager_path, manager_interface,
                                                          QStringLiteral("ResolveDevice"));
    QVariantMap lookup{{QStringLiteral("path"), QString::fromStdString(device)}};
    resolve << lookup << QVariantMap();
    QDBusMessage resolved = call(bus, resolve, 30000);
    if (resolved.type() != QDBusMessage::ReplyMessage) {
        out.unavailable = service_missing(resolved);
        out.error_name = resolved.errorName().toStdString();
        out.error = out.unavailable ? device + ": udisks2 is not running"
                                    : device + ": udisks2 does not know it: " +
                                          resolved.errorMessage().toStdString();
        return out;
    }
    QList<QDBusObjectPath> objects;
    if (!resolved.arguments().isEmpty())
        resolved.arguments().first().value<QDBusArgument>() >> objects;
    if (objects.isEmpty()) {
        out.error = device + ": udisks2 does not list it (udev has not seen it yet?)";
        return out;
    }

    // Scans ask for "r" only: the same grant with "w" would allow writing.
    const QString how = mode == access_mode::read_write ? QStringLiteral("rw") : QStringLiteral("r");
    auto open_device = [&](int flags) {
        QDBusMessage open = QDBusMessage::createMethodCall(service, objects.first().path(),
                                                           block_interface, QStringLiteral("OpenDevice"));
        open << how << QVariantMap{{QStringLiteral("flags"), QVariant::fromValue<int32_t>(flags)}};
        open.setInteractiveAuthorizationAllowed(true);
        return call(bus, open, timeout_ms);
    };
    QDBusMessage reply = open_device(O_EXCL | O_CLOEXEC);
    // Mounted or claimed: read it shared, and say so. Writing always needs the claim.
    const bool busy = reply.type() == QDBusMessage::ErrorMessage &&
                      reply.errorMessage().contains(QLatin1String("busy"), Qt::CaseInsensitive);
    if (busy && mode == access_mode::read_write) {
        out.error_name = reply.errorName().toStdString();
        out.error = device + " is in use (a partition is mounted?); nothing written";
        return out;
    }
    if (busy) {
        out.in_use = true;
        reply = open_device(O_CLOEXEC);
    }
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        out.error_name = reply.errorName().toStdString();
        out.error = refusal_text(device, reply);
        return out;
    }
    QDBusUnixFileDescriptor passed = reply.arguments().first().value<QDBusUnixFileDescriptor>();
    if (!passed.isValid()) {
        out.error = device + ": udisks2 answered without a file descriptor";
        return out;
    }
    out.fd = ::fcntl(passed.fileDescriptor(), F_DUPFD_CLOEXEC, 0);
    if (out.fd < 0) out.error = device + ": cannot keep the descriptor udisks2 passed";
    return out;
}

}  // namespace

}  // namespace qv

extern "C" __attribute__((visibility("default"))) const qv::udisks_calls* quorvane_udisks_calls() {
    static const qv::udisks_calls calls{qv::udisks_module_version, &qv::udisks_available_here,
                                        &qv::open_with_udisks_here};
    return &calls;
}
