#include "net/socket.h"
#include "net/socket_internal.h"

#include <QtGlobal>

#include <cstring>
#include <mutex>
#include <utility>

namespace relvane {
namespace {

using socket_internal::Text;

std::mutex HandlerMutex;
TSocketErrorHandler ErrorHandler;

} // namespace

ESocketError SocketApiError(int code, const char* api) {
    char buffer[256];
    const char* description = ::strerror_r(code, buffer, sizeof buffer); // GNU variant
    return ESocketError(Text("Windows ソケットエラー： %1 (%2) [API '%3']")
                            .arg(QString::fromLocal8Bit(description), QString::number(code),
                                 QString::fromLatin1(api)),
                        code, QString::fromLatin1(api));
}

ESocketError AsyncSocketError(int code) {
    return ESocketError(Text("非同期ソケットエラー %1").arg(code), code, QStringLiteral("async"));
}

void SetSocketErrorHandler(TSocketErrorHandler handler) {
    std::lock_guard guard(HandlerMutex);
    ErrorHandler = std::move(handler);
}

void RaiseToApplication(const ESocketError& error) {
    TSocketErrorHandler handler;
    {
        std::lock_guard guard(HandlerMutex);
        handler = ErrorHandler;
    }
    if (handler)
        handler(error);
    else
        qWarning("%s", error.what());
}

} // namespace relvane
