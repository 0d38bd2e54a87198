#include "app/instance_raise.h"

#include <QLocalServer>
#include <QLocalSocket>

#include "app/instance_lock.h"
#include "platform/log.h"

namespace quavelink {

InstanceRaiseListener::InstanceRaiseListener(std::function<void()> onRaise)
    : onRaise(std::move(onRaise)) {}

InstanceRaiseListener::~InstanceRaiseListener() { delete server; }

std::string InstanceRaiseListener::socketPath() { return InstanceLock::lockPath() + ".raise"; }

bool InstanceRaiseListener::listen() {
    if (server != nullptr) return server->isListening();
    server = new QLocalServer;
    // In the /tmp fallback the folder is everyone's: only this user may knock.
    server->setSocketOptions(QLocalServer::UserAccessOption);
    QString path = QString::fromStdString(socketPath());
    QLocalServer::removeServer(path);
    if (!server->listen(path)) {
        logLine("Could not listen for a second start on %s: %s\n", socketPath().c_str(),
                server->errorString().toUtf8().constData());
        return false;
    }
    QObject::connect(server, &QLocalServer::newConnection, server, [this] {
        while (QLocalSocket* knock = server->nextPendingConnection()) {
            knock->disconnectFromServer();
            knock->deleteLater();
            if (onRaise) onRaise();
        }
    });
    return true;
}

bool askRunningInstanceToRaise(std::chrono::milliseconds timeout) {
    QLocalSocket socket;
    socket.connectToServer(QString::fromStdString(InstanceRaiseListener::socketPath()));
    if (!socket.waitForConnected(static_cast<int>(timeout.count()))) return false;
    socket.disconnectFromServer();
    return true;
}

}  // namespace quavelink
