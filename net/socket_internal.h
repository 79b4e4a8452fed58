#pragma once
// Helpers the socket sources share; not part of the public interface.

#include "net/socket.h"

#include <QString>

#include <utility>

#include <sys/epoll.h>

namespace relvane::socket_internal {

inline QString Text(const char* utf8) {
    return QString::fromUtf8(utf8);
}

inline ESocketError CannotCreate() {
    return ESocketError(Text("ソケットが作成できません"));
}
inline ESocketError InUse() {
    return ESocketError(Text("ソケットを使用中は値を変更できません"));
}

template <class F> class TAtExit {
public:
    explicit TAtExit(F f) : Fn(std::move(f)) {}
    ~TAtExit() { Fn(); }
    TAtExit(const TAtExit&) = delete;
    TAtExit& operator=(const TAtExit&) = delete;

private:
    F Fn;
};

inline int CreateEpoll() {
    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll < 0) throw CannotCreate();
    return epoll;
}

} // namespace relvane::socket_internal
