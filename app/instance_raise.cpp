#include "app/instance_raise.h"

#include <QLocalServer>
#include <QLocalSocket>

#include "app/instance_lock.h"
#include "platform/log.h"

namespace quavelink {
namespace {

// A request is one short line; a longer one is cut.
constexpr qint64 kMaxRequestBytes = 512;

}  // namespace

InstanceRaiseListener::InstanceRaiseListener(std::function<bool(const std::string&)> onRaise)
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
            QObject::connect(knock, &QLocalSocket::disconnected, knock, &QObject::deleteLater);
            QObject::connect(knock, &QLocalSocket::readyRead, knock, [this, knock] {
                if (!knock->canReadLine()) return;
                std::string line = knock->readLine(kMaxRequestBytes).trimmed().toStdString();
                std::string token = line.rfind("raise ", 0) == 0 ? line.substr(6) : std::string();
                bool shown = onRaise && onRaise(token);
                knock->write(shown ? "shown\n" : "hidden\n");
                knock->flush();
                knock->disconnectFromServer();
            });
        }
    });
    return true;
}

bool askRunningInstanceToRaise(const std::string& activationToken,
                               std::chrono::milliseconds timeout) {
    QLocalSocket socket;
    socket.connectToServer(QString::fromStdString(InstanceRaiseListener::socketPath()));
    const int waitMs = static_cast<int>(timeout.count());
    if (!socket.waitForConnected(waitMs)) return false;
    // A token is one word of printable characters; anything else is not sent.
    std::string token = activationToken.size() < 256 ? activationToken : std::string();
    if (token.find_first_of(" \t\r\n") != std::string::npos) token.clear();
    socket.write(QByteArray::fromStdString("raise " + token + "\n"));
    if (!socket.waitForBytesWritten(waitMs)) return false;
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(waitMs)) return false;
    }
    return socket.readLine().trimmed() == "shown";
}

}  // namespace quavelink
